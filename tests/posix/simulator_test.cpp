// End to end through the simulator program: it runs as a child process on its own
// pseudo-terminal, and the tests talk to it with raw bytes as a driver would. Expected bytes come
// from the protocol's own examples of frames and replies.
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/oskit/posix/termios_settings.h"
#include "tests/support/sim_process.h"

namespace {

using simtest::Bytes;
using simtest::Hex;
using simtest::HostLine;
using simtest::ShowHex;
using simtest::SimProcess;

constexpr std::uint8_t kStx = 0x02, kEtx = 0x03;

// Requests and replies as the protocol's examples give them.
const Bytes kReadPv1 = Hex("04 30 30 31 31 50 56 05");              // read, station 1, PV
const Bytes kReplyPv255 = Hex("02 50 56 30 30 32 35 2E 35 03 19");  // PV, field 0025.5
const Bytes kReadSp12 = Hex("04 31 31 32 32 53 50 05");             // read, station 12, SP
const Bytes kWriteSp12 = Hex("04 31 31 32 32 02 53 50 30 30 32 35 2E 35 03 1C");  // SP 25.5
const Bytes kWritePn1 = Hex("04 30 30 31 31 02 50 4E 30 30 30 30 32 35 03 1A");   // PN 25
const Bytes kWriteXp5 = Hex("04 30 30 35 35 02 58 50 2D 30 30 2E 32 35 03 0F");   // XP -0.25
// SP 12.3456: a field of seven characters, which no six-character instrument field can carry.
const Bytes kWriteSpLong = Hex("04 30 30 31 31 02 53 50 31 32 2E 33 34 35 36 03 7A");

// A write frame for the cases the examples do not cover: the test's own check over the nine
// bytes that end with ETX.
Bytes WriteFrame(const char* station, const char* mnemonic, const char* field) {
    Bytes frame{0x04};
    frame.insert(frame.end(), station, station + 4);
    frame.push_back(kStx);
    Bytes text(mnemonic, mnemonic + 2);
    text.insert(text.end(), field, field + std::char_traits<char>::length(field));
    text.push_back(kEtx);
    std::uint8_t bcc = 0;
    for (std::size_t i = text.size() - 9; i < text.size(); ++i) bcc ^= text[i];
    frame.insert(frame.end(), text.begin(), text.end());
    frame.push_back(bcc);
    return frame;
}

Bytes ReadFrame(const char* station, const char* mnemonic) {
    Bytes frame{0x04};
    frame.insert(frame.end(), station, station + 4);
    frame.insert(frame.end(), mnemonic, mnemonic + 2);
    frame.push_back(0x05);
    return frame;
}

// The number in the field of a data reply.
double FieldValue(const Bytes& reply) {
    if (reply.size() < 11) return -1e9;
    return std::stod(std::string(reply.end() - 8, reply.end() - 2));
}

class Simulator : public ::testing::Test {
protected:
    void Launch(const std::vector<std::string>& args) {
        ASSERT_TRUE(sim_.Start(args)) << "exit " << sim_.exitStatus() << ": " << sim_.Stderr();
        line_ = std::make_unique<HostLine>(sim_.port());
        ASSERT_TRUE(line_->ok()) << sim_.port();
    }
    // Stops the simulator and returns what it printed on stderr, checking a clean exit.
    std::string Finish() {
        EXPECT_EQ(sim_.Stop(SIGTERM), 0);
        return sim_.Stderr();
    }

    SimProcess sim_;
    std::unique_ptr<HostLine> line_;
};

// ---- Replies to reads: the protocol's reply examples, byte for byte ------------------------

TEST_F(Simulator, ReadRepliesCarryTheSixCharacterFieldAndBlockCheck) {
    Launch({"--frozen", "--station", "1", "--station", "2", "--station", "12:QM4720N", "--station",
            "5", "--set", "1:PV=25.5", "--set", "2:PV=-12.5", "--set", "12:SP=25.5", "--set",
            "1:PN=25", "--set", "5:XP=-0.25"});
    struct Case {
        const char* what;
        Bytes request;
        Bytes reply;
    };
    const Case cases[] = {
        {"PV 25.5 at station 1", kReadPv1, kReplyPv255},
        {"PV -12.5 (check byte 0)", ReadFrame("0022", "PV"),
         Hex("02 50 56 2D 30 31 32 2E 35 03 00")},
        {"EE of a QM4720N station reads 0", ReadFrame("1122", "EE"),
         Hex("02 45 45 30 30 30 30 30 30 03 03")},
        {"SP 25.5 at station 12", kReadSp12, Hex("02 53 50 30 30 32 35 2E 35 03 1C")},
        {"INT PN 25", ReadFrame("0011", "PN"), Hex("02 50 4E 30 30 30 30 32 35 03 1A")},
        {"XP -0.25", ReadFrame("0055", "XP"), Hex("02 58 50 2D 30 30 2E 32 35 03 0F")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ShowHex(line_->Ask(c.request, c.reply.size())), ShowHex(c.reply)) << c.what;
    }
}

TEST_F(Simulator, EveryRegisterOfBothTablesAnswersWithASixCharacterField) {
    Launch({"--frozen", "--station", "1", "--station", "12:QM4720N"});
    // Registers only one model has, and the ones both share.
    const char* defaultOnly[] = {"PR", "C1", "P4", "PF", "OC", "HT", "CR", "PT", "EE"};
    const char* qm4720nOnly[] = {"NP", "N6", "AF", "AH", "PW", "3T", "4T", "HF", "DS"};
    for (const char* reg : defaultOnly) {
        const Bytes reply = line_->Ask(ReadFrame("0011", reg), 11);
        ASSERT_EQ(reply.size(), 11u) << reg;
        EXPECT_EQ(reply[0], kStx) << reg;
        EXPECT_EQ(std::string(reply.begin() + 1, reply.begin() + 3), reg);
        EXPECT_EQ(reply[9], kEtx) << reg;
    }
    for (const char* reg : qm4720nOnly) {
        EXPECT_EQ(line_->Ask(ReadFrame("1122", reg), 11).size(), 11u) << reg;
        // A register of the other model only: the default station stays silent.
        EXPECT_TRUE(line_->Ask(ReadFrame("0011", reg), 1).empty()) << reg;
    }
    EXPECT_EQ(ShowHex(line_->Ask(ReadFrame("0011", "EE"), 11)),
              ShowHex(Hex("02 45 45 30 30 30 30 30 30 03 03")));
}

// ---- Writes -------------------------------------------------------------------------------

TEST_F(Simulator, WritesToWritableRegistersAreStoredAndAcknowledged) {
    Launch({"--frozen", "--station", "1", "--station", "5", "--station", "12:QM4720N"});
    EXPECT_EQ(ShowHex(line_->Ask(kWriteSp12, 1)), "06 ");
    EXPECT_EQ(ShowHex(line_->Ask(kReadSp12, 11)), ShowHex(Hex("02 53 50 30 30 32 35 2E 35 03 1C")));
    EXPECT_EQ(ShowHex(line_->Ask(kWritePn1, 1)), "06 ");
    EXPECT_EQ(ShowHex(line_->Ask(ReadFrame("0011", "PN"), 11)),
              ShowHex(Hex("02 50 4E 30 30 30 30 32 35 03 1A")));
    EXPECT_EQ(ShowHex(line_->Ask(kWriteXp5, 1)), "06 ");
    EXPECT_EQ(ShowHex(line_->Ask(ReadFrame("0055", "XP"), 11)),
              ShowHex(Hex("02 58 50 2D 30 30 2E 32 35 03 0F")));
    // PT stands twice in the default table, read-only at 10 and writable at 57: one register.
    EXPECT_EQ(ShowHex(line_->Ask(WriteFrame("0011", "PT", "000007"), 1)), "06 ");
}

TEST_F(Simulator, RefusedWritesAreAnsweredNakAndChangeNothing) {
    Launch({"--frozen", "--station", "1", "--set", "1:SP=25.5", "--set", "1:PN=25"});
    Bytes badCheck = Hex("04 30 30 31 31 02 53 50 30 30 33 35 2E 35 03 1C");  // SP 35.5, old BCC
    struct Case {
        const char* what;
        Bytes request;
    };
    const Case cases[] = {
        {"wrong block check", badCheck},
        {"read-only PV", WriteFrame("0011", "PV", "0030.0")},
        {"read-only EE", WriteFrame("0011", "EE", "000001")},
        {"letter in the field", WriteFrame("0011", "SP", "00A5.5")},
        {"blank in the field", WriteFrame("0011", "SP", " 025.5")},
        {"two points", WriteFrame("0011", "SP", "02.5.5")},
        {"minus not first", WriteFrame("0011", "SP", "00-5.5")},
        {"seven-character field", kWriteSpLong},
        {"five-character field", WriteFrame("0011", "SP", "025.5")},
        {"point in an INT field", WriteFrame("0011", "PN", "0012.5")},
        {"INT beyond 16 bits", WriteFrame("0011", "PN", "040000")},
    };
    for (const Case& c : cases) EXPECT_EQ(ShowHex(line_->Ask(c.request, 1)), "15 ") << c.what;
    EXPECT_EQ(ShowHex(line_->Ask(ReadFrame("0011", "SP"), 11)),
              ShowHex(Hex("02 53 50 30 30 32 35 2E 35 03 1C")));
    EXPECT_EQ(ShowHex(line_->Ask(ReadFrame("0011", "PN"), 11)),
              ShowHex(Hex("02 50 4E 30 30 30 30 32 35 03 1A")));
}

// ---- Silence ------------------------------------------------------------------------------

TEST_F(Simulator, UnknownStationsRegistersAndBrokenFramesGetNoAnswer) {
    Launch({"--frozen", "--station", "1", "--set", "1:PV=25.5"});
    struct Case {
        const char* what;
        Bytes request;
    };
    const Case cases[] = {
        {"read at station 7", ReadFrame("0077", "PV")},
        {"write at station 7", WriteFrame("0077", "SP", "0025.5")},
        {"station field not doubled", ReadFrame("0012", "PV")},
        {"unknown register", ReadFrame("0011", "QQ")},
        {"write of an unknown register", WriteFrame("0011", "QQ", "000001")},
        {"read without ENQ", Hex("04 30 30 31 31 50 56 06")},
        {"bytes without EOT", Hex("30 30 31 31 50 56 05")},
    };
    for (const Case& c : cases) {
        line_->Send(c.request);
        EXPECT_EQ(ShowHex(line_->Read(1, 250)), "") << c.what;
    }
    // Noise and a frame cut short before a good request: the new EOT starts over.
    Bytes messy = Hex("41 42 04 30 30 31");
    messy.insert(messy.end(), kReadPv1.begin(), kReadPv1.end());
    EXPECT_EQ(ShowHex(line_->Ask(messy, 11)), ShowHex(kReplyPv255));
}

// ---- Faults at rate 1 ---------------------------------------------------------------------

bool IsControl(std::uint8_t b) {
    return b == 0x02 || b == 0x03 || b == 0x04 || b == 0x05 || b == 0x06 || b == 0x15;
}

TEST_F(Simulator, EachFaultAtRateOneShapesTheReplyAsNamed) {
    struct Case {
        const char* name;
        void (*check)(const std::vector<HostLine::Piece>& pieces, const Bytes& all);
    };
    const Case cases[] = {
        {"timeout", [](const auto&, const Bytes& all) { EXPECT_TRUE(all.empty()); }},
        {"bad-bcc",
         [](const auto&, const Bytes& all) {
             ASSERT_EQ(all.size(), 11u);
             EXPECT_TRUE(std::equal(all.begin(), all.end() - 1, kReplyPv255.begin()));
             EXPECT_NE(all.back(), kReplyPv255.back());
         }},
        {"split",
         [](const auto& pieces, const Bytes& all) {
             EXPECT_EQ(ShowHex(all), ShowHex(kReplyPv255));
             ASSERT_GE(pieces.size(), 2u);
             EXPECT_GE(pieces[0].bytes.size(), 2u);  // never a lone first byte
             bool pause = false;
             for (std::size_t i = 1; i < pieces.size(); ++i) {
                 pause = pause || pieces[i].at - pieces[i - 1].at >= std::chrono::milliseconds(75);
             }
             EXPECT_TRUE(pause) << "the pieces came without a pause";
         }},
        {"noise",
         [](const auto&, const Bytes& all) {
             ASSERT_GE(all.size(), 12u);
             ASSERT_LE(all.size(), 15u);
             EXPECT_TRUE(std::equal(kReplyPv255.begin(), kReplyPv255.end(), all.end() - 11));
             for (auto it = all.begin(); it != all.end() - 11; ++it) EXPECT_FALSE(IsControl(*it));
         }},
        {"nak", [](const auto&, const Bytes& all) { EXPECT_EQ(ShowHex(all), "15 "); }},
        {"non-numeric",
         [](const auto&, const Bytes& all) {
             ASSERT_EQ(all.size(), 11u);
             EXPECT_EQ(all[0], kStx);
             EXPECT_EQ(all[9], kEtx);
             std::uint8_t bcc = 0;
             for (int i = 1; i <= 9; ++i) bcc ^= all[static_cast<std::size_t>(i)];
             EXPECT_EQ(all[10], bcc) << "the frame itself stays sound";
             const std::string field(all.begin() + 3, all.begin() + 9);
             EXPECT_NE(field.find_first_not_of("0123456789.-"), std::string::npos) << field;
         }},
        {"lone-stx",
         [](const auto& pieces, const Bytes& all) {
             ASSERT_FALSE(pieces.empty());
             EXPECT_EQ(ShowHex(pieces[0].bytes), "02 ");
             ASSERT_EQ(all.size(), 12u);
             EXPECT_TRUE(std::equal(kReplyPv255.begin(), kReplyPv255.end(), all.begin() + 1));
             ASSERT_GE(pieces.size(), 2u);
             EXPECT_GE(pieces[1].at - pieces[0].at, std::chrono::milliseconds(75));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimProcess sim;
        ASSERT_TRUE(sim.Start({"--frozen", "--seed", "3", "--set", "1:PV=25.5", "--split-gap",
                               "150", "--fault", std::string(c.name) + "=1"}));
        HostLine line(sim.port());
        line.Send(kReadPv1);
        const auto pieces = line.Bursts(64, 600);
        Bytes all;
        for (const auto& piece : pieces)
            all.insert(all.end(), piece.bytes.begin(), piece.bytes.end());
        c.check(pieces, all);
        EXPECT_EQ(sim.Stop(), 0);
        EXPECT_NE(sim.Stderr().find("faults injected: 1 (" + std::string(c.name) + " 1)"),
                  std::string::npos)
            << sim.Stderr();
    }
}

TEST_F(Simulator, ScriptedFaultsComeFirstAndARefusedWriteIsNotStored) {
    Launch({"--frozen", "--station", "12:QM4720N", "--set", "12:SP=100", "--script",
            "nak,timeout,ok"});
    EXPECT_EQ(ShowHex(line_->Ask(kWriteSp12, 1)), "15 ");
    line_->Send(kWriteSp12);
    EXPECT_EQ(ShowHex(line_->Read(1, 250)), "");
    // Neither write was taken: SP still reads 100.
    EXPECT_EQ(FieldValue(line_->Ask(kReadSp12, 11)), 100.0);
    EXPECT_EQ(ShowHex(line_->Ask(kWriteSp12, 1)), "06 ");
    EXPECT_EQ(ShowHex(line_->Ask(kReadSp12, 11)), ShowHex(Hex("02 53 50 30 30 32 35 2E 35 03 1C")));
    const std::string counts = Finish();
    EXPECT_NE(counts.find("faults injected: 2 (timeout 1, nak 1)"), std::string::npos) << counts;
}

// ---- Repeatability and the process --------------------------------------------------------

// The answers to twenty reads under mixed fault rates, one letter per reply.
std::string FaultPattern(const std::string& seed) {
    SimProcess sim;
    EXPECT_TRUE(sim.Start({"--frozen", "--seed", seed, "--set", "1:PV=25.5", "--reply-delay", "0",
                           "--fault", "timeout=0.3,nak=0.3,bad-bcc=0.2"}));
    HostLine line(sim.port());
    std::string pattern;
    for (int i = 0; i < 20; ++i) {
        const Bytes reply = line.Ask(kReadPv1, 11, 400);
        if (reply.empty()) {
            pattern += 'T';
        } else if (reply == Hex("15")) {
            pattern += 'N';
        } else if (reply == kReplyPv255) {
            pattern += 'o';
        } else {
            pattern += 'B';
        }
    }
    sim.Stop();
    return pattern;
}

TEST(SimulatorSeed, TheSameSeedGivesTheSameFaultsAndAnotherSeedOthers) {
    const std::string first = FaultPattern("11");
    EXPECT_EQ(FaultPattern("11"), first);
    EXPECT_NE(FaultPattern("12"), first);
    for (const char kind : std::string("TNBo")) {
        EXPECT_NE(first.find(kind), std::string::npos) << kind << " never came in " << first;
    }
}

TEST_F(Simulator, FrozenValuesStayStill) {
    Launch({"--frozen", "--station", "1", "--set", "1:SP=150"});
    const Bytes first = line_->Ask(kReadPv1, 11);
    ASSERT_EQ(first.size(), 11u);
    line_->Read(1, 400);
    EXPECT_EQ(ShowHex(line_->Ask(kReadPv1, 11)), ShowHex(first));
    EXPECT_EQ(ShowHex(line_->Ask(ReadFrame("0011", "OP"), 11)),
              ShowHex(line_->Ask(ReadFrame("0011", "OP"), 11)));
}

TEST_F(Simulator, ProcessValueMovesTowardANewSetPoint) {
    Launch({"--seed", "1", "--station", "1"});
    const double before = FieldValue(line_->Ask(kReadPv1, 11));
    EXPECT_NEAR(before, 100.0, 1.0);  // at rest at its set point
    EXPECT_EQ(ShowHex(line_->Ask(WriteFrame("0011", "SP", "0150.0"), 1)), "06 ");
    line_->Read(1, 1200);
    const double after = FieldValue(line_->Ask(kReadPv1, 11));
    EXPECT_GT(after, before + 2.0);
    EXPECT_LT(after, 150.5);
    EXPECT_GT(FieldValue(line_->Ask(ReadFrame("0011", "OP"), 11)), 40.0);  // the output drives it
}

// The settings are the other end's (the driver's, or a device server's that was told them):
// each change is seen with the request that came at it, and the last is in the counts.
TEST_F(Simulator, ReportsTheLineSettingsTheOtherEndGaveItsTerminal) {
    Launch({"--frozen", "--set", "1:PV=25.5", "-v"});
    const std::pair<speed_t, bool> settings[] = {{B4800, true}, {B2400, false}};
    for (const auto& [speed, twoStopBits] : settings) {
        const int fd = open(sim_.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        termios tio{};
        ASSERT_EQ(tcgetattr(fd, &tio), 0);
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        tio.c_cflag = twoStopBits ? (tio.c_cflag | CSTOPB) : (tio.c_cflag & ~CSTOPB);
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
        close(fd);
        EXPECT_EQ(ShowHex(line_->Ask(kReadPv1, 11)), ShowHex(kReplyPv255));
    }
    const std::string said = Finish();
    const std::size_t first = said.find("the other end set the line to 4800,8N2");
    EXPECT_NE(first, std::string::npos) << said;
    EXPECT_NE(said.find("the other end set the line to 2400,8N1", first), std::string::npos)
        << said;
    EXPECT_NE(said.find("line settings: 2400,8N1"), std::string::npos) << said;
}

// ---- Wire timing --------------------------------------------------------------------------

TEST_F(Simulator, RepliesArePacedAtTheBaudRateAfterTheTurnaround) {
    Launch({"--frozen", "--station", "1", "--set", "1:PV=25.5", "--baud", "1200", "--reply-delay",
            "150"});
    line_->Send(kReadPv1);
    const auto pieces = line_->Collect(11, 2000);
    ASSERT_FALSE(pieces.empty());
    // 150 ms turnaround; then 11 characters of 10 bits at 1200 baud: about 92 ms.
    EXPECT_GE(pieces.front().at - line_->sentAt(), std::chrono::milliseconds(140));
    EXPECT_GE(pieces.back().at - pieces.front().at, std::chrono::milliseconds(70));
    Bytes all;
    for (const auto& piece : pieces) all.insert(all.end(), piece.bytes.begin(), piece.bytes.end());
    EXPECT_EQ(ShowHex(all), ShowHex(kReplyPv255));
}

// ---- Exit, trace, link, configuration, forwarding -----------------------------------------

TEST_F(Simulator, StopsCleanlyOnSignalsAndReportsItsCounts) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SimProcess sim;
        ASSERT_TRUE(sim.Start({"--frozen", "--station", "1", "--station", "12:QM4720N"}));
        HostLine line(sim.port());
        EXPECT_EQ(line.Ask(kReadPv1, 11).size(), 11u);
        EXPECT_EQ(line.Ask(kReadPv1, 11).size(), 11u);
        EXPECT_EQ(ShowHex(line.Ask(kWriteSp12, 1)), "06 ");
        EXPECT_EQ(ShowHex(line.Ask(WriteFrame("1122", "PV", "0001.0"), 1)), "15 ");
        line.Send(ReadFrame("0044", "PV"));
        line.Read(1, 200);
        EXPECT_EQ(sim.Stop(signal), 0) << signal;
        const std::string err = sim.Stderr();
        EXPECT_NE(err.find("requests: station 1: 2, station 12: 2, other stations: 1"),
                  std::string::npos)
            << err;
        EXPECT_NE(err.find("replies: 4 (data 2, ACK 1, NAK 1), no answer: 1"), std::string::npos)
            << err;
        EXPECT_NE(err.find("faults injected: 0"), std::string::npos) << err;
    }
}

TEST_F(Simulator, VerboseTracesBothDirectionsInHexAndText) {
    Launch({"-v", "--frozen", "--set", "1:PV=25.5"});
    EXPECT_EQ(line_->Ask(kReadPv1, 11).size(), 11u);
    const std::string err = Finish();
    EXPECT_NE(err.find("host>inst   8  04 30 30 31 31 50 56 05  |.0011PV.|"), std::string::npos)
        << err;
    EXPECT_NE(err.find("inst>host  11  02 50 56 30 30 32 35 2E 35 03 19  |.PV0025.5..|"),
              std::string::npos)
        << err;
    // Each trace line starts with a UTC time stamp.
    EXPECT_NE(err.find("Z host>inst"), std::string::npos) << err;
}

TEST_F(Simulator, LinkPointsAtThePortWhileRunningAndGoesAtExit) {
    const std::string link = "/tmp/qm4720sim-link-" + std::to_string(getpid());
    Launch({"--frozen", "--link", link});
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), sim_.port());
    HostLine viaLink(link);
    ASSERT_TRUE(viaLink.ok());
    EXPECT_EQ(viaLink.Ask(kReadPv1, 11).size(), 11u);
    Finish();
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0);
}

TEST_F(Simulator, ConfigFileSetsStationsValuesAndFaults) {
    const std::string path = "/tmp/qm4720sim-config-" + std::to_string(getpid()) + ".json";
    std::ofstream(path) << R"({"seed": 4, "stations": [
        {"station": 1, "values": {"PV": 25.5}},
        {"station": 12, "model": "qm4720n", "values": {"SP": 25.5}}],
        "faults": {"nak": 0}})";
    Launch({"--frozen", "--config", path});
    EXPECT_EQ(ShowHex(line_->Ask(kReadPv1, 11)), ShowHex(kReplyPv255));
    EXPECT_EQ(ShowHex(line_->Ask(kReadSp12, 11)), ShowHex(Hex("02 53 50 30 30 32 35 2E 35 03 1C")));
    // Station 12 has the QM4720N table.
    EXPECT_EQ(line_->Ask(ReadFrame("1122", "NP"), 11).size(), 11u);
    EXPECT_NE(Finish().find("seed 4"), std::string::npos);
    unlink(path.c_str());
}

// The hex bytes of every trace line in one direction, joined: a busy machine may cut one frame
// into several lines.
std::string TracedHex(const std::string& trace, const std::string& direction) {
    std::string hex;
    std::istringstream lines(trace);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t at = line.find(" " + direction + " ");
        const std::size_t end = line.find("  |");
        if (at == std::string::npos || end == std::string::npos) continue;
        // After the direction: the byte count, then the bytes.
        const std::size_t from = at + direction.size() + 2;
        std::istringstream words(line.substr(from, end - from));
        std::string word;
        words >> word;
        while (words >> word) hex += word + " ";
    }
    return hex;
}

TEST_F(Simulator, ForwardPassesBytesBothWaysAndTracesThem) {
    Launch({"--frozen", "--set", "1:PV=25.5"});
    SimProcess forward;
    ASSERT_TRUE(forward.Start({"--forward", sim_.port()})) << forward.Stderr();
    HostLine host(forward.port());
    EXPECT_EQ(ShowHex(host.Ask(kReadPv1, 11)), ShowHex(kReplyPv255));
    EXPECT_EQ(ShowHex(host.Ask(kWritePn1, 1)), "06 ");
    EXPECT_EQ(forward.Stop(), 0);
    const std::string trace = forward.Stderr();
    EXPECT_EQ(TracedHex(trace, "host>dev"), ShowHex(kReadPv1) + ShowHex(kWritePn1)) << trace;
    EXPECT_EQ(TracedHex(trace, "dev>host"), ShowHex(kReplyPv255) + "06 ") << trace;
    EXPECT_NE(trace.find("forwarded 24 bytes to the device, 12 bytes from it"), std::string::npos)
        << trace;
}

TEST(SimulatorDevice, ServesARealTerminalDeviceWithTheGivenLineSettings) {
    // A pseudo-terminal of the test's own stands in for the serial device: the simulator opens
    // and configures its slave side, the test talks on the master side.
    int master = -1;
    int slave = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--device", name, "--baud", "19200", "--parity", "even", "--data-bits",
                           "7", "--stop-bits", "2", "--frozen", "--set", "1:PV=25.5"}))
        << sim.Stderr();
    EXPECT_EQ(sim.port(), name);
    // A pseudo-terminal keeps 8 data bits and no parity whatever it is told (ApplyLineSettings
    // is checked for those below); the rate, the stop bits and raw mode show on it.
    termios tio{};
    ASSERT_EQ(tcgetattr(slave, &tio), 0);
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
    ASSERT_EQ(write(master, kReadPv1.data(), kReadPv1.size()), 8);
    Bytes reply;
    const auto deadline = simtest::Clock::now() + std::chrono::seconds(1);
    while (reply.size() < 11 && simtest::Clock::now() < deadline) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        std::uint8_t buffer[64];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0) reply.insert(reply.end(), buffer, buffer + n);
    }
    EXPECT_EQ(ShowHex(reply), ShowHex(kReplyPv255));
    EXPECT_EQ(sim.Stop(), 0);
    close(slave);
    close(master);
}

TEST(SimulatorDevice, LineSettingsBecomeTheTerminalFlags) {
    using host::Parity;
    struct Case {
        host::LineSettings settings;
        tcflag_t expected;  // of CSIZE | PARENB | PARODD | CMSPAR | CSTOPB
    };
    const Case cases[] = {
        {{9600, 8, Parity::kNone, 1}, CS8},
        {{9600, 7, Parity::kEven, 1}, CS7 | PARENB},
        {{9600, 7, Parity::kOdd, 2}, CS7 | PARENB | PARODD | CSTOPB},
        {{9600, 8, Parity::kMark, 1}, CS8 | PARENB | PARODD | CMSPAR},
        {{9600, 8, Parity::kSpace, 2}, CS8 | PARENB | CMSPAR | CSTOPB},
        {{1200, 5, Parity::kNone, 1}, CS5},
        {{115200, 6, Parity::kNone, 1}, CS6},
    };
    for (const Case& c : cases) {
        termios tio{};
        tio.c_cflag = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;  // all wrong at first
        tio.c_lflag = ICANON | ECHO | ISIG;
        ASSERT_TRUE(host::ApplyLineSettings(c.settings, tio)) << c.settings.baud;
        EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), c.expected)
            << c.settings.dataBits << host::ParityName(c.settings.parity) << c.settings.stopBits;
        EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
        // What the simulator reports of its terminal is read back from the same flags.
        host::LineSettings back{};
        ASSERT_TRUE(host::ReadLineSettings(tio, back));
        EXPECT_EQ(host::LineSettingsText(back), host::LineSettingsText(c.settings));
    }
    termios tio{};
    EXPECT_FALSE(host::ApplyLineSettings({9601, 8, Parity::kNone, 1}, tio));
}

// ---- Command line -------------------------------------------------------------------------

TEST(SimulatorCommandLine, ArgumentErrorsSayWhatWasExpectedAndExitTwo) {
    struct Case {
        std::vector<std::string> args;
        const char* expected;
    };
    const Case cases[] = {
        {{"--station", "100"}, "N in 0..99"},
        {{"--station", "1:QM4720X"}, "MODEL"},
        {{"--station", "1", "--station", "1"}, "given twice"},
        {{"--set", "9:SP=1"}, "station 9 is not simulated"},
        {{"--set", "1:QQ=1"}, "has no register QQ"},
        {{"--set", "1:SP"}, "STATION:REGISTER=NUMBER"},
        {{"--set", "1:PN=40000"}, "-32768..32767"},
        {{"--fault", "bogus=1"}, "NAME=RATE"},
        {{"--fault", "timeout=0.7", "--fault", "nak=0.7"}, "add up to more than 1"},
        {{"--fault", "timeout=2"}, "0..1"},
        {{"--script", "ok,sometimes"}, "--script expects"},
        {{"--config", "/nonexistent/sim.json"}, "cannot be read"},
        {{"--reply-delay", "-5"}, "--reply-delay"},
        {{"--parity", "sideways"}, "--parity"},
        {{"--device", "/dev/null", "--forward", "/dev/null"}, "excludes"},
    };
    for (const Case& c : cases) {
        SimProcess sim;
        EXPECT_FALSE(sim.Start(c.args)) << c.expected;
        EXPECT_EQ(sim.exitStatus(), 2) << c.expected;
        EXPECT_NE(sim.Stderr().find(c.expected), std::string::npos) << sim.Stderr();
    }
}

TEST(SimulatorCommandLine, HelpExplainsWithExamples) {
    SimProcess sim;
    EXPECT_FALSE(sim.Start({"--help"}));
    EXPECT_EQ(sim.exitStatus(), 0);
    for (const char* text :
         {"Examples:", "--station", "--fault", "lone-stx", "--forward", "PORT=", "Exit status"}) {
        EXPECT_NE(sim.Stdout().find(text), std::string::npos) << text;
    }
}

}  // namespace
