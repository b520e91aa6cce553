// Request frames of both builder members, byte for byte; the refusals; the reply judgement; and
// the item list walk that every transaction uses.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "contract/data_type.h"
#include "protocol/frames.h"
#include "tests/support/test_request.h"

namespace {

using protocol::BuilderMember;
using protocol::FrameRefusal;
using testing_support::TestRequest;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kUntouched = 0xAA;

struct Built {
    std::int32_t result;
    std::int32_t length;
    FrameRefusal refusal;
    std::array<std::uint8_t, protocol::kFrameBufferSize> buffer;

    Bytes Frame() const { return Bytes(buffer.begin(), buffer.begin() + length); }
};

Built Build(BuilderMember member, const IoRequest& request) {
    Built built{};
    built.buffer.fill(kUntouched);
    built.length = 1234;
    built.result =
        protocol::BuildRequestFrame(member, request, built.buffer, built.length, built.refusal);
    return built;
}

enum class Value { kNone, kInt, kFloat, kBit };

struct FrameCase {
    const char* what;
    std::int16_t direction;
    std::int16_t station;
    std::int16_t defaultIndex;  // the register's index in the default table
    const char* registerText;   // what the QM4720N member reads
    Value kind;
    double value;
    Bytes frame;
};

// The frames of the protocol's own examples. Each is built by both members: the default one
// from the register's index, the QM4720N one from its text.
const FrameCase kFrames[] = {
    {"read, station 1, PV",
     0,
     1,
     4,
     "PV",
     Value::kNone,
     0,
     {0x04, 0x30, 0x30, 0x31, 0x31, 0x50, 0x56, 0x05}},
    {"read, station 12, SP",
     0,
     12,
     13,
     "SP",
     Value::kNone,
     0,
     {0x04, 0x31, 0x31, 0x32, 0x32, 0x53, 0x50, 0x05}},
    {"read, station 0, EE",
     0,
     0,
     0,
     "EE",
     Value::kNone,
     0,
     {0x04, 0x30, 0x30, 0x30, 0x30, 0x45, 0x45, 0x05}},
    {"read, station 99, PV",
     0,
     99,
     4,
     "PV",
     Value::kNone,
     0,
     {0x04, 0x39, 0x39, 0x39, 0x39, 0x50, 0x56, 0x05}},
    {"read, station 10, PV",
     0,
     10,
     4,
     "PV",
     Value::kNone,
     0,
     {0x04, 0x31, 0x31, 0x30, 0x30, 0x50, 0x56, 0x05}},
    {"write, station 12, SP, FLOAT 25.5",
     1,
     12,
     13,
     "SP",
     Value::kFloat,
     25.5,
     {0x04, 0x31, 0x31, 0x32, 0x32, 0x02, 0x53, 0x50, 0x30, 0x30, 0x32, 0x35, 0x2E, 0x35, 0x03,
      0x1C}},
    {"write, station 1, PN, INT 25",
     1,
     1,
     14,
     "PN",
     Value::kInt,
     25,
     {0x04, 0x30, 0x30, 0x31, 0x31, 0x02, 0x50, 0x4E, 0x30, 0x30, 0x30, 0x30, 0x32, 0x35, 0x03,
      0x1A}},
    {"write, station 5, XP, FLOAT -0.25",
     1,
     5,
     29,
     "XP",
     Value::kFloat,
     -0.25,
     {0x04, 0x30, 0x30, 0x35, 0x35, 0x02, 0x58, 0x50, 0x2D, 0x30, 0x30, 0x2E, 0x32, 0x35, 0x03,
      0x0F}},
    // 12.3456 is sent with three decimals, as 12.346, so the frame keeps its 16 bytes. The BCC
    // is the XOR of 53 50 31 32 2E 33 34 36 03 ("SP12.346" and ETX):
    // 53^50=03, ^31=32, ^32=00, ^2E=2E, ^33=1D, ^34=29, ^36=1F, ^03=1C.
    {"write, station 1, SP, FLOAT 12.3456",
     1,
     1,
     13,
     "SP",
     Value::kFloat,
     12.3456,
     {0x04, 0x30, 0x30, 0x31, 0x31, 0x02, 0x53, 0x50, 0x31, 0x32, 0x2E, 0x33, 0x34, 0x36, 0x03,
      0x1C}},
};

void AddValue(TestRequest& request, Value kind, double value) {
    switch (kind) {
        case Value::kInt:
            request.AddInt(static_cast<std::int16_t>(value));
            break;
        case Value::kFloat:
            request.AddFloat(static_cast<float>(value));
            break;
        case Value::kBit:
            request.AddBit(static_cast<std::int32_t>(value));
            break;
        case Value::kNone:
            break;
    }
}

TEST(BuildRequestFrame, BuildsTheProtocolsExampleFramesWithBothMembers) {
    for (const FrameCase& c : kFrames) {
        for (BuilderMember member : {BuilderMember::kDefaultModel, BuilderMember::kQM4720N}) {
            SCOPED_TRACE(std::string(c.what) +
                         (member == BuilderMember::kDefaultModel ? " (default)" : " (QM4720N)"));
            // The default member ignores the text; the QM4720N member ignores the index.
            TestRequest request(c.direction, c.station,
                                member == BuilderMember::kDefaultModel ? c.defaultIndex : 999,
                                member == BuilderMember::kDefaultModel ? "??" : c.registerText);
            AddValue(request, c.kind, c.value);
            // A second item is neither sent nor looked at.
            request.AddItem(kTypeString);
            const Built built = Build(member, request.request());
            EXPECT_EQ(built.result, 1);
            EXPECT_EQ(built.refusal, FrameRefusal::kNone);
            EXPECT_EQ(built.Frame(), c.frame);
            for (std::size_t i = c.frame.size(); i < built.buffer.size(); ++i) {
                ASSERT_EQ(built.buffer[i], kUntouched) << "byte " << i << " beyond the frame";
            }
        }
    }
}

TEST(BuildRequestFrame, DefaultModelSendsBitWritesAsSixCharacters) {
    // "SP" 000001 ETX: 53^50=03, ^30=33, ^30=03, ^30=33, ^30=03, ^30=33, ^31=02, ^03=01.
    // With 000000 the last digit gives 33^30=03, then ^03=00.
    const struct {
        std::int32_t slot;
        Bytes frame;
    } cases[] = {
        {1,
         {0x04, 0x30, 0x30, 0x31, 0x31, 0x02, 0x53, 0x50, 0x30, 0x30, 0x30, 0x30, 0x30, 0x31, 0x03,
          0x01}},
        {-2,
         {0x04, 0x30, 0x30, 0x31, 0x31, 0x02, 0x53, 0x50, 0x30, 0x30, 0x30, 0x30, 0x30, 0x31, 0x03,
          0x01}},
        {0,
         {0x04, 0x30, 0x30, 0x31, 0x31, 0x02, 0x53, 0x50, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x03,
          0x00}},
    };
    for (const auto& c : cases) {
        TestRequest request(1, 1, 13, "SP");
        request.AddBit(c.slot);
        const Built built = Build(BuilderMember::kDefaultModel, request.request());
        EXPECT_EQ(built.result, 1);
        EXPECT_EQ(built.Frame(), c.frame) << "slot " << c.slot;
    }
}

TEST(BuildRequestFrame, RefusesWhatItCannotFrameAndWritesNothing) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const struct Case {
        const char* what;
        BuilderMember member;
        std::int16_t direction;
        std::int16_t station;
        std::int16_t index;
        const char* text;
        Value kind;
        std::uint16_t otherType;  // when kind is kNone and this is nonzero: an item of this type
        double value;
        FrameRefusal refusal;
    } cases[] = {
        {"direction 2", BuilderMember::kDefaultModel, 2, 1, 4, "PV", Value::kNone, 0, 0,
         FrameRefusal::kDirection},
        {"direction -1", BuilderMember::kQM4720N, -1, 1, 4, "PV", Value::kNone, 0, 0,
         FrameRefusal::kDirection},
        {"station 100", BuilderMember::kDefaultModel, 0, 100, 4, "PV", Value::kNone, 0, 0,
         FrameRefusal::kStation},
        {"station -1", BuilderMember::kQM4720N, 0, -1, 4, "PV", Value::kNone, 0, 0,
         FrameRefusal::kStation},
        {"index -1", BuilderMember::kDefaultModel, 0, 1, -1, "PV", Value::kNone, 0, 0,
         FrameRefusal::kRegisterIndex},
        {"index 62", BuilderMember::kDefaultModel, 0, 1, 62, "PV", Value::kNone, 0, 0,
         FrameRefusal::kRegisterIndex},
        {"text null", BuilderMember::kQM4720N, 0, 1, 4, nullptr, Value::kNone, 0, 0,
         FrameRefusal::kRegisterText},
        {"text empty", BuilderMember::kQM4720N, 0, 1, 4, "", Value::kNone, 0, 0,
         FrameRefusal::kRegisterText},
        {"text of one character", BuilderMember::kQM4720N, 0, 1, 4, "S", Value::kNone, 0, 0,
         FrameRefusal::kRegisterText},
        {"write without items", BuilderMember::kDefaultModel, 1, 1, 13, "SP", Value::kNone, 0, 0,
         FrameRefusal::kNoItem},
        {"write without items (QM4720N)", BuilderMember::kQM4720N, 1, 1, 13, "SP", Value::kNone, 0,
         0, FrameRefusal::kNoItem},
        {"FLOAT 10000.0", BuilderMember::kDefaultModel, 1, 1, 13, "SP", Value::kFloat, 0, 10000.0,
         FrameRefusal::kValueOutOfRange},
        {"FLOAT -12345.5", BuilderMember::kQM4720N, 1, 1, 13, "SP", Value::kFloat, 0, -12345.5,
         FrameRefusal::kValueOutOfRange},
        {"FLOAT 1e19", BuilderMember::kDefaultModel, 1, 1, 13, "SP", Value::kFloat, 0, 1e19,
         FrameRefusal::kValueOutOfRange},
        {"FLOAT infinity", BuilderMember::kDefaultModel, 1, 1, 13, "SP", Value::kFloat, 0, kInf,
         FrameRefusal::kValueOutOfRange},
        {"FLOAT NaN", BuilderMember::kQM4720N, 1, 1, 13, "SP", Value::kFloat, 0, std::nan(""),
         FrameRefusal::kValueOutOfRange},
        {"STRING write", BuilderMember::kDefaultModel, 1, 1, 13, "SP", Value::kNone, kTypeString, 0,
         FrameRefusal::kTypeNotEncodable},
        {"LONG write (QM4720N)", BuilderMember::kQM4720N, 1, 1, 13, "SP", Value::kNone, kTypeLong,
         0, FrameRefusal::kTypeNotEncodable},
        {"BIT write (QM4720N)", BuilderMember::kQM4720N, 1, 1, 13, "SP", Value::kBit, 0, 1,
         FrameRefusal::kTypeNotEncodable},
    };
    for (const Case& c : cases) {
        TestRequest request(c.direction, c.station, c.index, c.text);
        AddValue(request, c.kind, c.value);
        if (c.otherType != 0) request.AddItem(c.otherType);
        const Built built = Build(c.member, request.request());
        EXPECT_EQ(built.result, 0) << c.what;
        EXPECT_EQ(built.length, 0) << c.what;
        EXPECT_EQ(built.refusal, c.refusal) << c.what;
        for (std::size_t i = 0; i < built.buffer.size(); ++i) {
            ASSERT_EQ(built.buffer[i], kUntouched) << c.what << ": byte " << i << " written";
        }
    }
}

TEST(BuildRequestFrame, WriteWithABrokenListIsRefused) {
    // A count that promises an item while the head node is missing, or holds no item.
    TestRequest noHead(1, 1, 13, "SP");
    noHead->items.count = 1;
    EXPECT_EQ(Build(BuilderMember::kDefaultModel, noHead.request()).refusal, FrameRefusal::kNoItem);

    TestRequest noItem(1, 1, 13, "SP");
    noItem.AddFloat(1.0f);
    noItem.node(0).item = nullptr;
    EXPECT_EQ(Build(BuilderMember::kDefaultModel, noItem.request()).result, 0);

    TestRequest zeroCount(1, 1, 13, "SP");
    zeroCount.AddFloat(1.0f);
    zeroCount->items.count = 0;
    EXPECT_EQ(Build(BuilderMember::kDefaultModel, zeroCount.request()).result, 0);
}

TEST(ValidateReply, JudgesTheProtocolsExampleReplies) {
    const Bytes pv = {0x02, 0x50, 0x56, 0x30, 0x30, 0x32, 0x35, 0x2E, 0x35, 0x03, 0x19};
    Bytes badBcc = pv;
    badBcc.back() = 0x18;
    Bytes noise = {0x15, 0x41, 0x02, 0x03, 0x06};
    noise.insert(noise.end(), pv.begin(), pv.end());
    const Bytes ten(pv.begin() + 1, pv.end());
    Bytes noStx = pv;
    noStx[0] = 0x12;
    Bytes noEtx = pv;
    noEtx[9] = 0x13;
    noEtx[10] ^= 0x13 ^ 0x03;  // keep the BCC right, so only the missing ETX is judged

    const struct {
        const char* what;
        std::int16_t direction;
        Bytes block;
        std::int32_t result;
    } cases[] = {
        {"PV 0025.5", 0, pv, 1},
        {"PV -012.5, BCC 0",
         0,
         {0x02, 0x50, 0x56, 0x2D, 0x30, 0x31, 0x32, 0x2E, 0x35, 0x03, 0x00},
         1},
        {"wrong BCC", 0, badBcc, 0},
        {"leading bytes ignored", 0, noise, 1},
        {"EE in answer to PV",
         0,
         {0x02, 0x45, 0x45, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x03, 0x03},
         1},
        {"ten bytes", 0, ten, 0},
        {"no STX", 0, noStx, 0},
        {"no ETX", 0, noEtx, 0},
        {"single NAK to a read", 0, {0x15}, 0},
        {"empty block to a read", 0, {}, 0},
        {"write ACK", 1, {0x06}, 1},
        {"write NAK", 1, {0x15}, 1},
        {"write 30", 1, {0x30}, 0},
        {"write, bytes ending in ACK", 1, {0x02, 0x41, 0x03, 0x06}, 1},
        {"write, empty block", 1, {}, 0},
        {"direction 2", 2, {0x06}, 0},
    };
    for (const auto& c : cases) {
        TestRequest request(c.direction, 1, 4, "PV");
        EXPECT_EQ(protocol::ValidateReply(request.request(), c.block), c.result) << c.what;
    }
}

TEST(ReplyDataField, IsTheSixCharactersBeforeEtx) {
    Bytes block = {0x41, 0x42, 0x02, 0x50, 0x56, 0x30, 0x30, 0x32, 0x35, 0x2E, 0x35, 0x03, 0x19};
    EXPECT_EQ(protocol::ReplyDataField(block), "0025.5");
    EXPECT_EQ(protocol::ReplyDataField(Bytes(block.begin() + 3, block.end())), "");
}

// The end rule that the receiver is handed, on what may have been collected by some poll.
TEST(IsCompleteReply, EndsAtALoneAnswerByteOrAtEtxBeforeTheLast) {
    const struct {
        const char* what;
        Bytes collected;
        bool complete;
    } cases[] = {
        {"nothing", {}, false},
        {"ACK", {0x06}, true},
        {"NAK", {0x15}, true},
        {"a lone noise byte", {0x30}, true},
        {"a lone STX", {0x02}, false},
        {"STX and the mnemonic", {0x02, 0x50, 0x56}, false},
        {"up to ETX", {0x02, 0x50, 0x56, 0x30, 0x30, 0x32, 0x35, 0x2E, 0x35, 0x03}, false},
        {"a whole data reply",
         {0x02, 0x50, 0x56, 0x30, 0x30, 0x32, 0x35, 0x2E, 0x35, 0x03, 0x19},
         true},
        {"ETX inside the field", {0x02, 0x50, 0x03, 0x30}, true},
        {"ACK followed by more", {0x06, 0x30}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(protocol::IsCompleteReply(c.collected), c.complete) << c.what;
    }
}

TEST(ForEachItem, StopsAtTheCountOrAtTheEndOfTheList) {
    TestRequest request(0, 1, 4, "PV");
    IoItem* items[3] = {&request.AddInt(1), &request.AddInt(2), &request.AddInt(3)};
    auto visited = [&] {
        std::vector<IoItem*> seen;
        ForEachItem(request.request(), [&](IoItem& item) { seen.push_back(&item); });
        return seen;
    };
    EXPECT_EQ(visited(), (std::vector<IoItem*>{items[0], items[1], items[2]}));

    request->items.count = 2;  // fewer than the list holds: the count wins
    EXPECT_EQ(visited(), (std::vector<IoItem*>{items[0], items[1]}));

    request->items.count = 7;  // more than the list holds: the walk ends at the null next
    EXPECT_EQ(visited(), (std::vector<IoItem*>{items[0], items[1], items[2]}));

    request->items.count = -1;
    EXPECT_TRUE(visited().empty());

    request->items.count = 3;
    request.node(1).item = nullptr;  // a node without an item is passed over
    EXPECT_EQ(visited(), (std::vector<IoItem*>{items[0], items[2]}));
    EXPECT_EQ(FirstItem(request.request()), items[0]);

    request->items.head = nullptr;
    EXPECT_TRUE(visited().empty());
    EXPECT_EQ(FirstItem(request.request()), nullptr);
}

}  // namespace
