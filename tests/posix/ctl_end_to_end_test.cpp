// qm4720ctl end to end: the real program, the real module and the simulator on a pseudo-terminal,
// checked through exit statuses and what the program prints for people and for scripts.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/posix/ctl_run.h"
#include "tests/support/sim_process.h"

namespace {

using ctltest::BuildDir;
using ctltest::Ctl;
using ctltest::CtlRun;
using ctltest::JsonLines;
using ctltest::SimulatorArgs;

class CtlAgainstSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim_.Start(SimulatorArgs()))
            << "the simulator did not start: " << sim_.Stderr();
        line_ = " --port " + sim_.port() + " --timeout 300";
    }
    simtest::SimProcess sim_;
    std::string line_;
};

TEST(Ctl, TablesForScripts) {
    const CtlRun csv = Ctl("--format csv tables");
    ASSERT_EQ(csv.status, 0) << csv.err;
    EXPECT_NE(csv.out.find("index,mnemonic,type,read_only\n"), std::string::npos);
    EXPECT_NE(csv.out.find("\n4,PV,FLOAT,yes\n"), std::string::npos);
    EXPECT_NE(csv.out.find("\n57,PT,INT,no\n"), std::string::npos);
    EXPECT_TRUE(csv.err.empty()) << "no banner or diagnostics on success: " << csv.err;

    const CtlRun json = Ctl("--format json tables --model qm4720n");
    ASSERT_EQ(json.status, 0) << json.err;
    const auto table = nlohmann::json::parse(json.out);
    ASSERT_EQ(table.size(), 58u);
    EXPECT_EQ(table[36]["mnemonic"], "XP");
    EXPECT_EQ(table[30]["type"], "FLOAT");
    EXPECT_EQ(table[4]["read_only"], true) << "yes/no is a JSON boolean";
    EXPECT_EQ(table[57]["read_only"], false);
}

TEST(Ctl, TagValidationShowsTheDriversMessage) {
    const CtlRun ok = Ctl("check-station 07");
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.out, "7\n");
    EXPECT_EQ(Ctl("--format csv check-station 07").out, "station\n7\n");
    EXPECT_EQ(Ctl("--format jsonl check-station 07").out, "{\"station\":7}\n");

    const CtlRun bad = Ctl("check-station 1a");
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("输入的表号错误!"), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find("station number must be one or two digits"), std::string::npos);

    const CtlRun type = Ctl("parse PV --types INT");
    EXPECT_EQ(type.status, 1);
    EXPECT_NE(type.err.find("数据类型错误,应选FLOAT数据类型."), std::string::npos) << type.err;

    const CtlRun found = Ctl("--format jsonl parse XP --model QM4720N --types FLOAT,INT");
    ASSERT_EQ(found.status, 0) << found.err;
    EXPECT_EQ(JsonLines(found.out).at(0)["index"], 36);
}

TEST(Ctl, UsageAndModuleErrorsHaveTheirOwnStatus) {
    EXPECT_EQ(Ctl("--help").status, 0);
    EXPECT_EQ(Ctl("read PV").status, 2);  // no --station
    EXPECT_EQ(Ctl("write SP=abc --station 1 --port x").status, 2);
    EXPECT_EQ(Ctl("poll PV --station 1,200 --port x").status, 2);
    EXPECT_EQ(Ctl("frobnicate").status, 2);
    const CtlRun noModule = Ctl("--module /nonexistent/qm4720.so tables");
    EXPECT_EQ(noModule.status, 3);
    EXPECT_NE(noModule.err.find("cannot create the driver"), std::string::npos);
    const CtlRun noPort = Ctl("read PV --station 1 --port /dev/does-not-exist");
    EXPECT_EQ(noPort.status, 1);
    EXPECT_NE(noPort.err.find("打开串口错误!"), std::string::npos) << noPort.err;
}

// Every name, number and range is checked before the line is touched: the port below does not
// exist, so a command that got as far as opening it would fail with status 1 instead.
TEST(Ctl, ArgumentsAreCheckedBeforeTheLine) {
    const std::string noLine = " --port /dev/does-not-exist";
    struct Case {
        std::string args;
        int status;
        const char* says;
    } cases[] = {
        {"read PV pv --station 1", 2, "did you mean PV?"},
        {"write sp=1 --station 1", 2, "did you mean SP?"},
        {"poll PV XX --station 1", 2, "tables --model"},
        {"read PV --station 1 --baud 19200", 2, "300 to 9600"},
        {"read PV --station 1 --baud 299", 2, "300 to 9600"},
        {"read PV --station 1 --timeout 40000", 2, "0 to 32767"},
        {"probe --timeout 2147483647", 2, "0 to 32767"},
        {"read PV --station 1 --timeout -1", 2, "0 to 32767"},
        {"poll PV --station 1 --interval 1e300", 2, "0..86400"},
        {"poll PV --station 1 --interval inf", 2, "0..86400"},
        {"poll PV --station 1 --interval nan", 2, "0..86400"},
        {"poll PV --station 1 --interval -1", 2, "0..86400"},
        {"read PV --station 1 --timeout 5", 1, "below 10 ms as 1000 ms"},
        {"read PV --station 1 --timeout 32767", 1, "打开串口错误!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const CtlRun run = Ctl(c.args + noLine);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    }
    const CtlRun types = Ctl("parse PV --types float");
    EXPECT_EQ(types.status, 0) << "type names, like models, in any case: " << types.err;
}

// Any bytes in any argument give a result or a usage error, never an abort; what is printed as
// JSON still parses.
TEST(Ctl, AnyBytesInAnArgumentEndCleanly) {
    const char* bytes[] = {"\\377",  "\\303", "\\355\\240\\200", "\\001\\002",
                           "%%s%%n", "a\\nb", "\\342\\202"};
    const char* commands[] = {"--format json tables --model ARG",
                              "--format json parse ARG --model ARG --types ARG",
                              "--format jsonl check-station ARG",
                              "--format json read ARG --station ARG --port /dev/does-not-exist",
                              "--format json read PV --station 1 --port ARG --model ARG",
                              "--format csv poll PV --station 1 --interval ARG --port ARG",
                              "--format json probe --stations 1 --model ARG --port SIM"};
    simtest::SimProcess sim;  // probe prints the model it was given
    ASSERT_TRUE(sim.Start(SimulatorArgs())) << sim.Stderr();
    for (const char* b : bytes) {
        for (std::string command : commands) {
            const std::string arg = std::string("\"$(printf '") + b + "')\"";
            for (std::size_t at; (at = command.find("ARG")) != std::string::npos;)
                command.replace(at, 3, arg);
            if (const std::size_t at = command.find("SIM"); at != std::string::npos)
                command.replace(at, 3, sim.port() + " --timeout 300");
            SCOPED_TRACE(command);
            const CtlRun run = Ctl(command);
            EXPECT_TRUE(run.status == 0 || run.status == 1 || run.status == 2)
                << run.status << " " << run.err;
            if (command.find("json ") != std::string::npos && !run.out.empty()) {
                EXPECT_TRUE(nlohmann::json::accept(run.out)) << run.out;
            } else if (command.find("jsonl ") != std::string::npos) {
                EXPECT_NO_THROW(JsonLines(run.out)) << run.out;
            }
        }
    }
}

TEST_F(CtlAgainstSimulator, ReadsBothModelsWithQualityAndTime) {
    const CtlRun one = Ctl("--format jsonl read PV SP --station 1" + line_);
    ASSERT_EQ(one.status, 0) << one.err;
    const auto rows = JsonLines(one.out);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0]["value"], 12.5);
    EXPECT_EQ(rows[1]["value"], 25.5);
    EXPECT_EQ(rows[0]["quality"], 192);
    EXPECT_EQ(rows[0]["status"], "ok");
    EXPECT_EQ(rows[0]["time"].get<std::string>().back(), 'Z');

    const CtlRun two = Ctl("--format jsonl read XP --station 2 --model QM4720N" + line_);
    ASSERT_EQ(two.status, 0) << two.err;
    EXPECT_EQ(JsonLines(two.out).at(0)["status"], "ok");
}

TEST_F(CtlAgainstSimulator, WriteVerifiesAndRefusesReadOnlyRegisters) {
    const CtlRun write = Ctl("--format jsonl write SP=30.25 PN=12 --station 1 --verify" + line_);
    ASSERT_EQ(write.status, 0) << write.err;
    const auto rows = JsonLines(write.out);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0]["status"], "verified");
    EXPECT_EQ(rows[0]["read_back"], 30.25);
    EXPECT_EQ(rows[1]["read_back"], 12);

    const CtlRun readOnly = Ctl("write PV=1 --station 1" + line_);
    EXPECT_EQ(readOnly.status, 2);
    EXPECT_NE(readOnly.err.find("read-only"), std::string::npos);
    EXPECT_EQ(Ctl("write PN=1.5 --station 1" + line_).status, 2);  // INT register
}

// A FLOAT widened to double has more digits than the float holds (98.50099945068359); every
// format must print the float's own shortest text, and INT values as integers.
TEST_F(CtlAgainstSimulator, EveryFormatCarriesTheFloatsOwnDigits) {
    ASSERT_EQ(Ctl("write SP=98.501 --station 1" + line_).status, 0);
    for (const char* command : {"read SP PN --station 1", "poll SP PN --station 1 --count 1",
                                "write SP=98.501 --station 1 --verify"}) {
        for (const char* format : {"text", "csv", "json", "jsonl"}) {
            SCOPED_TRACE(std::string(format) + " " + command);
            const CtlRun run = Ctl(std::string("--format ") + format + " " + command + line_);
            ASSERT_EQ(run.status, 0) << run.err;
            EXPECT_NE(run.out.find("98.501"), std::string::npos) << run.out;
            EXPECT_EQ(run.out.find("98.5009"), std::string::npos) << run.out;
            EXPECT_EQ(run.out.find("e+"), std::string::npos) << run.out;
        }
    }
    const CtlRun json = Ctl("--format json read SP PN --station 1" + line_);
    const auto rows = nlohmann::json::parse(json.out);
    EXPECT_TRUE(rows.at(1)["value"].is_number_integer()) << json.out;
}

// Every reading has the same columns in the same order whichever command made it; write adds
// its own after them.
TEST_F(CtlAgainstSimulator, EveryReadingHasOneSchema) {
    const std::string reading = "time,station,register,type,value,quality,status,latency_ms,error";
    struct Case {
        const char* command;
        std::string header;
    } cases[] = {
        {"read PV --station 1", reading},
        {"poll PV --station 1 --count 1", reading},
        {"write SP=25.5 --station 1 --verify", reading + ",requested,read_back"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const CtlRun csv = Ctl(std::string("--format csv ") + c.command + line_);
        ASSERT_EQ(csv.status, 0) << csv.err;
        EXPECT_EQ(csv.out.substr(0, csv.out.find('\n')), c.header);
        const CtlRun json = Ctl(std::string("--format jsonl ") + c.command + line_);
        const auto rows = JsonLines(json.out);
        ASSERT_EQ(rows.size(), 1u) << json.out;
        std::string keys;
        for (const auto& item : rows[0].items()) keys += (keys.empty() ? "" : ",") + item.key();
        EXPECT_EQ(keys, c.header) << "JSON keeps the columns' order";
        EXPECT_EQ(rows[0]["type"], "FLOAT");
    }
}

// The meter takes six characters: a FLOAT is rounded to fit (half away from zero) before it is
// sent, write says so and verifies against what was sent. Fields worked out by hand.
TEST_F(CtlAgainstSimulator, WriteSendsAndVerifiesTheSixCharacterField) {
    struct Case {
        const char* typed;
        int status;
        double sent;
        bool announced;  // "is sent as" on stderr
    } cases[] = {
        {"12.3456", 0, 12.346, true}, {"-12.345", 0, -12.35, true}, {"0.03125", 0, 0.0313, true},
        {"9999.94", 0, 9999.9, true}, {"25.5", 0, 25.5, false},     {"-0.25", 0, -0.25, false},
        {"0.1", 0, 0.1, false},       {"9999.96", 2, 0, false},     {"10000", 2, 0, false},
        {"-999.96", 2, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        const CtlRun run = Ctl(std::string("--format jsonl write SP=") + c.typed +
                               " --station 1 --verify" + line_);
        ASSERT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.err.find("is sent as") != std::string::npos, c.announced) << run.err;
        if (c.status != 0) continue;
        const auto rows = JsonLines(run.out);
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0]["value"], c.sent);
        EXPECT_EQ(rows[0]["requested"].dump(), c.typed);
        EXPECT_EQ(rows[0]["status"], "verified");
        EXPECT_EQ(rows[0]["read_back"], c.sent);
    }
}

TEST_F(CtlAgainstSimulator, SilentStationIsATimeoutWithNoValue) {
    const CtlRun silent = Ctl("--format jsonl read PV --station 5" + line_);
    EXPECT_EQ(silent.status, 1);
    const auto rows = JsonLines(silent.out);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(rows[0]["value"].is_null());
    EXPECT_EQ(rows[0]["status"], "timeout");
    EXPECT_EQ(rows[0]["time"].get<std::string>().back(), 'Z') << "the time of the attempt";
    EXPECT_NE(silent.err.find("超时错误!"), std::string::npos) << silent.err;
}

TEST_F(CtlAgainstSimulator, ProbeAndPoll) {
    const CtlRun probe = Ctl("--format jsonl probe --stations 0-3" + line_);
    ASSERT_EQ(probe.status, 0) << probe.err;
    const auto found = JsonLines(probe.out);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0]["station"], 1);
    EXPECT_EQ(found[1]["station"], 2);
    EXPECT_EQ(found[1]["answered"], true);
    EXPECT_NE(probe.err.find("at most"), std::string::npos) << "the worst case is stated first";
    const CtlRun shortProbe =
        Ctl("probe --stations 40-41 --port " + sim_.port() + " --timeout 100");
    EXPECT_NE(shortProbe.err.find("at most 1 s"), std::string::npos) << shortProbe.err;

    const CtlRun poll =
        Ctl("--format jsonl poll PV --station 1,5 --count 2 --interval 0.1" + line_);
    EXPECT_EQ(poll.status, 1);  // station 5 is silent
    const auto samples = JsonLines(poll.out);
    ASSERT_EQ(samples.size(), 4u);
    EXPECT_EQ(samples[0]["value"], 12.5);
    EXPECT_TRUE(samples[1]["value"].is_null());
    EXPECT_NE(poll.err.find("2 answer(s), 2 timeout(s)"), std::string::npos) << poll.err;
}

// True once process `pid` catches `signal` (its handler is installed), from /proc.
bool Catches(pid_t pid, int signal) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1) & 1) != 0;
    }
    return false;
}

// Starts qm4720ctl with `args`, sends `signal` once it catches `caught` (by default the same
// signal) and has run a little, and collects what it printed.
CtlRun CtlUntilSignal(const std::vector<std::string>& args, int signal, int caught = 0) {
    int out[2];
    if (pipe(out) != 0) return {};
    char errPath[] = "/tmp/qm4720ctl-err-XXXXXX";
    const int errFd = mkstemp(errPath);
    const std::string program = BuildDir() + "qm4720ctl";
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(errFd, 2);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(errFd);
    for (int i = 0; i < 500 && !Catches(pid, caught ? caught : signal); ++i) usleep(10000);
    usleep(300000);  // a few readings
    kill(pid, signal);
    CtlRun run;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        run.out.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::ifstream err(errPath);
    run.err.assign(std::istreambuf_iterator<char>(err), {});
    unlink(errPath);
    return run;
}

// SIGTERM and SIGHUP end a poll or a probe as Ctrl-C does: a complete document of the results so
// far and the summary.
TEST_F(CtlAgainstSimulator, TerminationSignalsEndARunLikeCtrlC) {
    const std::vector<std::string> line = {"--port", sim_.port(), "--timeout", "300"};
    struct Case {
        std::vector<std::string> args;
        int signal;
        const char* summary;
    } cases[] = {
        {{"--format", "json", "poll", "PV", "--station", "1", "--interval", "0.02"},
         SIGTERM,
         "answer(s)"},
        {{"--format", "json", "poll", "PV", "--station", "1", "--interval", "0.02"},
         SIGHUP,
         "answer(s)"},
        {{"--format", "json", "poll", "PV", "--station", "1", "--interval", "0.02"},
         SIGINT,
         "answer(s)"},
        {{"--format", "json", "probe", "--stations", "3-99"}, SIGTERM, "(interrupted)"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.args[2] + " signal " + std::to_string(c.signal));
        c.args.insert(c.args.end(), line.begin(), line.end());
        const CtlRun run = CtlUntilSignal(c.args, c.signal);
        EXPECT_EQ(run.status, 130) << run.err;
        ASSERT_TRUE(nlohmann::json::accept(run.out)) << run.out;
        EXPECT_TRUE(nlohmann::json::parse(run.out).is_array());
        EXPECT_NE(run.err.find(c.summary), std::string::npos) << run.err;
    }
}

// A reader that stops early (| head) ends the program, without a word on stderr.
TEST_F(CtlAgainstSimulator, ClosedPipeEndsQuietly) {
    char errPath[] = "/tmp/qm4720ctl-pipe-XXXXXX";
    close(mkstemp(errPath));
    const CtlRun run = Ctl("--format jsonl poll PV --station 1 --interval 0" + line_ + " 2>" +
                           errPath + " | head -n 2");
    EXPECT_EQ(JsonLines(run.out).size(), 2u) << run.out;
    std::ifstream err(errPath);
    const std::string said(std::istreambuf_iterator<char>(err), {});
    EXPECT_EQ(said, "");
    unlink(errPath);
}

std::string FileText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// --output puts the results in a file instead of stdout; poll's rows reach it one by one, so a
// poll killed outright has left every row it finished.
TEST_F(CtlAgainstSimulator, OutputGoesToAFileRowByRow) {
    char path[] = "/tmp/qm4720ctl-output-XXXXXX";
    close(mkstemp(path));
    const CtlRun read =
        Ctl(std::string("--output ") + path + " --format json read PV --station 1" + line_);
    ASSERT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(read.out, "");
    const auto rows = nlohmann::json::parse(FileText(path));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["value"], 12.5);

    const CtlRun killed =
        CtlUntilSignal({"--output", path, "--format", "jsonl", "poll", "PV", "--station", "1",
                        "--interval", "0.02", "--port", sim_.port(), "--timeout", "300"},
                       SIGKILL, SIGTERM);
    EXPECT_EQ(killed.out, "");
    const auto polled = JsonLines(FileText(path));
    ASSERT_FALSE(polled.empty()) << "rows are written as they come";
    EXPECT_EQ(polled.back()["value"], 12.5);
    unlink(path);

    const CtlRun nowhere = Ctl("--output /nonexistent/dir/out read PV --station 1" + line_);
    EXPECT_EQ(nowhere.status, 2);
    EXPECT_NE(nowhere.err.find("--output /nonexistent/dir/out: "), std::string::npos)
        << nowhere.err;
}

TEST(Ctl, FaultsAreReportedAndNoWrongValueIsPrinted) {
    struct Case {
        const char* fault;
        bool mustFail;  // a reply the driver must never accept
    } cases[] = {
        {"bad-bcc=1", true},   {"non-numeric=1", true}, {"nak=1", true},
        {"lone-stx=1", false}, {"noise=1", false},      {"split=1", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        simtest::SimProcess sim;
        ASSERT_TRUE(sim.Start(SimulatorArgs({"--fault", c.fault}))) << sim.Stderr();
        const CtlRun run =
            Ctl("--format jsonl read PV --station 1 --port " + sim.port() + " --timeout 500");
        const auto rows = JsonLines(run.out);
        ASSERT_EQ(rows.size(), 1u) << run.err;
        if (rows[0]["status"] == "ok") {
            // A fault that a sound receiver survives must still give the exact value.
            EXPECT_FALSE(c.mustFail) << "a faulty reply was accepted";
            EXPECT_EQ(rows[0]["value"], 12.5);
            EXPECT_EQ(run.status, 0);
        } else {
            EXPECT_TRUE(rows[0]["value"].is_null());
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(rows[0]["status"], "reply-error");
            // The driver's message, then its English gloss.
            EXPECT_NE(run.err.find("接收到错误数据! (the meter's reply was malformed or failed its "
                                   "block check)"),
                      std::string::npos)
                << run.err;
        }
    }
}

// --retries reads a failed register again; the extra attempts are counted on stderr. The
// simulator's script gives the first replies' faults in order.
TEST(Ctl, RetriesReadAFailedRegisterAgain) {
    struct Case {
        const char* script;
        const char* command;
        int status;
        const char* says;
    } cases[] = {
        {"timeout,bad-bcc", "read PV --station 1 --retries 2", 0, "2 retry(ies)"},
        {"timeout,timeout", "read PV --station 1 --retries 1", 1, "1 retry(ies)"},
        {"bad-bcc", "poll PV --station 1 --count 2 --interval 0 --retries 3", 0,
         "2 answer(s), 0 timeout(s), 0 reply error(s), 0 other error(s), 1 retry(ies)"},
        {"bad-bcc", "read PV --station 1", 1, "接收到错误数据!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.script) + ": " + c.command);
        simtest::SimProcess sim;
        ASSERT_TRUE(sim.Start(SimulatorArgs({"--script", c.script}))) << sim.Stderr();
        const CtlRun run = Ctl(std::string("--format jsonl ") + c.command + " --port " +
                               sim.port() + " --timeout 200");
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        const auto rows = JsonLines(run.out);
        ASSERT_FALSE(rows.empty());
        if (c.status == 0) {
            EXPECT_EQ(rows.back()["value"], 12.5);
        }
    }
}

TEST(Ctl, DemoRunsToTheEnd) {
    const CtlRun demo = Ctl("demo");
    EXPECT_EQ(demo.status, 0) << demo.out << demo.err;
    EXPECT_NE(demo.out.find("demo finished: every step as expected"), std::string::npos)
        << demo.out;
    // Each refusal is shown with its own message, not the one before it.
    EXPECT_NE(demo.out.find("lower-case pv is refused: \"设备寄存器名字错误!\""),
              std::string::npos);
    EXPECT_NE(demo.out.find("station text 1a is refused: \"输入的表号错误!"), std::string::npos);
}

// register writes the module's entries into the registry file, and --progid then finds the module
// through them, for the commands without a line and those with one.
TEST_F(CtlAgainstSimulator, RegisterThenFindTheModuleByItsIdentifier) {
    char folder[] = "/tmp/qm4720ctl-registry-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string registry = std::string(folder) + "/registry";
    const std::string progId = " --progid QM4720.QM4720Pro ";
    struct Case {
        std::string args;
        int status;
        std::string says;  // in stdout when the status is 0, in stderr otherwise
    } cases[] = {
        {progId + "tables", 3, "QM4720.QM4720Pro is not registered"},
        {"--module /nonexistent/qm4720.so register", 3, "cannot load /nonexistent/qm4720.so: "},
        {progId + "register", 2, "registration runs from the module file"},
        {"--module " + std::string(QM_MODULE_PATH) + " register", 0,
         "registered QM4720.QM4720Pro -> " + std::string(QM_MODULE_PATH) + "\n"},
        {progId + "--format csv parse XP --model QM4720N", 0, "XP,36,FLOAT,no\n"},
        {progId + "--format csv read SP --station 1" + line_, 0, ",1,SP,FLOAT,25.5,192,ok,"},
    };
    // The children take the registry file from the environment; this test's own is put back.
    const char* before = getenv("QM4720_REGISTRY");
    const std::string saved = before != nullptr ? before : "";
    setenv("QM4720_REGISTRY", registry.c_str(), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const CtlRun run = Ctl(c.args);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE((c.status == 0 ? run.out : run.err).find(c.says), std::string::npos)
            << run.out << run.err;
    }
    if (before != nullptr) {
        setenv("QM4720_REGISTRY", saved.c_str(), 1);
    } else {
        unsetenv("QM4720_REGISTRY");
    }
    std::filesystem::remove_all(folder);
}

}  // namespace
