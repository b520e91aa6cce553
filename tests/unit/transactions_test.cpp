// The transactions against a scripted channel that records every frame sent and every pause, and
// answers with chosen blocks or silence; each transaction's outcome is checked for its reason.
// Grouped by what each test proves: the variants column by column, the shortcuts, the failures and
// their errors, the probe.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "contract/data_type.h"
#include "contract/messages.h"
#include "driver/ver4720ezo.h"
#include "protocol/transactions.h"
#include "tests/support/test_request.h"

namespace {

using protocol::Failure;
using testing_support::TestRequest;
using Bytes = std::vector<std::uint8_t>;

constexpr std::int32_t kSentinel = TestRequest::kSentinel;

class ScriptedChannel : public protocol::Channel {
public:
    std::vector<Bytes> sent;
    std::vector<std::uint32_t> pauses;
    std::deque<std::optional<Bytes>> replies;  // nullopt: nothing comes before the deadline
    std::int32_t baudFactor = 1;
    std::optional<std::int32_t> sendResult;  // what SendFrame returns; the frame length if unset
    std::optional<std::uint32_t> sendError;  // the system's code of a failed write
    int receives = 0;
    std::vector<std::uint32_t> lateAnswers;  // the pause of each exchange told its answer may come
    std::uint64_t now = 0x01DB2345'6789ABCDull;  // the file time the channel gives
    // The outcome of the last transaction run through Execute.
    Failure failure = Failure::kNone;
    std::uint32_t systemError = 0;

    void Answer(Bytes block) { replies.emplace_back(std::move(block)); }
    void Silence() { replies.emplace_back(std::nullopt); }

    protocol::SendResult SendFrame(std::span<const std::uint8_t> frame) override {
        sent.emplace_back(frame.begin(), frame.end());
        if (sendResult) return {*sendResult, sendError};
        return {static_cast<std::int32_t>(frame.size()), std::nullopt};
    }
    bool ReceiveFrame(std::span<std::uint8_t, protocol::kReplyBufferSize> buffer,
                      std::uint32_t& length) override {
        ++receives;
        if (replies.empty() || !replies.front()) {
            if (!replies.empty()) replies.pop_front();
            return false;
        }
        const Bytes block = *replies.front();
        replies.pop_front();
        std::memcpy(buffer.data(), block.data(), block.size());
        length = static_cast<std::uint32_t>(block.size());
        return true;
    }
    void ExpectLateAnswer(std::uint32_t pauseMs) override { lateAnswers.push_back(pauseMs); }
    std::int32_t BaudFactor() const override { return baudFactor; }
    void Pause(std::uint32_t milliseconds) override { pauses.push_back(milliseconds); }
    std::uint64_t Now() const override { return now; }
};

// A data reply with the given two-character mnemonic and six-character field, its block check
// being the XOR of the nine bytes from the mnemonic through ETX, worked out here on its own.
Bytes DataReply(const char* mnemonic, const char* field) {
    Bytes block = {0x02, static_cast<std::uint8_t>(mnemonic[0]),
                   static_cast<std::uint8_t>(mnemonic[1])};
    for (int i = 0; i < 6; ++i) block.push_back(static_cast<std::uint8_t>(field[i]));
    block.push_back(0x03);
    std::uint8_t bcc = 0;
    for (std::size_t i = 1; i < block.size(); ++i) bcc ^= block[i];
    block.push_back(bcc);
    return block;
}

const Bytes kAck = {0x06};
const Bytes kNak = {0x15};
const Bytes kReadPvStation1 = {0x04, 0x30, 0x30, 0x31, 0x31, 0x50, 0x56, 0x05};
const Bytes kReadEeStation1 = {0x04, 0x30, 0x30, 0x31, 0x31, 0x45, 0x45, 0x05};
// Write, station 12, SP, FLOAT 25.5.
const Bytes kWriteSp255 = {0x04, 0x31, 0x31, 0x32, 0x32, 0x02, 0x53, 0x50,
                           0x30, 0x30, 0x32, 0x35, 0x2E, 0x35, 0x03, 0x1C};

constexpr std::int16_t kPv = 4;
constexpr std::int16_t kAs = 12;
constexpr std::int16_t kSp = 13;

enum class Entry { kBasic, kExtended };

// Runs the entry point; the outcome's reason stays on the channel for the checks.
std::int32_t Execute(Entry entry, ScriptedChannel& channel, TestRequest& request) {
    const protocol::Outcome outcome = entry == Entry::kBasic
                                          ? protocol::ExecuteRequest(channel, &request.request())
                                          : protocol::ExecuteRequestEx(channel, &request.request());
    channel.failure = outcome.failure;
    channel.systemError = outcome.systemError;
    return outcome.result;
}

std::uint64_t StampOf(const IoItem& item) {
    return (static_cast<std::uint64_t>(item.timestampHigh) << 32) | item.timestampLow;
}

void ExpectUntouched(const IoItem& item, const char* what) {
    EXPECT_EQ(item.value.asBit, kSentinel) << what;
    EXPECT_EQ(item.readValue.asBit, kSentinel) << what;
    EXPECT_EQ(item.quality, TestRequest::kQualitySentinel) << what;
    EXPECT_EQ(item.timestampLow, static_cast<std::uint32_t>(kSentinel)) << what;
    EXPECT_EQ(item.timestampHigh, static_cast<std::uint32_t>(kSentinel)) << what;
}

// ---- The road of one read ------------------------------------------------------------------

TEST(TransactionRoad, ExtendedReadOfPvAtStationOneByteForByte) {
    ScriptedChannel channel;
    channel.Answer({0x02, 0x50, 0x56, 0x30, 0x30, 0x32, 0x35, 0x2E, 0x33, 0x03, 0x1F});
    TestRequest request(0, 1, kPv, "PV");
    IoItem& item = request.AddItem(kTypeFloat);
    EXPECT_EQ(Execute(Entry::kExtended, channel, request), 1);
    EXPECT_EQ(channel.sent, std::vector<Bytes>{kReadPvStation1});
    EXPECT_EQ(channel.pauses, std::vector<std::uint32_t>{30});
    EXPECT_EQ(channel.receives, 1);
    EXPECT_EQ(item.value.asFloat, 25.3f);
    EXPECT_EQ(item.readValue.asBit, kSentinel);
    EXPECT_EQ(item.quality, 192);
    EXPECT_EQ(StampOf(item), channel.now);
    EXPECT_EQ(channel.failure, Failure::kNone);
}

TEST(TransactionPause, IsThirtyMillisecondsPerUnitOfTheBaudFactor) {
    for (std::int32_t factor : {1, 2, 4, 8, 16, 32}) {
        ScriptedChannel channel;
        channel.baudFactor = factor;
        channel.Answer(DataReply("PV", "0025.5"));
        TestRequest request(0, 1, kPv, "PV");
        request.AddItem(kTypeFloat);
        Execute(Entry::kExtended, channel, request);
        EXPECT_EQ(channel.pauses, std::vector<std::uint32_t>{30u * factor}) << factor;
    }
}

// ---- ExecuteRequest on the default model ---------------------------------------------------

TEST(BasicDefaultRead, StoresInReadValueAndJudgesTheLastValueAgainstZeroToSix) {
    const struct {
        std::uint16_t type;
        const char* field;
        std::int32_t result;
    } cases[] = {
        {kTypeFloat, "0025.5", 0}, {kTypeFloat, "0003.5", 1}, {kTypeFloat, "0006.0", 1},
        {kTypeFloat, "0006.1", 0}, {kTypeFloat, "-000.5", 0}, {kTypeInt, "000006", 1},
        {kTypeInt, "000007", 0},   {kTypeInt, "-00001", 0},   {kTypeInt, "000000", 1},
        {kTypeBit, "000009", 1},
    };
    for (const auto& c : cases) {
        ScriptedChannel channel;
        channel.Answer(DataReply("PV", c.field));
        TestRequest request(0, 1, kPv, "PV");
        IoItem& item = request.AddItem(c.type);
        EXPECT_EQ(Execute(Entry::kBasic, channel, request), c.result) << c.field;
        EXPECT_EQ(channel.sent, std::vector<Bytes>{kReadPvStation1});
        EXPECT_EQ(channel.failure, Failure::kNone) << c.field;
        EXPECT_NE(item.readValue.asBit, kSentinel) << c.field << ": readValue was not written";
        EXPECT_EQ(item.value.asBit, kSentinel) << c.field;
        EXPECT_EQ(item.quality, TestRequest::kQualitySentinel) << c.field;
        EXPECT_EQ(item.timestampLow, static_cast<std::uint32_t>(kSentinel)) << c.field;
    }
}

TEST(BasicDefaultRead, DecodesTheOneFieldIntoEveryItemByItsOwnType) {
    ScriptedChannel channel;
    channel.Answer(DataReply("PV", "0012.7"));
    TestRequest request(0, 1, kPv, "PV");
    IoItem& asInt = request.AddItem(kTypeInt);
    IoItem& asFloat = request.AddItem(kTypeFloat);
    IoItem& asString = request.AddItem(kTypeString);
    IoItem& asBit = request.AddItem(kTypeBit);
    EXPECT_EQ(Execute(Entry::kBasic, channel, request), 1);  // judged on the BIT, stored last: 1
    EXPECT_EQ(asInt.readValue.asInt, 12);
    EXPECT_EQ(asInt.readValue.bytes[2], 0xad);  // the upper half of an INT slot is kept
    EXPECT_EQ(asInt.readValue.bytes[3], 0xde);
    EXPECT_EQ(asFloat.readValue.asFloat, 12.7f);
    EXPECT_EQ(asBit.readValue.asBit, 1);
    ExpectUntouched(asString, "STRING item");
}

TEST(BasicDefaultRead, ItemsOfOtherTypesDoNotCountAsTheValueStoredLast) {
    ScriptedChannel channel;
    channel.Answer(DataReply("PV", "0004.5"));
    TestRequest request(0, 1, kPv, "PV");
    IoItem& real = request.AddItem(kTypeFloat);
    IoItem& text = request.AddItem(kTypeString);
    EXPECT_EQ(Execute(Entry::kBasic, channel, request), 1);
    EXPECT_EQ(real.readValue.asFloat, 4.5f);
    ExpectUntouched(text, "STRING item");
}

TEST(BasicDefaultRead, StoringNothingIsNoSuccess) {
    for (bool withStringItem : {false, true}) {
        ScriptedChannel channel;
        channel.Answer(DataReply("PV", "0004.5"));
        TestRequest request(0, 1, kPv, "PV");
        if (withStringItem) request.AddItem(kTypeLong);
        EXPECT_EQ(Execute(Entry::kBasic, channel, request), 0) << withStringItem;
        EXPECT_EQ(channel.failure, Failure::kNone);
        if (withStringItem) ExpectUntouched(request.item(0), "LONG item");
    }
}

TEST(BasicDefaultRequest, SendsEverythingAndNeverReportsAWriteAsDone) {
    const struct {
        const char* what;
        std::int16_t index;
        const char* text;
        Bytes answer;
    } cases[] = {
        {"write of SP answered ACK", kSp, "SP", kAck},
        {"write of SP answered NAK", kSp, "SP", kNak},
        {"write of PV (read-only) answered ACK", kPv, "PV", kAck},
        {"write with the text CommErr", kSp, "CommErr", kAck},
    };
    for (const auto& c : cases) {
        ScriptedChannel channel;
        channel.Answer(c.answer);
        TestRequest request(1, 12, c.index, c.text);
        request.AddFloat(25.5f);
        EXPECT_EQ(Execute(Entry::kBasic, channel, request), 0) << c.what;
        ASSERT_EQ(channel.sent.size(), 1u) << c.what << ": not sent";
        EXPECT_EQ(channel.sent[0].size(), 16u) << c.what;
        EXPECT_EQ(channel.failure, Failure::kNone) << c.what;
    }
    // A read with the text CommErr goes to the instrument too (register by index).
    ScriptedChannel channel;
    channel.Answer(DataReply("PV", "0003.0"));
    TestRequest request(0, 1, kPv, "CommErr");
    request.AddItem(kTypeFloat);
    EXPECT_EQ(Execute(Entry::kBasic, channel, request), 1);
    EXPECT_EQ(channel.sent, std::vector<Bytes>{kReadPvStation1});
}

// ---- ExecuteRequestEx on the default model -------------------------------------------------

TEST(ExtendedDefaultRead, StoresInValueAndStampsEveryItem) {
    ScriptedChannel channel;
    channel.Answer(DataReply("PV", "0012.7"));
    TestRequest request(0, 1, kPv, "PV");
    IoItem& asInt = request.AddItem(kTypeInt);
    IoItem& asString = request.AddItem(kTypeString);
    IoItem& asBit = request.AddItem(kTypeBit);
    EXPECT_EQ(Execute(Entry::kExtended, channel, request), 1);
    EXPECT_EQ(asInt.value.asInt, 12);
    EXPECT_EQ(asInt.readValue.asBit, kSentinel);
    EXPECT_EQ(asBit.value.asBit, 1);
    EXPECT_EQ(asString.value.asBit, kSentinel);
    for (const IoItem* item : {&asInt, &asString, &asBit}) {
        EXPECT_EQ(item->quality, 192);
        EXPECT_EQ(StampOf(*item), channel.now);
    }
    // Outside 0..6 is no concern of the extended entry point.
    EXPECT_EQ(channel.failure, Failure::kNone);
}

TEST(ExtendedDefaultWrite, SucceedsOnlyWhenTheBlockEndsWithAck) {
    const struct {
        const char* what;
        Bytes answer;
        std::int32_t result;
    } cases[] = {
        {"ACK", kAck, 1},
        {"NAK", kNak, 0},
        {"a block ending in 30", {0x30}, 0},
        {"noise then ACK", {0x15, 0x41, 0x06}, 1},
    };
    for (const auto& c : cases) {
        ScriptedChannel channel;
        channel.Answer(c.answer);
        TestRequest request(1, 12, kSp, "SP");
        request.AddFloat(25.5f);
        EXPECT_EQ(Execute(Entry::kExtended, channel, request), c.result) << c.what;
        EXPECT_EQ(channel.sent, std::vector<Bytes>{kWriteSp255}) << c.what;
        EXPECT_EQ(channel.failure, Failure::kNone) << c.what;
    }
}

// ---- The shortcuts -------------------------------------------------------------------------

TEST(Shortcuts, CommErrAndReadOnlyWritesAnswerWithoutTraffic) {
    const struct {
        const char* what;
        const char* model;
        std::int16_t direction;
        std::int16_t index;
        const char* text;
    } cases[] = {
        {"Ex, CommErr read", "", 0, kSp, "CommErr"},
        {"Ex, CommErr write", "", 1, kSp, "CommErr"},
        {"Ex, write to PV", "", 1, kPv, "PV"},
        {"Ex, write to AS", "", 1, kAs, "AS"},
        {"Ex, write to EE", "", 1, 0, "EE"},
        {"Ex N, CommErr read", "QM4720N", 0, kSp, "CommErr"},
        {"Ex N, CommErr write", "QM4720N", 1, kSp, "CommErr"},
        {"Ex N, write to index 4", "qm4720n", 1, kPv, "PV"},
    };
    for (Entry entry : {Entry::kBasic, Entry::kExtended}) {
        for (const auto& c : cases) {
            // The basic entry point takes the shortcuts on the QM4720N path only.
            if (entry == Entry::kBasic && c.model[0] == '\0') continue;
            ScriptedChannel channel;
            TestRequest request(c.direction, 1, c.index, c.text, c.model);
            IoItem& item = request.AddFloat(1.5f);
            EXPECT_EQ(Execute(entry, channel, request), 1) << c.what;
            EXPECT_TRUE(channel.sent.empty()) << c.what;
            EXPECT_EQ(channel.receives, 0) << c.what;
            EXPECT_EQ(item.quality, TestRequest::kQualitySentinel) << c.what;
            EXPECT_EQ(item.readValue.asBit, kSentinel) << c.what;
        }
    }
}

TEST(Shortcuts, OnlyTheExactTextCommErrIsThePseudoRegister) {
    for (const char* text : {"commerr", "CommErr ", "CommErrX", "COMMERR"}) {
        ScriptedChannel channel;
        channel.Answer(DataReply("PV", "0003.0"));
        TestRequest request(0, 1, kPv, text);
        request.AddItem(kTypeFloat);
        EXPECT_EQ(Execute(Entry::kExtended, channel, request), 1) << text;
        EXPECT_EQ(channel.sent.size(), 1u) << text << " was not sent";
    }
    // SP (index 13) is the first register a write reaches.
    ScriptedChannel channel;
    channel.Answer(kAck);
    TestRequest request(1, 12, kSp, "SP");
    request.AddFloat(25.5f);
    EXPECT_EQ(Execute(Entry::kExtended, channel, request), 1);
    EXPECT_EQ(channel.sent.size(), 1u);
}

// ---- The QM4720N path ----------------------------------------------------------------------

TEST(QM4720NPath, BasicEntryStoresInValueWithoutStampsAndJudgesNothing) {
    ScriptedChannel channel;
    channel.Answer(DataReply("PV", "0025.5"));
    TestRequest request(0, 1, 999, "PVX", "Qm4720n");  // the index plays no part in the frame
    IoItem& item = request.AddItem(kTypeFloat);
    EXPECT_EQ(Execute(Entry::kBasic, channel, request), 1);  // 25.5 is outside 0..6: still 1
    EXPECT_EQ(channel.sent, std::vector<Bytes>{kReadPvStation1});
    EXPECT_EQ(item.value.asFloat, 25.5f);
    EXPECT_EQ(item.readValue.asBit, kSentinel);
    EXPECT_EQ(item.quality, TestRequest::kQualitySentinel);
    EXPECT_EQ(item.timestampLow, static_cast<std::uint32_t>(kSentinel));
    EXPECT_EQ(item.timestampHigh, static_cast<std::uint32_t>(kSentinel));
}

TEST(QM4720NPath, DecodesIntAndFloatOnlyAndStampsEveryItemFromTheExtendedEntry) {
    ScriptedChannel channel;
    channel.Answer(DataReply("PV", "0012.7"));
    TestRequest request(0, 1, kPv, "PV", "QM4720N");
    IoItem& bit = request.AddItem(kTypeBit);
    IoItem& real = request.AddItem(kTypeFloat);
    IoItem& integer = request.AddItem(kTypeInt);
    EXPECT_EQ(Execute(Entry::kExtended, channel, request), 1);
    EXPECT_EQ(bit.value.asBit, kSentinel);
    EXPECT_EQ(real.value.asFloat, 12.7f);
    EXPECT_EQ(integer.value.asInt, 12);
    for (const IoItem* item : {&bit, &real, &integer}) {
        EXPECT_EQ(item->quality, 192);
        EXPECT_NE(item->timestampHigh, static_cast<std::uint32_t>(kSentinel));
    }
}

TEST(QM4720NPath, WritesSucceedOnAckFromBothEntries) {
    for (Entry entry : {Entry::kBasic, Entry::kExtended}) {
        for (const auto& [answer, result] : {std::pair{kAck, 1}, std::pair{kNak, 0}}) {
            ScriptedChannel channel;
            channel.Answer(answer);
            TestRequest request(1, 12, 999, "SP", "QM4720N");
            request.AddFloat(25.5f);
            EXPECT_EQ(Execute(entry, channel, request), result);
            EXPECT_EQ(channel.sent, std::vector<Bytes>{kWriteSp255});
            EXPECT_EQ(channel.failure, Failure::kNone);
        }
    }
}

// ---- Failures and the errors they leave ----------------------------------------------------

TEST(TransactionFailures, ReadRepliesThatAreNotDataAreReplyErrors) {
    Bytes noise = {0x41, 0x02, 0x15};
    const Bytes good = DataReply("PV", "0003.5");
    Bytes badBcc = good;
    badBcc.back() ^= 0x01;
    const struct {
        const char* what;
        Bytes block;
    } cases[] = {
        {"a single NAK", kNak},
        {"a wrong block check", badBcc},
        {"ten bytes", Bytes(good.begin() + 1, good.end())},
        // Right block check, but a space in the field: PV " 25.50", BCC by hand
        // 50^56=06, ^20=26, ^32=14, ^35=21, ^2E=0F, ^35=3A, ^30=0A, ^03=09.
        {"a field that is not a number",
         {0x02, 0x50, 0x56, 0x20, 0x32, 0x35, 0x2E, 0x35, 0x30, 0x03, 0x09}},
        {"letters in the field", DataReply("PV", "ABCDEF")},
    };
    for (Entry entry : {Entry::kBasic, Entry::kExtended}) {
        for (const char* model : {"", "QM4720N"}) {
            for (const auto& c : cases) {
                ScriptedChannel channel;
                channel.Answer(c.block);
                TestRequest request(0, 1, kPv, "PV", model);
                IoItem& bit = request.AddItem(kTypeBit);
                IoItem& real = request.AddItem(kTypeFloat);
                EXPECT_EQ(Execute(entry, channel, request), 0) << c.what << " " << model;
                EXPECT_EQ(channel.failure, Failure::kReply) << c.what << " " << model;
                ExpectUntouched(bit, c.what);
                ExpectUntouched(real, c.what);
            }
        }
    }
}

TEST(TransactionFailures, LeadingNoiseBeforeTheReplyIsIgnored) {
    ScriptedChannel channel;
    Bytes block = {0x15, 0x41, 0x02, 0x03};
    const Bytes reply = DataReply("PV", "0003.5");
    block.insert(block.end(), reply.begin(), reply.end());
    channel.Answer(block);
    TestRequest request(0, 1, kPv, "PV");
    IoItem& item = request.AddItem(kTypeFloat);
    EXPECT_EQ(Execute(Entry::kBasic, channel, request), 1);
    EXPECT_EQ(item.readValue.asFloat, 3.5f);
}

TEST(TransactionFailures, SilenceIsATimeoutForEveryVariantAndNothingIsRetried) {
    for (Entry entry : {Entry::kBasic, Entry::kExtended}) {
        for (const char* model : {"", "QM4720N"}) {
            for (std::int16_t direction : {0, 1}) {
                ScriptedChannel channel;
                channel.Silence();
                channel.Answer(DataReply("PV", "0003.5"));  // would come too late: never read
                TestRequest request(direction, 12, kSp, "SP", model);
                IoItem& item = request.AddFloat(2.5f);
                item.value.asFloat = 2.5f;
                EXPECT_EQ(Execute(entry, channel, request), 0);
                EXPECT_EQ(channel.failure, Failure::kTimeout);
                EXPECT_EQ(channel.sent.size(), 1u);
                EXPECT_EQ(channel.receives, 1);
                EXPECT_EQ(item.quality, TestRequest::kQualitySentinel);
            }
        }
    }
}

// An exchange that ended without this request's answer tells the channel that the answer may
// still come, so that the line is kept quiet before the next request: after silence, and after a
// sound data reply that answers something else. One that got its answer, even a damaged, refused
// or unusable one, or never sent its frame, does not.
TEST(TransactionFailures, AnExchangeWithoutItsAnswerExpectsItLate) {
    Bytes badBcc = DataReply("SP", "0003.5");
    badBcc.back() ^= 0x01;
    const struct {
        const char* what;
        std::int16_t direction;
        std::optional<Bytes> reply;  // nothing: silence
        std::int32_t sendResult;
        int expected;
    } cases[] = {
        {"read, silence", 0, std::nullopt, 8, 1},
        {"write, silence", 1, std::nullopt, 16, 1},
        {"read, another register's answer", 0, DataReply("SV", "0003.5"), 8, 1},
        {"write, a data reply", 1, DataReply("SP", "0003.5"), 16, 1},
        {"read, a wrong block check", 0, badBcc, 8, 0},
        {"read, a lone NAK", 0, kNak, 8, 0},
        {"write, no write reply", 1, Bytes{0x30}, 16, 0},
        {"read, its answer", 0, DataReply("SP", "0003.5"), 8, 0},
        {"read, its answer with letters in the field", 0, DataReply("SP", "ABCDEF"), 8, 0},
        {"write, NAK", 1, kNak, 16, 0},
        {"read, failed send", 0, DataReply("SP", "0003.5"), -1, 0},
    };
    for (Entry entry : {Entry::kBasic, Entry::kExtended}) {
        for (const char* model : {"", "QM4720N"}) {
            for (const auto& c : cases) {
                SCOPED_TRACE(::testing::Message() << c.what << ", model '" << model << "'");
                ScriptedChannel channel;
                channel.baudFactor = 2;
                channel.sendResult = c.sendResult;
                channel.replies.push_back(c.reply);
                TestRequest request(c.direction, 12, kSp, "SP", model);
                request.AddFloat(2.5f);
                Execute(entry, channel, request);
                // Told once, with the pause the exchange made (60 ms at a baud factor of 2).
                EXPECT_EQ(channel.lateAnswers, std::vector<std::uint32_t>(c.expected, 60));
            }
        }
    }
}

// A failed write gives the port's own failure with the system's code; a refused frame gives no
// reason; a write that put less than the whole frame on the line (a line that does not drain)
// is the timeout. None waits for a reply.
TEST(TransactionFailures, AFailedOrShortSendEndsTheTransactionBeforeThePause) {
    const struct {
        std::int32_t sendResult;
        std::optional<std::uint32_t> sendError;
        Failure failure;
        std::uint32_t systemError;
    } cases[] = {{-1, std::nullopt, Failure::kNone, 0},
                 {-1, 1167, Failure::kPortWrite, 1167},
                 {0, std::nullopt, Failure::kTimeout, 0},
                 {5, std::nullopt, Failure::kTimeout, 0}};
    for (const auto& c : cases) {
        ScriptedChannel channel;
        channel.sendResult = c.sendResult;
        channel.sendError = c.sendError;
        channel.Answer(DataReply("PV", "0003.5"));
        TestRequest request(0, 1, kPv, "PV");
        request.AddItem(kTypeFloat);
        EXPECT_EQ(Execute(Entry::kExtended, channel, request), 0) << c.sendResult;
        EXPECT_TRUE(channel.pauses.empty());
        EXPECT_EQ(channel.receives, 0);
        EXPECT_EQ(channel.failure, c.failure) << c.sendResult;
        EXPECT_EQ(channel.systemError, c.systemError) << c.sendResult;
    }
}

TEST(TransactionFailures, WritesThatCannotBeFramedSayWhyAndSendNothing) {
    const struct {
        const char* what;
        const char* model;
        std::uint16_t type;
        float value;
        Failure failure;
    } cases[] = {
        {"FLOAT 10000.0", "", kTypeFloat, 10000.0f, Failure::kValueRange},
        {"FLOAT -1000.0", "QM4720N", kTypeFloat, -1000.0f, Failure::kValueRange},
        {"FLOAT infinity", "", kTypeFloat, 1.0f / 0.0f, Failure::kValueRange},
        {"STRING", "", kTypeString, 0.0f, Failure::kFormat},
        {"BIT on QM4720N", "QM4720N", kTypeBit, 0.0f, Failure::kFormat},
        {"LONG on QM4720N", "QM4720N", kTypeLong, 0.0f, Failure::kFormat},
    };
    for (Entry entry : {Entry::kBasic, Entry::kExtended}) {
        for (const auto& c : cases) {
            ScriptedChannel channel;
            channel.Answer(kAck);
            TestRequest request(1, 12, kSp, "SP", c.model);
            IoItem& item = request.AddItem(c.type);
            item.value.asFloat = c.value;
            EXPECT_EQ(Execute(entry, channel, request), 0) << c.what;
            EXPECT_EQ(channel.failure, c.failure) << c.what;
            EXPECT_TRUE(channel.sent.empty()) << c.what;
        }
    }
}

// A request the builder refuses fails before the line with the reason of the field it refused,
// so that the host never reads an earlier failure's text for it.
TEST(TransactionFailures, RequestsTheBuildersRefuseNameTheFieldRefused) {
    const struct {
        const char* what;
        const char* model;
        std::int16_t direction;
        std::int16_t station;
        std::int16_t index;
        const char* text;
        bool withItem;
        Failure failure;
    } cases[] = {
        {"direction 2", "", 2, 1, kSp, "SP", true, Failure::kFormat},
        {"direction 2 (QM4720N)", "QM4720N", 2, 1, kSp, "SP", true, Failure::kFormat},
        {"station 100", "", 0, 100, kPv, "PV", true, Failure::kStation},
        {"station -1 (QM4720N)", "QM4720N", 0, -1, kPv, "PV", true, Failure::kStation},
        {"index 62", "", 0, 1, 62, "PV", true, Failure::kRegisterRange},
        {"index -1", "", 0, 1, -1, "PV", true, Failure::kRegisterRange},
        {"null register text (QM4720N)", "QM4720N", 0, 1, kPv, nullptr, true,
         Failure::kRegisterName},
        {"one-character text (QM4720N)", "QM4720N", 0, 1, kPv, "P", true, Failure::kRegisterName},
        {"write without items", "", 1, 1, kSp, "SP", false, Failure::kFormat},
    };
    for (Entry entry : {Entry::kBasic, Entry::kExtended}) {
        for (const auto& c : cases) {
            ScriptedChannel channel;
            channel.Answer(kAck);
            TestRequest request(c.direction, c.station, c.index, c.text, c.model);
            if (c.withItem) request.AddFloat(1.0f);
            EXPECT_EQ(Execute(entry, channel, request), 0) << c.what;
            EXPECT_EQ(channel.failure, c.failure) << c.what;
            EXPECT_TRUE(channel.sent.empty()) << c.what;
        }
    }
}

TEST(TransactionFailures, NullRequestsAndNullTexts) {
    ScriptedChannel channel;
    for (const protocol::Outcome& outcome : {protocol::ExecuteRequest(channel, nullptr),
                                             protocol::ExecuteRequestEx(channel, nullptr)}) {
        EXPECT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.failure, Failure::kNone);
    }
    EXPECT_TRUE(channel.sent.empty());

    // A null model name is the default model; a null register text is no "CommErr".
    for (Entry entry : {Entry::kBasic, Entry::kExtended}) {
        ScriptedChannel reading;
        reading.Answer(DataReply("PV", "0003.5"));
        TestRequest request(0, 1, kPv, nullptr, nullptr);
        IoItem& item = request.AddItem(kTypeFloat);
        EXPECT_EQ(Execute(entry, reading, request), 1);
        EXPECT_EQ(reading.sent, std::vector<Bytes>{kReadPvStation1});
        EXPECT_EQ(entry == Entry::kBasic ? item.readValue.asFloat : item.value.asFloat, 3.5f);
    }
}

// ---- ProbeDevice ---------------------------------------------------------------------------

TEST(ProbeDevice, ReadsEeAndPassesOnTheModelsRule) {
    const struct {
        const char* model;
        std::optional<const char*> field;  // nullopt: silence
        std::int32_t result;
        Failure failure;
    } cases[] = {
        {"", "000003", 1, Failure::kNone},        {"", "000006", 1, Failure::kNone},
        {"", "000009", 0, Failure::kNone},        {"", "-00001", 0, Failure::kNone},
        {"", std::nullopt, 0, Failure::kTimeout}, {"QM4720N", "000009", 1, Failure::kNone},
        {"qm4720n", "-00123", 1, Failure::kNone}, {"QM4720N", std::nullopt, 0, Failure::kTimeout},
    };
    for (const auto& c : cases) {
        ScriptedChannel channel;
        if (c.field) {
            channel.Answer(DataReply("EE", *c.field));
        } else {
            channel.Silence();
        }
        // The station travels in a 32-bit argument; its low 16 bits are the station.
        const protocol::Outcome outcome = protocol::ProbeDevice(channel, c.model, 0x10001, 77);
        EXPECT_EQ(outcome.result, c.result) << c.model << " " << c.field.value_or("(silence)");
        EXPECT_EQ(channel.sent, std::vector<Bytes>{kReadEeStation1});
        EXPECT_EQ(outcome.failure, c.failure);
    }
}

TEST(ProbeDevice, RefusesANullModelNameOrAStationItCannotAddress) {
    ScriptedChannel channel;
    channel.Answer(DataReply("EE", "000003"));
    const protocol::Outcome nullModel = protocol::ProbeDevice(channel, nullptr, 1, 0);
    EXPECT_EQ(nullModel.result, 0);
    EXPECT_EQ(nullModel.failure, Failure::kNone);
    for (const std::int32_t station : {100, -1, 0x7FFF}) {
        const protocol::Outcome outcome = protocol::ProbeDevice(channel, "", station, 0);
        EXPECT_EQ(outcome.result, 0) << station;
        EXPECT_EQ(outcome.failure, Failure::kStation) << station;
    }
    EXPECT_TRUE(channel.sent.empty());
}

// ---- Through the object's slots ------------------------------------------------------------

TEST(TransactionSlots, TheObjectRunsTheTransactionsOverItsOwnPort) {
    auto* object = static_cast<driver::VER4720Ezo*>(driver::VER4720Ezo::CreateObject());
    ASSERT_NE(object, nullptr);
    IDeviceDriver* dd = object->DeviceDriver();
    IDeviceDriverEx* ex = object->DeviceDriverEx();
    object->RecordError(contract::kErrorStation);

    // Shortcuts answer without a port.
    TestRequest commErr(0, 1, kPv, "CommErr");
    commErr.AddItem(kTypeFloat);
    EXPECT_EQ(ex->lpVtbl->ExecuteRequestEx(ex, &commErr.request()), 1);
    TestRequest readOnly(1, 1, kAs, "AS");
    readOnly.AddInt(3);
    EXPECT_EQ(ex->lpVtbl->ExecuteRequestEx(ex, &readOnly.request()), 1);

    // Null arguments give 0 and leave the error as it was.
    EXPECT_EQ(ex->lpVtbl->ExecuteRequestEx(ex, nullptr), 0);
    EXPECT_EQ(dd->lpVtbl->ExecuteRequest(dd, nullptr), 0);
    EXPECT_EQ(dd->lpVtbl->ProbeDevice(dd, nullptr, 1, 0), 0);
    EXPECT_EQ(object->m_nError, contract::kErrorStation);

    // A write the builder cannot frame is refused with its reason, before the port is touched.
    TestRequest tooLarge(1, 1, kSp, "SP");
    tooLarge.AddFloat(12345.0f);
    EXPECT_EQ(dd->lpVtbl->ExecuteRequest(dd, &tooLarge.request()), 0);
    EXPECT_EQ(object->m_nError, contract::kErrorValueRange);
    dd->lpVtbl->Release(dd);
}

// The object turns each reason of a failed transaction into its error once; the result passes
// through, and a transaction without a reason leaves the error as it was.
TEST(TransactionSlots, EachReasonBecomesTheObjectsErrorOnce) {
    const struct {
        protocol::Outcome outcome;
        std::int32_t error;
        const char* text;  // what GetErrorText then gives
    } cases[] = {
        {{0, Failure::kNone, 0},
         contract::kErrorBaudRange,
         contract::MessageText(contract::kErrorBaudRange)},
        {{1, Failure::kNone, 0},
         contract::kErrorBaudRange,
         contract::MessageText(contract::kErrorBaudRange)},
        {{0, Failure::kStation, 0}, 1, contract::MessageText(1)},
        {{0, Failure::kRegisterRange, 0}, 2, contract::MessageText(2)},
        {{0, Failure::kRegisterName, 0}, 0, contract::MessageText(0)},
        {{0, Failure::kValueRange, 0}, 12, contract::MessageText(12)},
        {{0, Failure::kFormat, 0}, 13, contract::MessageText(13)},
        {{0, Failure::kTimeout, 0}, 7, contract::MessageText(7)},
        {{0, Failure::kReply, 0}, 15, contract::MessageText(15)},
        // A platform code is never taken for an index of the message table.
        {{0, Failure::kPortWrite, 13}, 13, contract::MessageText(contract::kErrorOpen)},
        {{0, Failure::kPortWrite, 1167}, 1167, contract::MessageText(contract::kErrorOpen)},
    };
    for (const auto& c : cases) {
        auto* object = static_cast<driver::VER4720Ezo*>(driver::VER4720Ezo::CreateObject());
        ASSERT_NE(object, nullptr);
        object->RecordError(contract::kErrorBaudRange);
        EXPECT_EQ(object->RecordOutcome(c.outcome), c.outcome.result) << c.error;
        EXPECT_EQ(object->m_nError, c.error);
        EXPECT_STREQ(object->GetErrorText(), c.text) << c.error;
        object->ExternalRelease();
    }
}

}  // namespace
