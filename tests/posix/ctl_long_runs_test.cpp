// qm4720ctl for long runs and for people: a poll that outlives its line, the wide CSV and the
// time styles, the text table on a terminal and off it, the system's reasons when a port does not
// open, and --output left alone by a refused command. The real program, module and simulator.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <regex>
#include <string>
#include <vector>

#include "host/oskit/child_process.h"
#include "host/oskit/serial_line.h"
#include "tests/posix/ctl_run.h"
#include "tests/support/sim_process.h"
#include "tools/ctl/table_layout.h"

namespace {

using ctltest::BuildDir;
using ctltest::Ctl;
using ctltest::CtlRun;
using ctltest::JsonLines;
using ctltest::SimulatorArgs;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string FileText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class CtlLongRuns : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/qmr-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string dir_;
};

// A poll whose simulator dies and comes back on the same link: one line on stderr when the line
// is lost and one when it is back, every row in between failed with its reason, and good rows
// again afterwards.
TEST_F(CtlLongRuns, PollReopensALostLine) {
    const std::string link = dir_ + "/line";
    simtest::SimProcess first;
    ASSERT_TRUE(first.Start(SimulatorArgs({"--link", link}))) << first.Stderr();
    const std::string errPath = dir_ + "/stderr";
    std::string error;
    auto poll =
        host::StartChild({BuildDir() + "qm4720ctl", "--format", "jsonl", "poll", "PV", "--station",
                          "1", "--interval", "0.1", "--port", link, "--timeout", "200"},
                         error, {errPath});
    ASSERT_NE(poll, nullptr) << error;
    // Rows until `until` holds for one (or `seconds` pass, generous for a run under valgrind);
    // false when none did.
    auto rowsUntil = [&](auto until, int seconds, std::vector<nlohmann::ordered_json>& rows) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        for (std::string line; std::chrono::steady_clock::now() < deadline;) {
            if (!poll->ReadLine(line, 500)) continue;
            rows.push_back(nlohmann::ordered_json::parse(line));
            if (until(rows.back())) return true;
        }
        return false;
    };
    std::vector<nlohmann::ordered_json> rows;
    auto value = [](double v) {
        return [v](const nlohmann::ordered_json& row) { return row["value"] == v; };
    };
    ASSERT_TRUE(rowsUntil(value(12.5), 30, rows)) << FileText(errPath);
    first.Stop(SIGKILL);
    std::vector<nlohmann::ordered_json> lost;
    ASSERT_TRUE(rowsUntil(
        [](const nlohmann::ordered_json& row) {
            return row["error"].is_string() &&
                   row["error"].get<std::string>().find("line lost") != std::string::npos;
        },
        30, lost))
        << FileText(errPath);

    simtest::SimProcess second;
    ASSERT_TRUE(second.Start({"--station", "1", "--frozen", "--set", "1:PV=7.5", "--link", link}))
        << second.Stderr();
    std::vector<nlohmann::ordered_json> back;
    ASSERT_TRUE(rowsUntil(value(7.5), 60, back)) << FileText(errPath);
    // Every failed row carries its reason and no value.
    for (const auto* part : {&lost, &back}) {
        for (const auto& row : *part) {
            if (row["status"] == "ok") continue;
            EXPECT_TRUE(row["error"].is_string()) << row.dump();
            EXPECT_TRUE(row["value"].is_null()) << row.dump();
        }
    }
    EXPECT_EQ(poll->Stop(SIGINT, 30000), 130);
    const std::string said = FileText(errPath);
    auto count = [&](const std::string& text) {
        std::size_t n = 0;
        for (std::size_t at = 0; (at = said.find(text, at)) != std::string::npos; ++at) ++n;
        return n;
    };
    EXPECT_EQ(count("qm4720ctl: line " + link + " lost: 打开串口错误!"), 1u) << said;
    EXPECT_EQ(count("qm4720ctl: line " + link + " reopened"), 1u) << said;
    EXPECT_NE(said.find("line lost 1 time(s)"), std::string::npos) << said;
}

TEST_F(CtlLongRuns, WideCsvAndTimeStyles) {
    simtest::SimProcess sim;
    ASSERT_TRUE(sim.Start(SimulatorArgs())) << sim.Stderr();
    const std::string line = " --port " + sim.port() + " --timeout 200";

    // Station 5 is silent: its cells are empty, the row is still there.
    const CtlRun wide =
        Ctl("--format csv --time epoch poll PV SP --station 1,5 --count 2 "
            "--interval 0 --wide" +
            line);
    EXPECT_EQ(wide.status, 1) << wide.err;
    const auto rows = Lines(wide.out);
    ASSERT_EQ(rows.size(), 3u) << wide.out;
    EXPECT_EQ(rows[0], "time,1:PV,1:SP,5:PV,5:SP");
    for (std::size_t i = 1; i < rows.size(); ++i) {
        EXPECT_TRUE(std::regex_match(rows[i], std::regex(R"(\d{10}(\.\d{1,3})?,12\.5,25\.5,,)")))
            << rows[i];
    }
    const CtlRun notCsv = Ctl("--format jsonl poll PV --station 1 --wide" + line);
    EXPECT_EQ(notCsv.status, 2);
    EXPECT_NE(notCsv.err.find("--format csv"), std::string::npos) << notCsv.err;

    // Local time from a time zone that needs no database: eight hours east of UTC.
    setenv("TZ", "CST-8", 1);
    struct Case {
        const char* args;
        const char* pattern;  // of the time column
    } cases[] = {
        {"read PV --station 1", R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)"},
        {"--time utc read PV --station 7", R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)"},
        {"--time local read PV --station 1", R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+08:00)"},
        {"--time local poll PV --station 7 --count 1",
         R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+08:00)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const CtlRun run = Ctl(std::string("--format csv ") + c.args + line);
        const auto lines = Lines(run.out);
        ASSERT_EQ(lines.size(), 2u) << run.out << run.err;
        const std::string time = lines[1].substr(0, lines[1].find(','));
        EXPECT_TRUE(std::regex_match(time, std::regex(c.pattern))) << time;
    }
    unsetenv("TZ");
    const CtlRun epoch = Ctl("--format jsonl --time epoch read PV --station 1" + line);
    const auto json = JsonLines(epoch.out);
    ASSERT_EQ(json.size(), 1u) << epoch.err;
    ASSERT_TRUE(json[0]["time"].is_number()) << epoch.out;
    EXPECT_NEAR(json[0]["time"].get<double>(), static_cast<double>(std::time(nullptr)), 60);
}

// Off a terminal, text is the same table as on one, a whole table a cycle, without escape codes.
TEST_F(CtlLongRuns, TextOffATerminalIsATableACycle) {
    simtest::SimProcess sim;
    ASSERT_TRUE(sim.Start(SimulatorArgs())) << sim.Stderr();
    const CtlRun run = Ctl("--format text poll PV SP --station 1 --count 2 --interval 0 --port " +
                           sim.port() + " --timeout 200");
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = Lines(run.out);
    const std::vector<std::string> expectedStarts = {"time ", "20", "20", "", "time ", "20", "20"};
    ASSERT_EQ(lines.size(), expectedStarts.size()) << run.out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind(expectedStarts[i], 0), 0u) << lines[i];
    }
    EXPECT_NE(lines[1].find("  PV  "), std::string::npos) << lines[1];
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(run.out.find(','), std::string::npos) << "a table, not CSV";
}

// On a terminal of 60 columns and 6 lines: a table redrawn in place, no line wider than the
// terminal, and the rows that do not fit counted.
TEST_F(CtlLongRuns, LiveTableStaysInsideTheTerminal) {
    simtest::SimProcess sim;
    ASSERT_TRUE(sim.Start(SimulatorArgs())) << sim.Stderr();
    std::string error;
    auto terminal = host::OpenPseudoTerminal(error);
    ASSERT_NE(terminal, nullptr) << error;
    const int screen = open(terminal->path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(screen, 0);
    winsize size{};
    size.ws_col = 60;
    size.ws_row = 6;
    ASSERT_EQ(ioctl(screen, TIOCSWINSZ, &size), 0);
    const std::string program = BuildDir() + "qm4720ctl";
    const std::vector<std::string> args = {
        program, "poll",       "PV", "SP",     "PN",       "--station", "1,2", "--count",
        "3",     "--interval", "0",  "--port", sim.port(), "--timeout", "300"};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(screen, STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        unsetenv("NO_COLOR");
        std::vector<char*> argv;
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(screen);
    std::string shown;
    int status = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (bool ended = false; std::chrono::steady_clock::now() < deadline;) {
        std::uint8_t buffer[4096];
        const long n = terminal->line().Read(buffer, error);
        if (n > 0) {
            shown.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
            continue;
        }
        if (ended) break;  // drained after the exit
        ended = waitpid(pid, &status, WNOHANG) == pid;
        usleep(20000);
    }
    ASSERT_TRUE(WIFEXITED(status)) << shown;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // Three redraws of 3 rows of 6, the header, and the count of the rest.
    EXPECT_NE(shown.find("… 3 more rows"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\x1b[5A"), std::string::npos) << "drawn over the previous table";
    std::size_t lines = 0;
    for (std::string line : Lines(shown)) {
        // Cursor moves and erasures are not text; the kernel turns each line end into CR LF.
        line = std::regex_replace(line, std::regex("\x1b\\[[0-9;]*[AJK]|\r"), "");
        EXPECT_LE(ctl::VisibleWidth(line), 60u) << line;
        if (!line.empty()) ++lines;
    }
    EXPECT_EQ(lines, 15u) << shown;
}

// /dev/serial/by-id names are longer than the driver's 31 characters: the device they point at is
// opened.
TEST_F(CtlLongRuns, ALongStableNameIsFollowedToItsDevice) {
    simtest::SimProcess sim;
    ASSERT_TRUE(sim.Start(SimulatorArgs())) << sim.Stderr();
    const std::string link = dir_ + "/usb-Maker_Adapter_A12BC3DE-if00-port0";
    ASSERT_GT(link.size(), 31u);
    ASSERT_EQ(symlink(sim.port().c_str(), link.c_str()), 0);
    const CtlRun run = Ctl("--format jsonl read PV --station 1 --timeout 300 --port " + link);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(JsonLines(run.out).at(0)["value"], 12.5);
}

// The operating system's reason follows the driver's message when a port does not open.
TEST_F(CtlLongRuns, OpenFailuresSayWhy) {
    const std::string plainFile = dir_ + "/not-a-port";
    std::ofstream(plainFile) << "x";
    struct Case {
        std::string port;
        std::string says;
    } cases[] = {
        {"/dev/does-not-exist", "/dev/does-not-exist: no such device"},
        {plainFile, plainFile + ": not a serial device"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        const CtlRun run = Ctl("read PV --station 1 --port " + c.port);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("打开串口错误!"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("qm4720ctl: " + c.says), std::string::npos) << run.err;
    }

    // Busy: another qm4720ctl holds the line, and the holders are named.
    simtest::SimProcess sim;
    ASSERT_TRUE(sim.Start(SimulatorArgs())) << sim.Stderr();
    std::string error;
    auto holder = host::StartChild({BuildDir() + "qm4720ctl", "--format", "jsonl", "poll", "PV",
                                    "--station", "1", "--interval", "0.1", "--port", sim.port()},
                                   error);
    ASSERT_NE(holder, nullptr) << error;
    std::string row;
    ASSERT_TRUE(holder->ReadLine(row, 30000)) << "the holder polls";
    const CtlRun busy = Ctl("read PV --station 1 --port " + sim.port());
    EXPECT_EQ(busy.status, 1);
    EXPECT_NE(busy.err.find("打开串口错误!"), std::string::npos) << busy.err;
    // The holders by the names the system gives them (under valgrind, valgrind's own).
    EXPECT_TRUE(
        std::regex_search(busy.err, std::regex(sim.port() + R"(: busy: held by .+ \(pid \d+\))")))
        << busy.err;
    holder->Stop(SIGINT, 30000);
}

// A user who may not open the device is told the group to join. As root the command runs as
// nobody, so that the permission bits apply.
TEST_F(CtlLongRuns, PermissionDeniedNamesTheGroup) {
    const std::string device = dir_ + "/ttyFAKE";
    std::ofstream(device) << "x";
    struct stat st {};
    ASSERT_EQ(stat(device.c_str(), &st), 0);
    gid_t group = st.st_gid;
    if (getuid() == 0) {
        const struct group* dialout = getgrnam("dialout");
        group = dialout != nullptr ? dialout->gr_gid : 0;
        ASSERT_EQ(chown(device.c_str(), 0, group), 0);
        chmod(dir_.c_str(), 0755);
    }
    ASSERT_EQ(chmod(device.c_str(), getuid() == 0 ? 0660 : 0), 0);
    const struct group* entry = getgrgid(group);
    ASSERT_NE(entry, nullptr);
    const std::string name = entry->gr_name;

    int err[2];
    ASSERT_EQ(pipe(err), 0);
    const std::string program = BuildDir() + "qm4720ctl";
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(err[1], STDERR_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        if (getuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(126);
        execl(program.c_str(), program.c_str(), "read", "PV", "--station", "1", "--port",
              device.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(err[1]);
    std::string said;
    char buffer[1024];
    for (ssize_t n; (n = read(err[0], buffer, sizeof buffer)) > 0;)
        said.append(buffer, static_cast<std::size_t>(n));
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << said;
    EXPECT_NE(said.find("打开串口错误!"), std::string::npos) << said;
    EXPECT_NE(said.find(device + ": permission denied"), std::string::npos) << said;
    EXPECT_NE(said.find("add your user to the group " + name), std::string::npos) << said;
}

// --output is opened once every check has passed: a refused command leaves the file alone.
TEST_F(CtlLongRuns, RefusedCommandsLeaveTheOutputFile) {
    const std::string path = dir_ + "/results";
    const char* refused[] = {
        "read pv --station 1 --port /dev/does-not-exist",
        "write SP=abc --station 1 --port /dev/does-not-exist",
        "write PV=1 --station 1 --port /dev/does-not-exist",
        "poll PV --station 1 --wide --port /dev/does-not-exist",
        "read PV --station 1",
        "parse PV --types nope",
    };
    for (const char* command : refused) {
        SCOPED_TRACE(command);
        std::ofstream(path) << "earlier results\n";
        const CtlRun run = Ctl("--output " + path + " " + command);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_EQ(FileText(path), "earlier results\n");
    }
    const CtlRun tables = Ctl("--output " + path + " --format csv tables");
    EXPECT_EQ(tables.status, 0);
    EXPECT_EQ(FileText(path).rfind("index,mnemonic,type,read_only\n", 0), 0u);
}

TEST(CtlHelp, NamesTheNewOptions) {
    struct Case {
        const char* args;
        std::vector<std::string> says;
    } cases[] = {
        {"--help", {"--time", "--output"}},
        {"poll --help", {"--wide", "reopened", "30 s"}},
        {"ports --help", {"serial_number", "by_id"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const CtlRun run = Ctl(c.args);
        EXPECT_EQ(run.status, 0);
        for (const std::string& text : c.says)
            EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n" << run.out;
    }
    const CtlRun ports = Ctl("--format json ports");
    ASSERT_EQ(ports.status, 0) << ports.err;
    for (const auto& port : nlohmann::json::parse(ports.out)) {
        EXPECT_TRUE(port.contains("serial_number") && port.contains("by_id")) << port.dump();
    }
}

}  // namespace
