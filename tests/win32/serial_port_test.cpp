// The serial port of the driver object through the real Windows calls, under Wine, on COM5 of the
// build's prefix. COM5 leads to a pseudo-terminal whose other end is the instrument of run-test;
// after each send the test names the answer it wants in a file that the instrument watches
// (see run-test for why the frame itself cannot tell it). The cases themselves are shared with
// the Linux suite (tests/host_cases/serial_port_cases.h); here are the line and the cases that
// only this system's calls can show.
//
// Cases that Wine cannot show, and are covered by the Linux suite instead:
// - the exclusive open: Wine lets a second CreateFileA of the same port succeed;
// - a non-standard rate on the line: Wine accepts any rate but sets 38400 for one the terminal
//   interface has no code for;
// - data bits and parity on the line: a pseudo-terminal forces 8 data bits and no parity;
// - a vanished line: closing the pseudo-terminal hangs up the Wine server, which holds it as its
//   controlling terminal.
// Cases that exercise only the shared code (the reply timeout, null arguments, refused frames, a
// full reply buffer) run in the Linux suite alone.
#include <cstdio>
#include <cstdlib>

#include "tests/host_cases/serial_port_cases.h"

namespace serial_port_cases {
namespace {

constexpr char kPort[] = "COM5";

// Asks the instrument for the answer named `mnemonic` (see run-test).
void Ask(const char* mnemonic) {
    const char* folder = std::getenv("QM_INSTRUMENT_DIR");
    ASSERT_NE(folder, nullptr) << "run through run-test";
    // Written whole under another name, then renamed, so the instrument never reads half.
    const std::string path = folder;
    const std::string staged = "Z:" + path + "/request.new";
    const std::string request = "Z:" + path + "/request";
    std::FILE* file = std::fopen(staged.c_str(), "wb");
    ASSERT_NE(file, nullptr) << staged;
    std::fputs(mnemonic, file);
    std::fclose(file);
    ASSERT_TRUE(MoveFileA(staged.c_str(), request.c_str())) << GetLastError();
}

// COM5, wired to the instrument by run-test. The instrument answers on its own thread, so there
// is nothing to wait for once it has been asked.
class Com5Line final : public Line {
public:
    std::string PortName() const override { return kPort; }

    void Give(Answer answer) override {
        switch (answer) {
            case Answer::kWhole:
                Ask("PV");
                break;
            case Answer::kSplit:
                Ask("P4");
                break;
            case Answer::kLoneStxFirst:
                Ask("P1");
                break;
            case Answer::kAck:
                Ask("AK");
                break;
            case Answer::kNothing:
                Ask("NO");
                break;
        }
    }
    void Finish() override {}

    // The instrument's late answer: the reply, and the same reply again 150 ms later.
    void LeaveStaleReply(VER4720Ezo& object) override {
        driver::PortChannel channel = object.ChannelToPort();
        ASSERT_EQ(channel.SendFrame(kReadPv).written, 8);
        Ask("LT");
        std::array<std::uint8_t, 1024> buffer{};
        std::uint32_t length = 0;
        ASSERT_TRUE(channel.ReceiveFrame(buffer, length));
        ASSERT_EQ(Bytes(buffer.begin(), buffer.begin() + length), kReplyPv);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        COMSTAT status{};
        DWORD errors = 0;
        ASSERT_TRUE(ClearCommError(object.m_hPort, &errors, &status));
        ASSERT_EQ(status.cbInQue, kReplyPv.size());
    }
};

}  // namespace

std::unique_ptr<Line> MakeLine() {
    return std::make_unique<Com5Line>();
}

namespace {

TEST_F(SerialPort, RateFactorsAndStopBits) {
    const struct {
        std::int32_t baud;
        std::int16_t stopBits;
        std::int32_t factor;
        BYTE stopBitsCode;
    } cases[] = {{300, 1, 32, ONESTOPBIT},
                 {2400, 2, 4, TWOSTOPBITS},
                 {7000, 0, 1, ONESTOPBIT},
                 {9600, 3, 1, ONESTOPBIT}};
    for (const auto& c : cases) {
        ASSERT_EQ(Open(a_, SettingsFor(kPort, c.baud, c.stopBits)), 1)
            << "COM5 is wired to the instrument by run-test";
        EXPECT_EQ(a_->m_nBaudFactor, c.factor) << c.baud;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        ASSERT_TRUE(GetCommState(a_->m_hPort, &dcb));
        EXPECT_EQ(dcb.StopBits, c.stopBitsCode) << c.stopBits;
        if (c.baud != 7000) {
            EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(c.baud));
        }
        EXPECT_EQ(a_->ClosePort(), 1);
    }
}

}  // namespace
}  // namespace serial_port_cases
