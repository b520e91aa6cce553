// The driver end to end, as the host uses it: the object is created by its class's creation
// function and called only through its two slot tables, with its port opened on the slave side of
// a pseudo-terminal. The test plays the instrument on the master side: it checks the exact bytes
// it hears and answers with chosen blocks, late, never, with NAK, a bad block check or noise.
// Bytes can take a few milliseconds to cross a pty on a busy machine, so nothing is expected to
// be visible at once, and upper bounds on time allow 50 ms of slack.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "contract/data_type.h"
#include "driver/identifiers.h"
#include "driver/ver4720ezo.h"
#include "platform/serial_calls.h"
#include "tests/support/test_request.h"

namespace {

using driver::VER4720Ezo;
using testing_support::TestRequest;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr auto kSlack = milliseconds(50);
constexpr auto kPoll = milliseconds(20);
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;
constexpr std::int32_t kEarlierError = 4;  // stands for the failure before the call
constexpr std::uint32_t kSentinel = 0xdeadbeef;

// Requests: read PV and EE at station 1; write SP and PV at station 12 with FLOAT 25.5.
const Bytes kReadPv = {0x04, 0x30, 0x30, 0x31, 0x31, 0x50, 0x56, 0x05};
const Bytes kReadEe = {0x04, 0x30, 0x30, 0x31, 0x31, 0x45, 0x45, 0x05};
const Bytes kWriteSp = {0x04, 0x31, 0x31, 0x32, 0x32, 0x02, 0x53, 0x50,
                        0x30, 0x30, 0x32, 0x35, 0x2E, 0x35, 0x03, 0x1C};
const Bytes kWritePv = {0x04, 0x31, 0x31, 0x32, 0x32, 0x02, 0x50, 0x56,
                        0x30, 0x30, 0x32, 0x35, 0x2E, 0x35, 0x03, 0x19};
// Data replies: mnemonic, six-character field, ETX, block check.
const Bytes kPv253 = {0x02, 0x50, 0x56, 0x30, 0x30, 0x32, 0x35, 0x2E, 0x33, 0x03, 0x1F};
const Bytes kPv255 = {0x02, 0x50, 0x56, 0x30, 0x30, 0x32, 0x35, 0x2E, 0x35, 0x03, 0x19};
const Bytes kPv35 = {0x02, 0x50, 0x56, 0x30, 0x30, 0x30, 0x33, 0x2E, 0x35, 0x03, 0x1D};
const Bytes kPv60 = {0x02, 0x50, 0x56, 0x30, 0x30, 0x30, 0x36, 0x2E, 0x30, 0x03, 0x1D};
const Bytes kPvMinus15 = {0x02, 0x50, 0x56, 0x2D, 0x30, 0x30, 0x31, 0x2E, 0x35, 0x03, 0x02};
const Bytes kPvBadBcc = {0x02, 0x50, 0x56, 0x30, 0x30, 0x32, 0x35, 0x2E, 0x35, 0x03, 0x18};
const Bytes kPvNotNumber = {0x02, 0x50, 0x56, 0x30, 0x30, 0x41, 0x35, 0x2E, 0x33, 0x03, 0x6C};
const Bytes kEe3 = {0x02, 0x45, 0x45, 0x30, 0x30, 0x30, 0x30, 0x30, 0x33, 0x03, 0x00};
const Bytes kEe9 = {0x02, 0x45, 0x45, 0x30, 0x30, 0x30, 0x30, 0x30, 0x39, 0x03, 0x0A};
// The messages, in GBK: timeout, wrong data received, port open error, value out of range.
const std::string kTimeoutText = "\xB3\xAC\xCA\xB1\xB4\xED\xCE\xF3!";
const std::string kReplyText = "\xBD\xD3\xCA\xD5\xB5\xBD\xB4\xED\xCE\xF3\xCA\xFD\xBE\xDD!";
const std::string kOpenText = "\xB4\xF2\xBF\xAA\xB4\xAE\xBF\xDA\xB4\xED\xCE\xF3!";
const std::string kRangeText = "\xCA\xFD\xBE\xDD\xB7\xB6\xCE\xA7\xB3\xAC!";

Bytes Join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The current time as a file time (100 ns units since 1601-01-01, UTC), from the C++ clock.
std::uint64_t FileTimeFromSystemClock() {
    const auto since1970 =
        std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>>(
            std::chrono::system_clock::now().time_since_epoch());
    return static_cast<std::uint64_t>(since1970.count()) + 116444736000000000ull;
}

std::uint64_t StampOf(const IoItem& item) {
    return (std::uint64_t{item.timestampHigh} << 32) | item.timestampLow;
}

// The instrument's end of the line. The slave side stays open here too, so that the master never
// reads a hang-up while the driver's port is closed.
class Line {
public:
    Line() {
        char name[64] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) {
            path_ = name;
            fcntl(master_, F_SETFL, O_NONBLOCK);
        }
    }
    ~Line() {
        if (master_ != -1) close(master_);
        if (slave_ != -1) close(slave_);
    }
    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

    // Up to `count` bytes, collected until they are all there or `wait` has passed.
    Bytes Read(std::size_t count, milliseconds wait) const {
        Bytes got;
        const auto end = Clock::now() + wait;
        while (got.size() < count && Clock::now() < end) {
            pollfd ready{master_, POLLIN, 0};
            if (poll(&ready, 1, 5) <= 0) continue;
            std::uint8_t chunk[64];
            const ssize_t n = read(master_, chunk, std::min(sizeof chunk, count - got.size()));
            if (n > 0) got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }
    void Write(const Bytes& bytes) const {
        EXPECT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// What the instrument does once it has heard a whole request.
struct Answer {
    std::optional<Bytes> bytes;  // nothing: it stays silent
    milliseconds delay{0};
};

enum class Entry { kBasic, kExtended };

class DriverEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(line_.ok());
        object_ = static_cast<VER4720Ezo*>(VER4720Ezo::CreateObject());
        ASSERT_NE(object_, nullptr);
        dd_ = object_->DeviceDriver();
        void* ex = nullptr;
        ASSERT_EQ(dd_->lpVtbl->QueryInterface(dd_, kIidDeviceDriverEx, &ex), S_OK);
        ex_ = static_cast<IDeviceDriverEx*>(ex);
    }
    void TearDown() override {
        if (object_ == nullptr) return;
        dd_->lpVtbl->ClosePort(dd_);
        if (ex_ != nullptr) ex_->lpVtbl->Release(ex_);
        dd_->lpVtbl->Release(dd_);
    }

    void Open(std::int32_t baud = 9600, std::int16_t replyTimeout = 300) {
        PortSettings settings{};
        std::strncpy(settings.portName, line_.path().c_str(), sizeof settings.portName - 1);
        settings.baudRate = baud;
        settings.dataBits = 8;
        settings.stopBits = 1;
        settings.replyTimeout = replyTimeout;
        ASSERT_EQ(dd_->lpVtbl->OpenPort(dd_, 0, &settings), 1);
    }
    std::int32_t Execute(Entry entry, TestRequest& request) {
        return entry == Entry::kBasic ? dd_->lpVtbl->ExecuteRequest(dd_, &request.request())
                                      : ex_->lpVtbl->ExecuteRequestEx(ex_, &request.request());
    }
    std::string ErrorText() { return dd_->lpVtbl->GetErrorText(dd_); }

    // Runs `call` while the instrument listens for a request of `length` bytes and answers it.
    // Leaves what the instrument heard in heard_ (with anything that came after the request) and
    // the duration of the call in elapsed_.
    template <typename Call>
    std::int32_t Exchange(std::size_t length, const Answer& answer, Call call) {
        Bytes heard;
        std::thread instrument([&] {
            heard = line_.Read(length, milliseconds(1000));
            if (heard.size() != length || !answer.bytes) return;
            std::this_thread::sleep_for(answer.delay);
            line_.Write(*answer.bytes);
        });
        const auto start = Clock::now();
        const std::int32_t result = call();
        elapsed_ = Clock::now() - start;
        instrument.join();
        heard_ = Join(heard, line_.Read(64, kPoll));
        return result;
    }
    std::int32_t Exchange(Entry entry, TestRequest& request, std::size_t length,
                          const Answer& answer) {
        return Exchange(length, answer, [&] { return Execute(entry, request); });
    }
    bool LineStaysQuiet() const { return line_.Read(1, milliseconds(100)).empty(); }

    Line line_;
    VER4720Ezo* object_ = nullptr;
    IDeviceDriver* dd_ = nullptr;
    IDeviceDriverEx* ex_ = nullptr;
    Bytes heard_;
    Clock::duration elapsed_{};
};

TEST_F(DriverEndToEnd, RoadOfOneReadByteForByte) {
    Open(9600, 1500);
    TestRequest read(kDirectionRead, 1, 4, "PV");
    IoItem& item = read.AddItem(kTypeFloat);
    const std::uint64_t before = FileTimeFromSystemClock();
    EXPECT_EQ(Exchange(Entry::kExtended, read, 8, {kPv253}), 1);
    const std::uint64_t after = FileTimeFromSystemClock();
    EXPECT_EQ(heard_, kReadPv);
    EXPECT_EQ(item.value.asFloat, 25.3f);
    EXPECT_EQ(static_cast<std::uint32_t>(item.readValue.asBit), kSentinel);
    EXPECT_EQ(item.quality, 192);
    EXPECT_GE(StampOf(item) + 10000, before);  // 1 ms for a coarser clock
    EXPECT_LE(StampOf(item), after + 10000);
    EXPECT_EQ(object_->m_nError, contract::kErrorNone);
    EXPECT_GE(elapsed_, milliseconds(30));
}

// Reads of PV at station 1 through each entry point and model, with the items BIT, INT, FLOAT
// and STRING: which field takes the value, which types are decoded, what is stamped, and the
// 0.0..6.0 judgement of the basic default read (on the FLOAT, the value stored last).
TEST_F(DriverEndToEnd, ReadVariantsColumnByColumn) {
    Open();
    const struct {
        const char* what;
        Entry entry;
        const char* model;
        const Bytes& reply;
        float number;
        std::int32_t result;
        bool intoReadValue, bitDecoded, stamped;
    } cases[] = {
        {"basic default 3.5", Entry::kBasic, "", kPv35, 3.5f, 1, true, true, false},
        {"basic default 6.0", Entry::kBasic, "", kPv60, 6.0f, 1, true, true, false},
        {"basic default 25.5", Entry::kBasic, "", kPv255, 25.5f, 0, true, true, false},
        {"basic default -1.5", Entry::kBasic, "", kPvMinus15, -1.5f, 0, true, true, false},
        {"basic qm4720n 25.5", Entry::kBasic, "qm4720N", kPv255, 25.5f, 1, false, false, false},
        {"extended default 25.5", Entry::kExtended, "x", kPv255, 25.5f, 1, false, true, true},
        {"extended default -1.5", Entry::kExtended, "", kPvMinus15, -1.5f, 1, false, true, true},
        {"extended QM4720N 25.5", Entry::kExtended, "QM4720N", kPv255, 25.5f, 1, false, false,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestRequest read(kDirectionRead, 1, 4, "PV", c.model);
        IoItem& bit = read.AddItem(kTypeBit);
        IoItem& integer = read.AddItem(kTypeInt);
        IoItem& real = read.AddItem(kTypeFloat);
        IoItem& text = read.AddItem(kTypeString);
        object_->m_nError = kEarlierError;
        EXPECT_EQ(Exchange(c.entry, read, 8, {c.reply}), c.result);
        EXPECT_EQ(heard_, kReadPv);
        EXPECT_EQ(object_->m_nError, kEarlierError);
        const auto slot = [&](IoItem& item) -> ValueSlot& {
            return c.intoReadValue ? item.readValue : item.value;
        };
        const auto other = [&](IoItem& item) -> ValueSlot& {
            return c.intoReadValue ? item.value : item.readValue;
        };
        EXPECT_EQ(slot(real).asFloat, c.number);
        // INT takes the low two bytes; the upper two keep what they held.
        EXPECT_EQ(slot(integer).asInt, static_cast<std::int16_t>(std::trunc(c.number)));
        EXPECT_EQ(static_cast<std::uint32_t>(slot(integer).asBit) >> 16, kSentinel >> 16);
        if (c.bitDecoded) {
            EXPECT_TRUE(slot(bit).asBit == 0 || slot(bit).asBit == 1) << slot(bit).asBit;
        } else {
            EXPECT_EQ(static_cast<std::uint32_t>(slot(bit).asBit), kSentinel);
        }
        for (IoItem* item : {&bit, &integer, &real, &text}) {
            EXPECT_EQ(static_cast<std::uint32_t>(other(*item).asBit), kSentinel);
            EXPECT_EQ(item->quality, c.stamped ? 192 : TestRequest::kQualitySentinel);
            EXPECT_EQ(item->timestampLow != kSentinel, c.stamped);
        }
        EXPECT_EQ(static_cast<std::uint32_t>(slot(text).asBit), kSentinel);
    }
}

// A write of SP (FLOAT 25.5, station 12) reaches the instrument through every variant; only the
// basic default entry point never reports it done. A refusal leaves the last error as it was.
TEST_F(DriverEndToEnd, WriteVariantsJudgeTheReplyByItsLastByte) {
    Open();
    const struct {
        Entry entry;
        const char* model;
        bool reportsAck;
    } variants[] = {{Entry::kBasic, "", false},
                    {Entry::kBasic, "QM4720N", true},
                    {Entry::kExtended, "", true},
                    {Entry::kExtended, "qm4720n", true}};
    for (const auto& v : variants) {
        for (const Bytes& reply : {Bytes{kAck}, Bytes{kNak}, Bytes{0x30}}) {
            SCOPED_TRACE(::testing::Message() << "entry " << static_cast<int>(v.entry) << " model '"
                                              << v.model << "' reply ends " << int{reply.back()});
            TestRequest write(kDirectionWrite, 12, 13, "SP", v.model);
            IoItem& item = write.AddFloat(25.5f);
            object_->m_nError = kEarlierError;
            EXPECT_EQ(Exchange(v.entry, write, kWriteSp.size(), {reply}),
                      v.reportsAck && reply.back() == kAck ? 1 : 0);
            EXPECT_EQ(heard_, kWriteSp);
            EXPECT_EQ(object_->m_nError, kEarlierError);
            EXPECT_EQ(item.quality, TestRequest::kQualitySentinel);
        }
    }
}

// "CommErr" and writes to the live-value registers (indices 0..12) are answered without asking
// the instrument, except by the basic entry point on the default model, which sends them all.
// Only the exact text "CommErr" is the pseudo-register.
TEST_F(DriverEndToEnd, ShortcutsPutNothingOnTheLine) {
    Open();
    const struct {
        Entry entry;
        const char* model;
    } shortcutting[] = {
        {Entry::kBasic, "QM4720N"}, {Entry::kExtended, ""}, {Entry::kExtended, "QM4720N"}};
    for (const auto& v : shortcutting) {
        TestRequest commErrRead(kDirectionRead, 1, 4, "CommErr", v.model);
        TestRequest commErrWrite(kDirectionWrite, 1, 13, "CommErr", v.model);
        TestRequest writePv(kDirectionWrite, 12, 4, "PV", v.model);
        TestRequest writeAs(kDirectionWrite, 12, 12, "AS", v.model);
        for (TestRequest* request : {&commErrRead, &commErrWrite, &writePv, &writeAs}) {
            SCOPED_TRACE(::testing::Message()
                         << "model '" << v.model << "' register " << (*request)->registerText);
            IoItem& item = request->AddFloat(25.5f);
            object_->m_nError = kEarlierError;
            EXPECT_EQ(Execute(v.entry, *request), 1);
            EXPECT_TRUE(LineStaysQuiet());
            EXPECT_EQ(object_->m_nError, kEarlierError);
            EXPECT_EQ(static_cast<std::uint32_t>(item.readValue.asBit), kSentinel);
            EXPECT_EQ(item.quality, TestRequest::kQualitySentinel);
        }
    }
    TestRequest commErr(kDirectionRead, 1, 4, "CommErr");
    commErr.AddFloat(0.0f);
    EXPECT_EQ(Exchange(Entry::kBasic, commErr, 8, {kPv35}), 1);
    EXPECT_EQ(heard_, kReadPv);
    TestRequest writePv(kDirectionWrite, 12, 4, "PV");
    writePv.AddFloat(25.5f);
    EXPECT_EQ(Exchange(Entry::kBasic, writePv, kWritePv.size(), {Bytes{kAck}}), 0);
    EXPECT_EQ(heard_, kWritePv);
    for (const char* text : {"commErr", "CommErrX", "CommEr"}) {
        TestRequest near(kDirectionRead, 1, 4, text);
        near.AddFloat(0.0f);
        EXPECT_EQ(Exchange(Entry::kExtended, near, 8, {kPv255}), 1) << text;
        EXPECT_EQ(heard_, kReadPv) << text;
    }
}

// The reply is collected no earlier than 30 ms per unit of the baud factor after sending, even
// when the instrument answers at once; a late answer within the timeout is still taken.
TEST_F(DriverEndToEnd, ReplyIsCollectedAfterThePauseForTheBaudRate) {
    const struct {
        std::int32_t baud;
        milliseconds answerDelay;
        milliseconds earliest;
    } cases[] = {{9600, milliseconds(0), milliseconds(30)},
                 {4800, milliseconds(0), milliseconds(60)},
                 {2400, milliseconds(0), milliseconds(120)},
                 {4800, milliseconds(150), milliseconds(150)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.baud << " baud, answer after " << c.answerDelay.count() << " ms");
        Open(c.baud, 400);
        TestRequest read(kDirectionRead, 1, 4, "PV");
        IoItem& item = read.AddItem(kTypeFloat);
        EXPECT_EQ(Exchange(Entry::kExtended, read, 8, {kPv255, c.answerDelay}), 1);
        EXPECT_EQ(heard_, kReadPv);
        EXPECT_EQ(item.value.asFloat, 25.5f);
        EXPECT_GE(elapsed_, c.earliest);
        EXPECT_LT(elapsed_, c.earliest + kPoll + kSlack);
        ASSERT_EQ(dd_->lpVtbl->ClosePort(dd_), 1);
    }
}

// No answer: 0 with the timeout error after the pause and the reply timeout. A success after it
// leaves the text of that failure in place.
TEST_F(DriverEndToEnd, SilenceTimesOutAndItsTextOutlivesTheNextSuccess) {
    Open(9600, 400);
    TestRequest read(kDirectionRead, 1, 4, "PV");
    IoItem& item = read.AddItem(kTypeFloat);
    EXPECT_EQ(Exchange(Entry::kExtended, read, 8, {}), 0);
    EXPECT_EQ(heard_, kReadPv);
    EXPECT_GE(elapsed_, milliseconds(30 + 400));
    EXPECT_LT(elapsed_, milliseconds(30 + 400) + kPoll + kSlack);
    EXPECT_EQ(object_->m_nError, contract::kErrorTimeout);
    EXPECT_EQ(ErrorText(), kTimeoutText);
    EXPECT_EQ(item.quality, TestRequest::kQualitySentinel);

    EXPECT_EQ(Exchange(Entry::kExtended, read, 8, {kPv255}), 1);
    EXPECT_EQ(item.value.asFloat, 25.5f);
    EXPECT_EQ(ErrorText(), kTimeoutText);
}

// Replies the validator must judge: leading noise is ignored; a lone NAK, a wrong block check and
// a field that is not a number are wrong data, and then no item is written or stamped.
TEST_F(DriverEndToEnd, ReadRepliesAreJudgedOnTheirLastElevenBytes) {
    Open();
    const struct {
        const char* what;
        Bytes reply;
        bool accepted;
    } cases[] = {
        {"noise before the frame", Join({0x30, 0x7F, 0x31, 0x06}, kPv255), true},
        {"lone NAK", {kNak}, false},
        {"wrong block check", kPvBadBcc, false},
        {"field not a number", kPvNotNumber, false},
    };
    for (const Entry entry : {Entry::kBasic, Entry::kExtended}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(::testing::Message() << c.what << ", entry " << static_cast<int>(entry));
            TestRequest read(kDirectionRead, 1, 4, "PV", entry == Entry::kBasic ? "QM4720N" : "");
            IoItem& item = read.AddItem(kTypeFloat);
            object_->m_nError = kEarlierError;
            EXPECT_EQ(Exchange(entry, read, 8, {c.reply}), c.accepted ? 1 : 0);
            EXPECT_EQ(heard_, kReadPv);
            if (c.accepted) {
                EXPECT_EQ(item.value.asFloat, 25.5f);
                EXPECT_EQ(object_->m_nError, kEarlierError);
                continue;
            }
            EXPECT_EQ(object_->m_nError, contract::kErrorReply);
            EXPECT_EQ(ErrorText(), kReplyText);
            EXPECT_EQ(static_cast<std::uint32_t>(item.value.asBit), kSentinel);
            EXPECT_EQ(item.quality, TestRequest::kQualitySentinel);
            EXPECT_EQ(item.timestampLow, kSentinel);
        }
    }
}

// The probe reads EE at the station: the default model passes when the field, as INT, lies in
// 0..6; QM4720N passes on any accepted block that answers EE.
TEST_F(DriverEndToEnd, ProbeDeviceWithBothModels) {
    Open();
    const struct {
        const char* model;
        std::optional<Bytes> reply;
        std::int32_t result;
        std::int32_t error;
    } cases[] = {
        {"", kEe3, 1, kEarlierError},
        {"", kEe9, 0, kEarlierError},
        {"", std::nullopt, 0, contract::kErrorTimeout},
        {"", kPvBadBcc, 0, contract::kErrorReply},
        {"QM4720N", kEe9, 1, kEarlierError},
        {"QM4720N", kPv255, 0, contract::kErrorReply},  // the answer of another register
        {"QM4720N", std::nullopt, 0, contract::kErrorTimeout},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "model '" << c.model << "' case " << (&c - cases));
        object_->m_nError = kEarlierError;
        EXPECT_EQ(
            Exchange(8, {c.reply}, [&] { return dd_->lpVtbl->ProbeDevice(dd_, c.model, 1, 77); }),
            c.result);
        EXPECT_EQ(heard_, kReadEe);
        EXPECT_EQ(object_->m_nError, c.error);
    }
}

// Replies whose block check is a byte that a terminal's defaults take for flow control or a line
// end (XON 0x11, XOFF 0x13, CR 0x0D, LF 0x0A) are read exactly, on a line that the kernel set up
// as a login terminal.
TEST_F(DriverEndToEnd, BlockChecksThatLookLikeControlBytesReadExactly) {
    Open();
    const struct {
        Bytes reply;
        float value;
    } cases[] = {
        {{0x02, 0x50, 0x56, 0x30, 0x30, 0x30, 0x30, 0x2E, 0x38, 0x03, 0x13}, 0.8f},
        {{0x02, 0x50, 0x56, 0x30, 0x30, 0x30, 0x32, 0x2E, 0x38, 0x03, 0x11}, 2.8f},
        {{0x02, 0x50, 0x56, 0x30, 0x30, 0x30, 0x30, 0x30, 0x38, 0x03, 0x0D}, 8.0f},
        {{0x02, 0x50, 0x56, 0x30, 0x30, 0x30, 0x30, 0x36, 0x39, 0x03, 0x0A}, 69.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "block check 0x" << std::hex << int{c.reply.back()});
        TestRequest read(kDirectionRead, 1, 4, "PV");
        IoItem& item = read.AddItem(kTypeFloat);
        EXPECT_EQ(Exchange(Entry::kExtended, read, 8, {c.reply}), 1);
        EXPECT_EQ(item.value.asFloat, c.value);
        EXPECT_EQ(item.quality, 192);
    }
}

// A data reply names its register. One that names another (an answer that came too late for an
// earlier request and arrived during this one) is wrong data for this request: nothing is
// written or stamped, on either model and through either entry point.
TEST_F(DriverEndToEnd, AReplyForAnotherRegisterIsNeverStoredAsThisOnes) {
    Open();
    const Bytes kSv35 = {0x02, 0x53, 0x56, 0x30, 0x30, 0x30, 0x33, 0x2E, 0x35, 0x03, 0x1E};
    for (const char* model : {"", "QM4720N"}) {
        for (const Entry entry : {Entry::kBasic, Entry::kExtended}) {
            SCOPED_TRACE(::testing::Message() << "model '" << model << "' entry "
                                              << (entry == Entry::kBasic ? "basic" : "extended"));
            TestRequest read(kDirectionRead, 1, 4, "PV", model);
            const IoItem& item = read.AddItem(kTypeFloat);
            object_->m_nError = kEarlierError;
            EXPECT_EQ(Exchange(entry, read, 8, {kSv35}), 0);
            EXPECT_EQ(object_->m_nError, contract::kErrorReply);
            EXPECT_EQ(ErrorText(), kReplyText);
            EXPECT_EQ(item.value.asBit, TestRequest::kSentinel);
            EXPECT_EQ(item.readValue.asBit, TestRequest::kSentinel);
            EXPECT_EQ(item.quality, TestRequest::kQualitySentinel);
            EXPECT_EQ(item.timestampLow, static_cast<std::uint32_t>(TestRequest::kSentinel));
            // The right register's answer reads as before.
            EXPECT_EQ(Exchange(entry, read, 8, {kPv35}), 1);
        }
    }
}

// Writes that never reach the line: on a closed port the platform's code is recorded and read
// back as the open error; a FLOAT that cannot be put into six characters is refused as out of
// range before anything is sent.
TEST_F(DriverEndToEnd, WritesThatCannotBeSent) {
    Open();
    ASSERT_EQ(dd_->lpVtbl->ClosePort(dd_), 1);
    TestRequest write(kDirectionWrite, 12, 13, "SP");
    write.AddFloat(25.5f);
    EXPECT_EQ(Execute(Entry::kExtended, write), 0);
    EXPECT_EQ(object_->m_nError, static_cast<std::int32_t>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(ErrorText(), kOpenText);
    EXPECT_TRUE(LineStaysQuiet());

    Open();
    for (const char* model : {"", "QM4720N"}) {
        for (const float value : {1234567.0f, -99999.5f, std::numeric_limits<float>::quiet_NaN()}) {
            SCOPED_TRACE(::testing::Message() << "model '" << model << "' value " << value);
            TestRequest wide(kDirectionWrite, 12, 13, "SP", model);
            wide.AddFloat(value);
            object_->m_nError = kEarlierError;
            EXPECT_EQ(Execute(Entry::kExtended, wide), 0);
            EXPECT_EQ(object_->m_nError, contract::kErrorValueRange);
            EXPECT_EQ(ErrorText(), kRangeText);
            EXPECT_TRUE(LineStaysQuiet());
        }
    }
}

}  // namespace
