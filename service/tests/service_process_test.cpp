// qm4720d as a process: its signals, its history database as other readers see it, qm4720ctl
// history over the database while the service writes it, a Modbus port that is taken, and the
// configuration that qm4720ctl probe --emit-config writes, checked and run.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <map>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "service/history/history_writer.h"
#include "service/core/live_table.h"
#include "service/tests/service_fixture.h"

namespace {

using namespace std::chrono_literals;
using servicetest::QueryNumber;
using servicetest::ReadFile;
using servicetest::WaitFor;
using servicetest::WriteFile;

class ServiceProcess : public ::testing::Test {
protected:
    void SetUp() override { sim_ = servicetest::StartSim(link_, {"1", "2", "12:QM4720N"}); }
    std::string Config(const std::string& registers, const std::string& interval = "0.1") const {
        std::string text = "[history]\ndatabase = \"" + db_ +
                           "\"\n[[line]]\nname = \"a\"\nport = \"" + link_ + "\"\n";
        for (const char* meter :
             {"station = 1", "station = 2", "station = 12\nmodel = \"QM4720N\""}) {
            text += std::string("[[line.meter]]\n") + meter +
                    "\n[[line.meter.poll]]\nregisters = " + registers +
                    "\ninterval_s = " + interval + "\n";
        }
        return text;
    }
    long long Rows(const std::string& where = "1") const {
        return QueryNumber(db_,
                           "SELECT count(*) FROM " + servicetest::kHistoryRows + " WHERE " + where);
    }

    servicetest::ScratchDir dir_;
    std::string link_ = dir_ / "line";
    std::string db_ = dir_ / "history.db";
    std::string config_ = dir_ / "qm4720d.toml";
    std::string log_ = dir_ / "qm4720d.log";
    std::unique_ptr<simtest::SimProcess> sim_;
};

TEST_F(ServiceProcess, SigtermCommitsTheHistoryAndExitsZeroWithinTwoSeconds) {
    WriteFile(config_, Config("[\"PV\", \"OP\"]"));
    auto service = servicetest::StartService(config_, log_);
    ASSERT_TRUE(WaitFor([&] { return Rows() > 10; }, 5s)) << ReadFile(log_);

    const long long before = Rows();
    const auto sent = std::chrono::steady_clock::now();
    const std::int64_t sentUtcMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count();
    EXPECT_EQ(service->Stop(SIGTERM, 2000), 0) << ReadFile(log_);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 2s);
    // What was polled in the last second before the signal is committed, not only what the
    // last periodic commit held.
    EXPECT_GT(Rows(), before);
    EXPECT_GT(QueryNumber(db_, "SELECT max(time_ms) FROM samples"), sentUtcMs - 500);
    EXPECT_EQ(Rows("value IS NULL"), 0);
}

TEST_F(ServiceProcess, SighupTakesAGoodFileAndKeepsTheRunningOneForABadOne) {
    WriteFile(config_, Config("[\"PV\"]"));
    auto service = servicetest::StartService(config_, log_);
    ASSERT_TRUE(WaitFor([&] { return Rows() > 0; }, 5s)) << ReadFile(log_);

    WriteFile(config_, Config("[\"PV\", \"SP\"]"));
    service->Stop(SIGHUP, 0);
    EXPECT_TRUE(WaitFor([&] { return Rows("register = 'SP'") > 0; }, 5s)) << ReadFile(log_);
    EXPECT_NE(ReadFile(log_).find("configuration reloaded"), std::string::npos);

    WriteFile(config_, Config("[\"PV\", \"SQ\"]"));
    service->Stop(SIGHUP, 0);
    ASSERT_TRUE(
        WaitFor([&] { return ReadFile(log_).find("reload refused") != std::string::npos; }, 5s));
    EXPECT_NE(ReadFile(log_).find(config_ + ":"), std::string::npos) << ReadFile(log_);
    // The running configuration goes on: SP is still polled, the service still answers.
    const long long sp = Rows("register = 'SP'");
    EXPECT_TRUE(WaitFor([&] { return Rows("register = 'SP'") > sp; }, 3s));
    EXPECT_EQ(service->Stop(SIGTERM, 2000), 0);
}

// A listening socket on 127.0.0.1 at a port the system picks: held, the port is taken; closed,
// the port is almost surely free for the next bind.
class Listener {
public:
    Listener() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd_, 1) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            ADD_FAILURE() << "no port on 127.0.0.1";
        }
        port_ = ntohs(address.sin_port);
    }
    ~Listener() { close(fd_); }
    int port() const { return port_; }

private:
    int fd_;
    int port_ = 0;
};

bool Accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

TEST_F(ServiceProcess, AModbusPortTakenStopsTheStartAndIsRefusedOnReload) {
    const Listener taken;
    const auto withModbus = [&](const std::string& registers, int port) {
        return Config(registers) + "[line.modbus]\nport = " + std::to_string(port) + "\n";
    };
    const std::string where = "127.0.0.1:" + std::to_string(taken.port());
    WriteFile(config_, withModbus("[\"PV\"]", taken.port()));
    auto refused = servicetest::StartService(config_, log_);
    EXPECT_EQ(refused->Wait(5000), 1);
    EXPECT_NE(ReadFile(log_).find("Modbus TCP on " + where + ": Address already in use"),
              std::string::npos)
        << ReadFile(log_);
    // The listeners come first: the lines of a configuration that cannot listen are never opened.
    EXPECT_EQ(servicetest::Count(ReadFile(log_), "opened"), 0) << ReadFile(log_);
    EXPECT_EQ(Rows(), 0);  // and nothing is polled into the history

    const int free = Listener().port();
    WriteFile(config_, withModbus("[\"PV\"]", free));
    auto service = servicetest::StartService(config_, log_);
    ASSERT_TRUE(WaitFor([&] { return Accepts(free) && Rows() > 0; }, 5s)) << ReadFile(log_);

    // The new file's port is taken: the reload is refused, the running file's lines and listener
    // are started again.
    WriteFile(config_, withModbus("[\"PV\", \"SP\"]", taken.port()));
    service->Stop(SIGHUP, 0);
    ASSERT_TRUE(
        WaitFor([&] { return ReadFile(log_).find("reload refused") != std::string::npos; }, 5s));
    EXPECT_NE(ReadFile(log_).find(where), std::string::npos) << ReadFile(log_);
    const long long pv = Rows("register = 'PV'");
    EXPECT_TRUE(WaitFor([&] { return Accepts(free) && Rows("register = 'PV'") > pv; }, 3s));
    EXPECT_EQ(Rows("register = 'SP'"), 0);
    EXPECT_EQ(service->Stop(SIGTERM, 2000), 0) << ReadFile(log_);
}

// A new file whose history database cannot be opened is refused whole: the running lines go on
// writing to the running database, and /api/v1/history still answers from it.
TEST_F(ServiceProcess, AReloadWhoseHistoryCannotBeOpenedIsRefusedWhole) {
    const int port = Listener().port();
    const std::string http = "[http]\nport = " + std::to_string(port) + "\n";
    WriteFile(config_, http + Config("[\"PV\"]"));
    auto service = servicetest::StartService(config_, log_);
    ASSERT_TRUE(WaitFor([&] { return Rows() > 0; }, 5s)) << ReadFile(log_);

    const std::string unopenable = dir_ / "missing/history.db";
    std::string next = http + Config("[\"PV\", \"SP\"]");
    next.replace(next.find(db_), db_.size(), unopenable);
    WriteFile(config_, next);
    service->Stop(SIGHUP, 0);
    ASSERT_TRUE(
        WaitFor([&] { return ReadFile(log_).find("reload refused") != std::string::npos; }, 5s))
        << ReadFile(log_);
    const std::string said = ReadFile(log_);
    EXPECT_NE(said.find("history database " + unopenable + ": unable to open database file"),
              std::string::npos)
        << said;
    EXPECT_EQ(said.find("configuration reloaded"), std::string::npos) << said;

    const long long pv = Rows("register = 'PV'");
    EXPECT_TRUE(WaitFor([&] { return Rows("register = 'PV'") > pv; }, 3s));
    EXPECT_EQ(Rows("register = 'SP'"), 0);
    httplib::Client client("127.0.0.1", port);
    const auto answer = client.Get("/api/v1/history?register=PV&since=-1m");
    ASSERT_TRUE(answer) << httplib::to_string(answer.error());
    EXPECT_EQ(answer->status, 200) << answer->body;
    EXPECT_GT(nlohmann::json::parse(answer->body)["rows"].size(), 0u);
    EXPECT_EQ(service->Stop(SIGTERM, 2000), 0) << ReadFile(log_);
}

// A reload that keeps the database open still takes the new file's retention.
TEST_F(ServiceProcess, AReloadThatKeepsTheDatabaseTakesItsRetention) {
    std::string error;
    {
        auto writer = service::HistoryWriter::Open(db_, 365 * 24h, error);
        ASSERT_NE(writer, nullptr) << error;
        writer->Add({service::UtcNowMs() - 2 * 86'400'000LL, "a", 1, "PV", 1, 192, -1});
    }
    const auto keeping = [&](const std::string& days) {
        std::string text = Config("[\"PV\"]");
        const std::string database = db_ + "\"\n";
        return text.insert(text.find(database) + database.size(),
                           "retention_days = " + days + "\n");
    };
    WriteFile(config_, keeping("30"));
    auto service = servicetest::StartService(config_, log_);
    ASSERT_TRUE(WaitFor([&] { return Rows() > 1; }, 5s)) << ReadFile(log_);
    EXPECT_EQ(Rows("time_ms < strftime('%s', 'now', '-1 day') * 1000"), 1);

    WriteFile(config_, keeping("1"));
    service->Stop(SIGHUP, 0);
    EXPECT_TRUE(
        WaitFor([&] { return Rows("time_ms < strftime('%s', 'now', '-1 day') * 1000") == 0; }, 5s))
        << ReadFile(log_);
    EXPECT_EQ(service->Stop(SIGTERM, 2000), 0) << ReadFile(log_);
}

TEST_F(ServiceProcess, KillUnderLoadLosesNoCommittedRow) {
    WriteFile(config_, Config("[\"PV\", \"OP\", \"SP\", \"ER\"]", "0.02"));
    auto service = servicetest::StartService(config_, log_);
    ASSERT_TRUE(WaitFor([&] { return Rows() > 50; }, 5s)) << ReadFile(log_);
    std::this_thread::sleep_for(1500ms);
    // What a reader saw committed just before the kill.
    const long long seenMaxMs = QueryNumber(db_, "SELECT max(time_ms) FROM samples");
    const long long seen = Rows("time_ms <= " + std::to_string(seenMaxMs));
    service->Stop(SIGKILL, 2000);

    service = servicetest::StartService(config_, log_);
    ASSERT_TRUE(WaitFor(
        [&] { return QueryNumber(db_, "SELECT max(time_ms) FROM samples") > seenMaxMs + 1000; },
        5s));
    EXPECT_EQ(service->Stop(SIGTERM, 2000), 0);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* check = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
    sqlite3_finalize(check);
    sqlite3_close(db);
    EXPECT_EQ(Rows("time_ms <= " + std::to_string(seenMaxMs)), seen);
}

TEST_F(ServiceProcess, CtlHistoryReadsWhileTheServiceWrites) {
    WriteFile(config_, Config("[\"PV\", \"SP\"]"));
    auto service = servicetest::StartService(config_, log_);
    ASSERT_TRUE(WaitFor([&] { return Rows("station = 12") > 2; }, 5s)) << ReadFile(log_);

    const std::string out = dir_ / "history.json";
    std::string error;
    auto ctl = host::StartChild({QM_CTL_PATH, "history", "--db", db_, "--station", "2,12",
                                 "--register", "SP", "--format", "json", "--output", out},
                                error);
    ASSERT_NE(ctl, nullptr) << error;
    ASSERT_EQ(ctl->Wait(10000), 0);
    const auto rows = nlohmann::json::parse(ReadFile(out));
    ASSERT_GT(rows.size(), 2u);
    for (const auto& row : rows) {
        EXPECT_TRUE(row["station"] == 2 || row["station"] == 12) << row;
        EXPECT_EQ(row["register"], "SP");
        EXPECT_EQ(row["line"], "a");
        EXPECT_EQ(row["quality"], 192);
        EXPECT_TRUE(row["value"].is_number());
        EXPECT_EQ(row["time"].get<std::string>().back(), 'Z');
    }
    // Before the first row: none; a time that is none: a usage error.
    ctl = host::StartChild({QM_CTL_PATH, "history", "--db", db_, "--until", "2000-01-01T00:00:00Z",
                            "--format", "jsonl", "--output", out},
                           error);
    ASSERT_EQ(ctl->Wait(10000), 0);
    EXPECT_EQ(ReadFile(out), "");
    ctl = host::StartChild({QM_CTL_PATH, "history", "--db", db_, "--since", "yesterday"}, error);
    EXPECT_EQ(ctl->Wait(10000), 2);
    EXPECT_EQ(service->Stop(SIGTERM, 2000), 0);
}

// systemd's side of the notify protocol: a datagram socket named by NOTIFY_SOCKET.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~NotifySocket() {
        close(fd_);
        unlink(path_.c_str());
    }
    // Every message that came within `limitMs`, joined by newlines.
    std::string Collect(int limitMs) {
        std::string all;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return all;
            char buffer[512];
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0) all += std::string(buffer, static_cast<std::size_t>(n)) + "\n";
        }
    }

private:
    std::string path_;
    int fd_ = -1;
};

TEST_F(ServiceProcess, TellsSystemdReadyAliveAndStopping) {
    WriteFile(config_, Config("[\"PV\"]", "1"));
    NotifySocket systemd(dir_ / "notify");
    setenv("NOTIFY_SOCKET", (dir_ / "notify").c_str(), 1);
    setenv("WATCHDOG_USEC", "400000", 1);  // pings every 200 ms
    auto service = servicetest::StartService(config_, log_);
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");

    const std::string running = systemd.Collect(1500);
    EXPECT_EQ(running.rfind("READY=1\n", 0), 0u) << running;
    EXPECT_GE(servicetest::Count(running, "WATCHDOG=1"), 3) << running;
    EXPECT_EQ(service->Stop(SIGTERM, 2000), 0);
    EXPECT_NE(systemd.Collect(200).find("STOPPING=1"), std::string::npos);
}

// A line as commissioning finds it: stations of both models with a silent station number between
// them. What probe writes passes --check-config and, run, serves a good PV of every station
// found, each read against the model probe told.
TEST(EmitConfig, TheProbedLineIsCheckedAndServed) {
    servicetest::ScratchDir dir;
    const std::string link = dir / "line";
    auto sim = servicetest::StartSim(link, {"1", "3", "12:QM4720N"});
    const std::string config = dir / "probed.toml";
    const std::string log = dir / "qm4720d.log";
    int httpPort = 0;
    int modbusPort = 0;
    {
        Listener http;
        Listener modbus;
        httpPort = http.port();
        modbusPort = modbus.port();
    }
    std::string error;
    auto ctl = host::StartChild({QM_CTL_PATH,     "--module",
                                 QM_MODULE_PATH,  "probe",
                                 "--port",        link,
                                 "--timeout",     "200",
                                 "--stations",    "1-3,12",
                                 "--interval",    "0.2",
                                 "--line-name",   "probed",
                                 "--http-port",   std::to_string(httpPort),
                                 "--modbus-port", std::to_string(modbusPort),
                                 "--emit-config", config},
                                error, {log});
    ASSERT_NE(ctl, nullptr) << error;
    ASSERT_EQ(ctl->Wait(20000), 0) << ReadFile(log);
    const std::string text = ReadFile(config);
    EXPECT_NE(text.find("station = 12\n    model = \"QM4720N\""), std::string::npos) << text;
    EXPECT_EQ(text.find("station = 2\n"), std::string::npos) << "station 2 is silent: " << text;

    auto check = host::StartChild(
        {QM_SERVICE_PATH, "--check-config", config, "--module", QM_MODULE_PATH}, error, {log});
    ASSERT_NE(check, nullptr) << error;
    ASSERT_EQ(check->Wait(10000), 0) << ReadFile(log) << text;

    auto service = servicetest::StartService(config, log);
    httplib::Client client("127.0.0.1", httpPort);
    std::map<int, std::string> found;  // station -> model, once its PV reads good
    const bool served = WaitFor(
        [&] {
            const auto answer = client.Get("/api/v1/values");
            if (!answer || answer->status != 200) return false;
            found.clear();
            const auto values = nlohmann::json::parse(answer->body);
            for (const auto& line : values["lines"]) {
                if (line["name"] != "probed") continue;
                for (const auto& meter : line["meters"]) {
                    for (const auto& cell : meter["registers"]) {
                        if (cell["register"] == "PV" && cell["state"] == "good") {
                            found[meter["station"].get<int>()] = meter["model"].get<std::string>();
                        }
                    }
                }
            }
            return found.size() == 3;
        },
        10s);
    EXPECT_TRUE(served) << ReadFile(log);
    EXPECT_EQ(found, (std::map<int, std::string>{{1, "default"}, {3, "default"}, {12, "QM4720N"}}));
    EXPECT_TRUE(Accepts(modbusPort)) << "the Modbus listener of the emitted file";
    EXPECT_EQ(service->Stop(SIGTERM, 2000), 0) << ReadFile(log);
}

}  // namespace
