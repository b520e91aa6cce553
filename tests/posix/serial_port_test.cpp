// The serial port of the driver object against a real pseudo-terminal: the test plays the
// instrument on the master side. The cases that Windows runs too come from
// tests/host_cases/serial_port_cases.h; here are those that only Linux can show (the raw line
// and its settings, the exclusive open, stale handles, descriptors above 1024, a vanished line)
// and those that exercise only the shared code (the reply timeout, null arguments, refused
// frames, a full reply buffer).
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/kernel_termios.h"
#include "tests/host_cases/serial_port_cases.h"

namespace serial_port_cases {
namespace {

using testing_support::TestRequest;

// The instrument's end of a pseudo-terminal.
class PtyLine final : public Line {
public:
    PtyLine() {
        int slave = -1;
        char name[64] = {};
        if (openpty(&master_, &slave, name, nullptr, nullptr) == 0) {
            path_ = name;
            close(slave);  // the driver opens the port by its name
            fcntl(master_, F_SETFL, O_NONBLOCK);
        }
    }
    ~PtyLine() override {
        Finish();
        Hangup();
    }
    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

    std::string PortName() const override { return path_; }

    // The request is read off the line first: it must have gone out whole.
    void Give(Answer answer) override {
        EXPECT_EQ(Read(8), kReadPv);
        std::vector<Bytes> parts;
        std::chrono::milliseconds gap = kPoll * 3;
        switch (answer) {
            case Answer::kWhole:
                parts = {kReplyPv};
                break;
            case Answer::kSplit:
                parts = {Bytes(kReplyPv.begin(), kReplyPv.begin() + 4),
                         Bytes(kReplyPv.begin() + 4, kReplyPv.end())};
                break;
            case Answer::kLoneStxFirst:
                parts = {Bytes(kReplyPv.begin(), kReplyPv.begin() + 1),
                         Bytes(kReplyPv.begin() + 1, kReplyPv.end())};
                break;
            case Answer::kAck:
                // Bytes that follow two polls later must not be waited for.
                parts = {{kAck}, {0x30, 0x31}};
                gap = kPoll * 2;
                break;
            case Answer::kNothing:
                break;
        }
        answering_ = std::thread([this, parts, gap] {
            for (const Bytes& part : parts) {
                Write(part);
                std::this_thread::sleep_for(gap);
            }
        });
    }
    void Finish() override {
        if (answering_.joinable()) answering_.join();
    }
    void LeaveStaleReply(VER4720Ezo& object) override {
        Write(kReplyPv);
        ASSERT_TRUE(WaitQueued(object.m_hPort, static_cast<DWORD>(kReplyPv.size())));
    }

    void Write(const Bytes& bytes) const {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Collects `count` bytes, waiting up to one second for them.
    Bytes Read(std::size_t count) const {
        Bytes got;
        const auto end = Clock::now() + std::chrono::seconds(1);
        while (got.size() < count && Clock::now() < end) {
            pollfd ready{master_, POLLIN, 0};
            if (poll(&ready, 1, 50) <= 0) continue;
            std::uint8_t chunk[64];
            const ssize_t n = read(master_, chunk, std::min(sizeof chunk, count - got.size()));
            if (n > 0) got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }
    // The port's settings as the driver left them, seen from this side.
    platform::KernelTermios2 Settings() const {
        platform::KernelTermios2 settings{};
        EXPECT_EQ(ioctl(master_, platform::kGetTermios2, &settings), 0);
        return settings;
    }
    // XON/XOFF both ways and hardware handshake, as a port may have been left by its last user.
    void SetFlowControl() const {
        platform::KernelTermios2 settings = Settings();
        settings.c_cflag |= CRTSCTS;
        settings.c_iflag |= IXON | IXOFF;
        ASSERT_EQ(ioctl(master_, platform::kSetTermios2, &settings), 0);
    }
    void Hangup() {
        if (master_ != -1) close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    std::string path_;
    std::thread answering_;
};

PtyLine& PtyOf(const std::unique_ptr<Line>& line) {
    return static_cast<PtyLine&>(*line);
}

}  // namespace

std::unique_ptr<Line> MakeLine() {
    auto line = std::make_unique<PtyLine>();
    if (!line->ok()) return nullptr;
    return line;
}

namespace {

TEST_F(SerialPort, ReplyTimeoutBelowTenSelectsOneSecondEvenWhenTheOpenFails) {
    PtyLine& instrument = PtyOf(line_);
    const struct {
        std::int16_t replyTimeout;
        std::int32_t expected;
    } cases[] = {{9, 1000}, {10, 10}, {-5, 1000}, {0, 1000}, {3000, 3000}};
    for (const auto& c : cases) {
        EXPECT_EQ(Open(a_, SettingsFor(instrument.path(), 9600, 1, c.replyTimeout)), 1);
        EXPECT_EQ(a_->m_nTimeout, c.expected) << c.replyTimeout;
        EXPECT_EQ(a_->ClosePort(), 1);
        b_->m_nTimeout = 0;
        EXPECT_EQ(Open(b_, SettingsFor("/dev/no-such-port", 9600, 1, c.replyTimeout)), 0);
        EXPECT_EQ(b_->m_nTimeout, c.expected) << c.replyTimeout;
        EXPECT_EQ(b_->m_nError, contract::kErrorOpen);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    }
    b_->m_nError = contract::kErrorNone;
    EXPECT_EQ(Open(b_, SettingsFor("/dev/null")), 0);  // not a port
    EXPECT_EQ(b_->m_nError, contract::kErrorOpen);
    EXPECT_EQ(b_->m_hPort, INVALID_HANDLE_VALUE);
}

TEST_F(SerialPort, RateStopBitsAndFactorReachARawLineWhateverTheTerminalHeld) {
    PtyLine& instrument = PtyOf(line_);
    // The pty starts with the kernel's defaults for a new terminal (echo, line editing, XON/XOFF,
    // CR to LF); on top of them its last user left hardware handshake and XON/XOFF both ways.
    // A pty keeps rate and stop bits but forces 8 data bits and no parity; those two are
    // checked on the settings themselves (SerialSettings).
    instrument.SetFlowControl();
    const struct {
        std::int32_t baud;
        std::int16_t stopBits;  // only 2 selects two stop bits
        std::int32_t factor;
    } cases[] = {{300, 1, 32},  {600, 0, 16}, {1200, 3, 8}, {4800, 2, 2},
                 {5000, -2, 1}, {7000, 2, 1}, {9600, 1, 1}};
    for (const auto& c : cases) {
        a_->m_nBaudFactor = -7;
        ASSERT_EQ(Open(a_, SettingsFor(instrument.path(), c.baud, c.stopBits)), 1) << c.baud;
        EXPECT_EQ(a_->m_nBaudFactor, c.factor) << c.baud;
        const platform::KernelTermios2 seen = instrument.Settings();
        EXPECT_EQ(seen.c_ospeed, static_cast<speed_t>(c.baud));
        EXPECT_EQ((seen.c_cflag & CSTOPB) != 0, c.stopBits == 2) << c.stopBits;
        // Nothing of what the terminal held: no flow control, translation, echo or signals.
        EXPECT_EQ(seen.c_cflag & CRTSCTS, 0u) << c.baud;
        EXPECT_EQ(seen.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
        EXPECT_EQ(seen.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK |
                                  BRKINT | PARMRK),
                  0u)
            << c.baud;
        EXPECT_EQ(seen.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u) << c.baud;
        EXPECT_EQ(seen.c_oflag & OPOST, 0u) << c.baud;
        // And the port reports what a freshly opened Windows port does.
        DCB dcb{};
        ASSERT_TRUE(GetCommState(a_->m_hPort, &dcb));
        EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(c.baud));
        EXPECT_EQ(dcb.StopBits, c.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT);
        EXPECT_FALSE(dcb.fOutX || dcb.fInX || dcb.fOutxCtsFlow || dcb.fOutxDsrFlow || dcb.fParity);
        EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);
        EXPECT_EQ(a_->ClosePort(), 1);
        instrument.SetFlowControl();
    }
}

// A lone XOFF (0x13) from the line, noise or a byte of an earlier reply, must not stop our
// output: the next request goes out whole and at once.
TEST_F(SerialPort, ALoneXoffFromTheLineDoesNotStopTheNextRequest) {
    PtyLine& instrument = PtyOf(line_);
    ASSERT_EQ(Open(a_, SettingsFor(instrument.path())), 1);
    instrument.Write({0x13});
    ASSERT_TRUE(WaitQueued(a_->m_hPort, 1));
    EXPECT_EQ(Send(a_, kReadPv), 8);
    EXPECT_EQ(instrument.Read(8), kReadPv);
}

// Descriptor numbers are reused at once: a handle that outlived its port must reach neither the
// line nor the file that the host opens next under the same number, and closing it must not
// close them.
TEST_F(SerialPort, AStaleHandleReachesNeitherTheNextLineNorAFile) {
    PtyLine& instrument = PtyOf(line_);
    PtyLine second;
    ASSERT_TRUE(second.ok());
    char fileName[] = "/tmp/qm4720-stale-handle-XXXXXX";
    const int made = mkstemp(fileName);
    ASSERT_GE(made, 0);
    close(made);
    for (const bool aFile : {false, true}) {
        SCOPED_TRACE(aFile ? "a plain file" : "a second line");
        ASSERT_EQ(Open(a_, SettingsFor(instrument.path())), 1);
        HANDLE shared = a_->m_hPort;
        IDeviceDriverEx* exB = b_->DeviceDriverEx();
        ASSERT_EQ(exB->lpVtbl->SetPortHandle(exB, &shared), 1);
        ASSERT_EQ(a_->ClosePort(), 1);
        // The host opens something else and may well get the number that was just freed.
        const int other = aFile ? open(fileName, O_RDWR | O_CLOEXEC)
                                : open(second.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(other, 0);

        b_->m_nError = contract::kErrorNone;
        EXPECT_EQ(ReadPv(b_), 0);
        EXPECT_EQ(b_->m_nError, static_cast<std::int32_t>(ERROR_INVALID_HANDLE));
        std::array<std::uint8_t, 1024> buffer{};
        std::uint32_t length = 0;
        b_->m_nTimeout = 60;
        EXPECT_FALSE(b_->ChannelToPort().ReceiveFrame(buffer, length));
        EXPECT_EQ(b_->ClosePort(), 0);  // nothing of ours to close
        EXPECT_EQ(b_->m_hPort, shared);
        b_->m_hPort = INVALID_HANDLE_VALUE;

        // The other file is untouched and still open.
        if (aFile) {
            struct stat info {};
            ASSERT_EQ(fstat(other, &info), 0);
            EXPECT_EQ(info.st_size, 0);
        } else {
            EXPECT_TRUE(second.Read(1).empty());
        }
        EXPECT_NE(fcntl(other, F_GETFD), -1);
        EXPECT_EQ(write(other, "x", 1), 1);
        close(other);
    }
    unlink(fileName);
}

// The write deadline is the port's, whatever its descriptor's number: here above 1024, on a line
// whose output the instrument stopped with XOFF after the host asked for XON/XOFF.
TEST_F(SerialPort, APortAboveDescriptor1024KeepsItsWriteDeadline) {
    PtyLine& instrument = PtyOf(line_);
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit saved = limit;
    if (limit.rlim_cur < 1100) {
        limit.rlim_cur = std::max<rlim_t>(1100, std::min<rlim_t>(limit.rlim_max, 1100));
        limit.rlim_max = std::max(limit.rlim_max, limit.rlim_cur);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0) << "cannot allow 1100 descriptors";
    }
    std::vector<int> fillers;
    for (int fd = dup(0); fd >= 0 && fd < 1030; fd = dup(0)) fillers.push_back(fd);
    ASSERT_GE(fillers.size(), 1u);
    ASSERT_EQ(Open(a_, SettingsFor(instrument.path())), 1);
    for (const int fd : fillers) close(fd);

    DCB dcb{};
    ASSERT_TRUE(GetCommState(a_->m_hPort, &dcb));
    dcb.fOutX = 1;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    ASSERT_TRUE(SetCommState(a_->m_hPort, &dcb));
    // The line discipline takes the XOFF itself: nothing is queued to be seen, so give it time.
    instrument.Write({0x13});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    // 10 ms a byte: the eight bytes of a read request may take 80 ms, then the write ends.
    std::int32_t result = 0;
    Clock::duration elapsed{};
    std::thread caller([&] {
        TestRequest request(0, 1, 4, "PV");
        request.AddItem(kTypeFloat);
        IDeviceDriverEx* ex = a_->DeviceDriverEx();
        const auto start = Clock::now();
        result = ex->lpVtbl->ExecuteRequestEx(ex, &request.request());
        elapsed = Clock::now() - start;
    });
    // Should the write wait for ever, XON lets it go, so that the test ends all the same.
    for (int waited = 0; waited < 300 && elapsed == Clock::duration{}; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    instrument.Write({0x11});
    caller.join();
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(a_->m_nError, contract::kErrorTimeout);
    EXPECT_STREQ(a_->GetErrorText(), contract::MessageText(contract::kErrorTimeout));
    EXPECT_LT(elapsed, std::chrono::milliseconds(80) + kSlack);
}

TEST(SerialSettings, DataBitsAndParityCodesMapToTheLineSettings) {
    const struct {
        BYTE byteSize;
        BYTE parity;
        tcflag_t expected;  // CSIZE | PARENB | PARODD | CMSPAR bits
    } cases[] = {
        {8, 0, CS8},
        {7, 1, CS7 | PARENB | PARODD},
        {7, 2, CS7 | PARENB},
        {8, 3, CS8 | PARENB | CMSPAR | PARODD},
        {8, 4, CS8 | PARENB | CMSPAR},
        {5, 0, CS5},
        {6, 0, CS6},
    };
    for (const auto& c : cases) {
        DCB dcb{};
        dcb.BaudRate = 7000;
        dcb.ByteSize = c.byteSize;
        dcb.Parity = c.parity;
        platform::KernelTermios2 settings{};
        settings.c_cflag = CS8 | PARENB | PARODD | CMSPAR | CSTOPB;  // what must be replaced
        ASSERT_EQ(platform::ApplyDcb(dcb, settings), ERROR_SUCCESS);
        EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), c.expected)
            << int{c.byteSize} << "/" << int{c.parity};
    }
    const struct {
        BYTE byteSize;
        BYTE parity;
        BYTE stopBits;
    } refused[] = {{9, 0, 0}, {4, 0, 0}, {8, 5, 0}, {8, 0, ONE5STOPBITS}};
    for (const auto& r : refused) {
        DCB dcb{};
        dcb.BaudRate = 9600;
        dcb.ByteSize = r.byteSize;
        dcb.Parity = r.parity;
        dcb.StopBits = r.stopBits;
        platform::KernelTermios2 settings{};
        EXPECT_EQ(platform::ApplyDcb(dcb, settings), ERROR_INVALID_PARAMETER);
    }
}

TEST_F(SerialPort, SecondOpenFailsWhileTheFirstHandleKeepsWorking) {
    PtyLine& instrument = PtyOf(line_);
    ASSERT_EQ(Open(a_, SettingsFor(instrument.path())), 1);
    const HANDLE first = a_->m_hPort;
    EXPECT_EQ(Open(a_, SettingsFor(instrument.path())), 0);
    EXPECT_EQ(a_->m_nError, contract::kErrorOpen);
    EXPECT_EQ(a_->m_hPort, first);
    EXPECT_EQ(Open(b_, SettingsFor(instrument.path())), 0);
    SetLastError(0);
    EXPECT_EQ(CreateFileA(instrument.path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, HANDLE{}),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Send(a_, kReadPv), 8);
    EXPECT_EQ(instrument.Read(8), kReadPv);
}

TEST_F(SerialPort, NullArgumentsChangeNothing) {
    a_->m_nTimeout = 4321;
    IDeviceDriver* dd = a_->DeviceDriver();
    EXPECT_EQ(dd->lpVtbl->OpenPort(dd, 0, nullptr), 0);
    EXPECT_EQ(a_->m_nTimeout, 4321);
    EXPECT_EQ(a_->m_nError, contract::kErrorNone);
    IDeviceDriverEx* ex = a_->DeviceDriverEx();
    a_->m_hPort = 55;
    EXPECT_EQ(ex->lpVtbl->SetPortHandle(ex, nullptr), 0);
    EXPECT_EQ(ex->lpVtbl->GetPortHandle(ex, nullptr), 0);
    EXPECT_EQ(a_->m_hPort, 55);
    a_->m_hPort = INVALID_HANDLE_VALUE;
    EXPECT_EQ(a_->ClosePort(), 1);  // nothing to close
}

TEST_F(SerialPort, EmptyAndOverlongFramesAreRefusedWithoutTouchingThePort) {
    PtyLine& instrument = PtyOf(line_);
    ASSERT_EQ(Open(a_, SettingsFor(instrument.path())), 1);
    instrument.Write({0x30, 0x31});
    ASSERT_TRUE(WaitQueued(a_->m_hPort, 2));
    for (const Bytes& refused : {Bytes{}, Bytes(32, 0x30)}) {
        const protocol::SendResult sent = a_->ChannelToPort().SendFrame(refused);
        EXPECT_EQ(sent.written, -1) << refused.size();
        EXPECT_FALSE(sent.systemError.has_value()) << refused.size();
    }
    // The queued input was not purged, and nothing went out.
    EXPECT_TRUE(WaitQueued(a_->m_hPort, 2));
    EXPECT_TRUE(instrument.Read(1).empty());
    EXPECT_EQ(Send(a_, Bytes(31, 0x30)), 31);
    EXPECT_EQ(instrument.Read(31), Bytes(31, 0x30));
}

TEST_F(SerialPort, VanishedLineFailsInsteadOfHanging) {
    PtyLine& instrument = PtyOf(line_);
    ASSERT_EQ(Open(a_, SettingsFor(instrument.path(), 9600, 1, 200)), 1);
    instrument.Hangup();
    EXPECT_EQ(ReadPv(a_), 0);
    EXPECT_EQ(a_->m_nError, static_cast<std::int32_t>(ERROR_DEVICE_NOT_CONNECTED));
    std::array<std::uint8_t, 1024> buffer{};
    std::uint32_t length = 0xdeadbeef;
    const auto start = Clock::now();
    EXPECT_FALSE(a_->ChannelToPort().ReceiveFrame(buffer, length));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200) + kPoll + kSlack);
    EXPECT_EQ(length, 0xdeadbeef);
}

// The bytes that a terminal's defaults would swallow or change (XON, XOFF, CR, LF, DEL) arrive
// as they were sent.
TEST_P(Receiving, ControlBytesInTheReplyArriveUnchanged) {
    PtyLine& instrument = PtyOf(line_);
    const Bytes block = {0x02, 0x50, 0x56, 0x11, 0x13, 0x0D, 0x0A, 0x7F, 0x35, 0x03, 0x4A};
    EXPECT_EQ(Send(a_, kReadPv), 8);
    EXPECT_EQ(instrument.Read(8), kReadPv);
    instrument.Write(block);
    ASSERT_TRUE(a_->ChannelToPort().ReceiveFrame(buffer_, length_));
    EXPECT_EQ(Received(), block);
}

TEST_P(Receiving, FullBufferWithoutAnEndIsATimeoutAndStaysInTheBuffer) {
    PtyLine& instrument = PtyOf(line_);
    std::array<std::uint8_t, 1024 + 16> guarded{};
    guarded.fill(0xEE);
    EXPECT_EQ(Send(a_, kReadPv), 8);
    instrument.Write(Bytes(1100, 0x30));
    std::uint32_t length = 0xdeadbeef;
    EXPECT_FALSE(a_->ChannelToPort().ReceiveFrame(
        std::span<std::uint8_t, 1024>(guarded.data(), 1024), length));
    EXPECT_EQ(length, 0xdeadbeef);
    EXPECT_EQ(guarded[1023], 0x30);
    for (std::size_t i = 1024; i < guarded.size(); ++i) EXPECT_EQ(guarded[i], 0xEE) << i;
}

}  // namespace
}  // namespace serial_port_cases
