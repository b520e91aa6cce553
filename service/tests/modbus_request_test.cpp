// The request handling over the fixed line: each request's bytes through libmodbus's own reply
// functions on a socket pair, and the reply bytes that come out. Floats worked out by hand:
// 21.5 = 0x41AC0000, -3.25 = 0xC0500000, 7 = 0x40E00000, 0.125 = 0x3E000000, 0.5 = 0x3F000000,
// 12.5 = 0x41480000.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "service/modbus/modbus_request.h"
#include "tests/support/fake_gateway.h"

namespace service {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::FakeGateway;

// A whole frame: transaction 0x1234, protocol 0, the length of unit and PDU, unit, PDU.
Bytes Frame(std::uint8_t unit, const Bytes& pdu) {
    const auto length = static_cast<std::uint8_t>(pdu.size() + 1);
    Bytes frame = {0x12, 0x34, 0x00, 0x00, 0x00, length, unit};
    for (const auto byte : pdu) frame.push_back(byte);
    return frame;
}

struct Case {
    const char* what;
    WordOrder order;
    std::uint8_t unit;
    Bytes request;                  // PDU
    Bytes reply;                    // PDU
    std::optional<double> written;  // the value the gateway must have been asked to write
};

const Case kCases[] = {
    {"read two values",
     WordOrder::kHighWordFirst,
     1,
     {0x03, 0x00, 0x00, 0x00, 0x04},
     {0x03, 0x08, 0x41, 0xAC, 0x00, 0x00, 0xC0, 0x50, 0x00, 0x00},
     {}},
    {"low word first",
     WordOrder::kLowWordFirst,
     1,
     {0x03, 0x00, 0x00, 0x00, 0x04},
     {0x03, 0x08, 0x00, 0x00, 0x41, 0xAC, 0x00, 0x00, 0xC0, 0x50},
     {}},
    {"function 04 reads the same",
     WordOrder::kHighWordFirst,
     1,
     {0x04, 0x00, 0x00, 0x00, 0x02},
     {0x04, 0x04, 0x41, 0xAC, 0x00, 0x00},
     {}},
    {"second station",
     WordOrder::kHighWordFirst,
     2,
     {0x03, 0x00, 0x00, 0x00, 0x04},
     {0x03, 0x08, 0x40, 0xE0, 0x00, 0x00, 0x3E, 0x00, 0x00, 0x00},
     {}},
    {"last register of the table",
     WordOrder::kHighWordFirst,
     1,
     {0x03, 0x00, 0x7A, 0x00, 0x02},
     {0x03, 0x04, 0x3F, 0x00, 0x00, 0x00},
     {}},
    {"past the table",
     WordOrder::kHighWordFirst,
     1,
     {0x03, 0x00, 0x7A, 0x00, 0x04},
     {0x83, 0x02},
     {}},
    {"past the shorter table",
     WordOrder::kHighWordFirst,
     2,
     {0x03, 0x00, 0x74, 0x00, 0x02},
     {0x83, 0x02},
     {}},
    {"starts at a half",
     WordOrder::kHighWordFirst,
     1,
     {0x03, 0x00, 0x01, 0x00, 0x02},
     {0x83, 0x02},
     {}},
    {"ends at a half",
     WordOrder::kHighWordFirst,
     1,
     {0x03, 0x00, 0x00, 0x00, 0x03},
     {0x83, 0x02},
     {}},
    {"failed read", WordOrder::kHighWordFirst, 1, {0x03, 0x00, 0x04, 0x00, 0x02}, {0x83, 0x0B}, {}},
    {"stale value", WordOrder::kHighWordFirst, 1, {0x04, 0x00, 0x06, 0x00, 0x02}, {0x84, 0x0B}, {}},
    {"not polled", WordOrder::kHighWordFirst, 1, {0x03, 0x00, 0x08, 0x00, 0x02}, {0x83, 0x02}, {}},
    {"good values beside a failed one",
     WordOrder::kHighWordFirst,
     1,
     {0x03, 0x00, 0x00, 0x00, 0x06},
     {0x83, 0x0B},
     {}},
    {"not polled wins over failed",
     WordOrder::kHighWordFirst,
     1,
     {0x03, 0x00, 0x00, 0x00, 0x0A},
     {0x83, 0x02},
     {}},
    {"count 0", WordOrder::kHighWordFirst, 1, {0x03, 0x00, 0x00, 0x00, 0x00}, {0x83, 0x03}, {}},
    {"count 126", WordOrder::kHighWordFirst, 1, {0x03, 0x00, 0x00, 0x00, 0x7E}, {0x83, 0x03}, {}},
    {"no such station",
     WordOrder::kHighWordFirst,
     3,
     {0x03, 0x00, 0x00, 0x00, 0x02},
     {0x83, 0x0A},
     {}},
    {"read coils", WordOrder::kHighWordFirst, 1, {0x01, 0x00, 0x00, 0x00, 0x01}, {0x81, 0x01}, {}},
    {"write coil", WordOrder::kHighWordFirst, 1, {0x05, 0x00, 0x00, 0xFF, 0x00}, {0x85, 0x01}, {}},
    {"06 sets half a value",
     WordOrder::kHighWordFirst,
     1,
     {0x06, 0x00, 0x28, 0x41, 0x48},
     {0x86, 0x02},
     {}},
    {"write done",
     WordOrder::kHighWordFirst,
     1,
     {0x10, 0x00, 0x28, 0x00, 0x02, 0x04, 0x41, 0x48, 0x00, 0x00},
     {0x10, 0x00, 0x28, 0x00, 0x02},
     12.5},
    {"write done, low word first",
     WordOrder::kLowWordFirst,
     1,
     {0x10, 0x00, 0x28, 0x00, 0x02, 0x04, 0x00, 0x00, 0x41, 0x48},
     {0x10, 0x00, 0x28, 0x00, 0x02},
     12.5},
    {"meter refuses",
     WordOrder::kHighWordFirst,
     1,
     {0x10, 0x00, 0x2A, 0x00, 0x02, 0x04, 0x41, 0x48, 0x00, 0x00},
     {0x90, 0x04},
     12.5},
    {"driver refuses",
     WordOrder::kHighWordFirst,
     1,
     {0x10, 0x00, 0x2C, 0x00, 0x02, 0x04, 0x41, 0x48, 0x00, 0x00},
     {0x90, 0x03},
     12.5},
    {"meter silent",
     WordOrder::kHighWordFirst,
     1,
     {0x10, 0x00, 0x2E, 0x00, 0x02, 0x04, 0x41, 0x48, 0x00, 0x00},
     {0x90, 0x0B},
     12.5},
    {"not configured writable",
     WordOrder::kHighWordFirst,
     1,
     {0x10, 0x00, 0x30, 0x00, 0x02, 0x04, 0x41, 0x48, 0x00, 0x00},
     {0x90, 0x02},
     12.5},
    {"read-only in the model",
     WordOrder::kHighWordFirst,
     1,
     {0x10, 0x00, 0x00, 0x00, 0x02, 0x04, 0x41, 0x48, 0x00, 0x00},
     {0x90, 0x02},
     {}},
    {"two values in one write",
     WordOrder::kHighWordFirst,
     1,
     {0x10, 0x00, 0x28, 0x00, 0x04, 0x08, 0x41, 0x48, 0x00, 0x00, 0x41, 0x48, 0x00, 0x00},
     {0x90, 0x02},
     {}},
    {"write at a half",
     WordOrder::kHighWordFirst,
     1,
     {0x10, 0x00, 0x29, 0x00, 0x02, 0x04, 0x41, 0x48, 0x00, 0x00},
     {0x90, 0x02},
     {}},
    {"not a number",
     WordOrder::kHighWordFirst,
     1,
     {0x10, 0x00, 0x28, 0x00, 0x02, 0x04, 0x7F, 0xC0, 0x00, 0x00},
     {0x90, 0x03},
     {}},
    {"byte count disagrees",
     WordOrder::kHighWordFirst,
     1,
     {0x10, 0x00, 0x28, 0x00, 0x02, 0x03, 0x41, 0x48, 0x00},
     {0x90, 0x03},
     {}},
    {"write to no such station",
     WordOrder::kHighWordFirst,
     9,
     {0x10, 0x00, 0x28, 0x00, 0x02, 0x04, 0x41, 0x48, 0x00, 0x00},
     {0x90, 0x0A},
     {}},
};

// The handler's end of a socket pair, and the client's end to read the reply from.
class Wire {
public:
    Wire() {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
        fcntl(fds_[1], F_SETFL, O_NONBLOCK);
        ctx_ = modbus_new_tcp("0.0.0.0", 0);
        modbus_set_socket(ctx_, fds_[0]);
    }
    ~Wire() {
        modbus_free(ctx_);
        close(fds_[0]);
        close(fds_[1]);
    }
    modbus_t* ctx() { return ctx_; }
    Bytes Sent() {
        Bytes bytes(512);
        const auto n = read(fds_[1], bytes.data(), bytes.size());
        bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return bytes;
    }

private:
    int fds_[2] = {-1, -1};
    modbus_t* ctx_ = nullptr;
};

// The fixed line with scales for int16: station 1's 0 (21.5) at 1, 1 (-3.25) at 2, 5 (1234.5)
// at 2, past 16 bits, 20 at 1, 21 at -1, 61 (0.5) at 2; station 2 has none, so every scale is 0.
StationTables ScaledTables() {
    auto tables = testing::FixedTables();
    auto& scale = tables[1].scale;
    scale.assign(testing::kDefaultModelCount, 0);
    scale[0] = 1;
    scale[1] = 2;
    scale[5] = 2;
    scale[20] = 1;
    scale[21] = -1;
    scale[61] = 2;
    return tables;
}

// The same requests as 16-bit registers: one register a value, at the value's table index.
const Case kInt16Cases[] = {
    {"scaled values",
     {},
     1,
     {0x03, 0x00, 0x00, 0x00, 0x02},
     {0x03, 0x04, 0x00, 0xD7, 0xFE, 0xBB},
     {}},
    {"function 04 reads the same",
     {},
     1,
     {0x04, 0x00, 0x01, 0x00, 0x01},
     {0x04, 0x02, 0xFE, 0xBB},
     {}},
    {"scale 0 rounds",
     {},
     2,
     {0x03, 0x00, 0x00, 0x00, 0x02},
     {0x03, 0x04, 0x00, 0x07, 0x00, 0x00},
     {}},
    {"last register of the table",
     {},
     1,
     {0x03, 0x00, 0x3D, 0x00, 0x01},
     {0x03, 0x02, 0x00, 0x32},
     {}},
    {"past the table", {}, 1, {0x03, 0x00, 0x3D, 0x00, 0x02}, {0x83, 0x02}, {}},
    {"beyond 16 bits", {}, 1, {0x03, 0x00, 0x05, 0x00, 0x01}, {0x83, 0x0B}, {}},
    {"not polled wins over beyond 16 bits",
     {},
     1,
     {0x03, 0x00, 0x04, 0x00, 0x02},
     {0x83, 0x02},
     {}},
    {"failed read", {}, 1, {0x03, 0x00, 0x02, 0x00, 0x01}, {0x83, 0x0B}, {}},
    {"not polled", {}, 1, {0x03, 0x00, 0x04, 0x00, 0x01}, {0x83, 0x02}, {}},
    {"06 writes a whole value",
     {},
     1,
     {0x06, 0x00, 0x14, 0x04, 0xD2},
     {0x06, 0x00, 0x14, 0x04, 0xD2},
     123.4},
    {"06 writes a negative value",
     {},
     1,
     {0x06, 0x00, 0x14, 0xFF, 0x38},
     {0x06, 0x00, 0x14, 0xFF, 0x38},
     -20.0},
    {"16 writes one register",
     {},
     1,
     {0x10, 0x00, 0x14, 0x00, 0x01, 0x02, 0x04, 0xD2},
     {0x10, 0x00, 0x14, 0x00, 0x01},
     123.4},
    {"negative scale multiplies", {}, 1, {0x06, 0x00, 0x15, 0x00, 0x07}, {0x86, 0x04}, 70.0},
    {"read-only in the model", {}, 1, {0x06, 0x00, 0x00, 0x00, 0x07}, {0x86, 0x02}, {}},
    {"two values in one write",
     {},
     1,
     {0x10, 0x00, 0x14, 0x00, 0x02, 0x04, 0x00, 0x01, 0x00, 0x02},
     {0x90, 0x02},
     {}},
    {"06 past the table", {}, 1, {0x06, 0x00, 0x3E, 0x00, 0x01}, {0x86, 0x02}, {}},
    {"06 to no such station", {}, 9, {0x06, 0x00, 0x14, 0x00, 0x01}, {0x86, 0x0A}, {}},
};

void ExpectReplies(std::span<const Case> cases, const StationTables& tables, ModbusFormat format) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeGateway gateway;
        ModbusRequestHandler handler(gateway, tables, c.order, {}, true, format);
        auto mapping = NewReplyMapping(tables);
        Wire wire;
        const auto request = Frame(c.unit, c.request);
        EXPECT_TRUE(handler.Answer(wire.ctx(), request, *mapping));
        EXPECT_EQ(wire.Sent(), Frame(c.unit, c.reply));
        const auto writes = gateway.Writes();
        ASSERT_EQ(writes.size(), c.written ? 1u : 0u);
        if (c.written) {
            EXPECT_EQ(writes[0].value, *c.written);
        }
    }
}

TEST(ModbusRequest, EachRequestGetsItsReply) {
    ExpectReplies(kCases, testing::FixedTables(), ModbusFormat::kFloat32);
}

TEST(ModbusRequest, EachInt16RequestGetsItsReply) {
    ExpectReplies(kInt16Cases, ScaledTables(), ModbusFormat::kInt16);
}

// Rounding and the ends of the 16 bits, both ways.
TEST(ModbusRegisterMap, Int16Scaling) {
    struct Row {
        double value;
        int scale;
        std::optional<std::int16_t> word;
    };
    const Row rows[] = {
        {12.35, 1, 124},       {-12.35, 1, -124},   {12.34, 1, 123},  {250, -1, 25},
        {32767, 0, 32767},     {-32768, 0, -32768}, {32767.5, 0, {}}, {-32768.6, 0, {}},
        {3276.7, 1, 32767},    {0.0001, 4, 1},      {99999, 0, {}},   {1e300, 6, {}},
        {std::nan(""), 0, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.value) + " at scale " + std::to_string(row.scale));
        const auto word = ScaledToWord(row.value, row.scale);
        ASSERT_EQ(word.has_value(), row.word.has_value());
        if (!word) continue;
        EXPECT_EQ(static_cast<std::int16_t>(*word), *row.word);
        // Back to the value the meter would be written, to the scale's last digit.
        EXPECT_NEAR(WordToScaled(*word, row.scale), row.value,
                    0.5 * std::pow(10.0, -row.scale) + 1e-9);
    }
    EXPECT_EQ(WordToScaled(0x04D2, 1), 123.4);
    EXPECT_EQ(WordToScaled(0xFFFF, 2), -0.01);
    EXPECT_EQ(WordToScaled(0x0007, -2), 700.0);
}

TEST(ModbusRequest, AnAcknowledgedWriteIsReadBack) {
    const auto tables = testing::FixedTables();
    FakeGateway gateway;
    ModbusRequestHandler handler(gateway, tables, WordOrder::kHighWordFirst);
    auto mapping = NewReplyMapping(tables);
    Wire wire;
    ASSERT_TRUE(handler.Answer(
        wire.ctx(), Frame(1, {0x10, 0x00, 0x28, 0x00, 0x02, 0x04, 0x41, 0x48, 0x00, 0x00}),
        *mapping));
    wire.Sent();
    ASSERT_TRUE(handler.Answer(wire.ctx(), Frame(1, {0x03, 0x00, 0x28, 0x00, 0x02}), *mapping));
    EXPECT_EQ(wire.Sent(), Frame(1, {0x03, 0x04, 0x41, 0x48, 0x00, 0x00}));
}

// A header that disagrees with the frame: nothing is sent and the client is to be closed.
TEST(ModbusRequest, AMalformedFrameIsNotAnswered) {
    const Bytes frames[] = {
        {0x12, 0x34, 0x00, 0x01, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x02},  // protocol 1
        {0x12, 0x34, 0x00, 0x00, 0x00, 0x09, 0x01, 0x03, 0x00, 0x00, 0x00, 0x02},  // length 9
        {0x12, 0x34, 0x00, 0x00, 0x00, 0x01, 0x01},                                // no function
        {0x12, 0x34, 0x00, 0x00, 0x00, 0x06, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x08},  // function FF
    };
    const auto tables = testing::FixedTables();
    for (const auto& frame : frames) {
        FakeGateway gateway;
        ModbusRequestHandler handler(gateway, tables, WordOrder::kHighWordFirst);
        auto mapping = NewReplyMapping(tables);
        Wire wire;
        EXPECT_FALSE(handler.Answer(wire.ctx(), frame, *mapping));
        EXPECT_TRUE(wire.Sent().empty());
    }
}

// A client outside the line's write_clients: every write function is answered 01 before the
// gateway hears of it and is counted; its reads are served as anyone's.
TEST(ModbusRequest, AClientThatMayNotWriteGetsIllegalFunctionForEveryWrite) {
    const Bytes writes[] = {
        {0x05, 0x00, 0x00, 0xFF, 0x00},                                            // one coil
        {0x06, 0x00, 0x28, 0x41, 0x48},                                            // one register
        {0x0F, 0x00, 0x00, 0x00, 0x01, 0x01, 0x01},                                // coils
        {0x10, 0x00, 0x28, 0x00, 0x02, 0x04, 0x41, 0x48, 0x00, 0x00},              // registers
        {0x16, 0x00, 0x28, 0xFF, 0xFF, 0x00, 0x00},                                // mask write
        {0x17, 0x00, 0x00, 0x00, 0x02, 0x00, 0x28, 0x00, 0x01, 0x02, 0x41, 0x48},  // read/write
    };
    const auto tables = testing::FixedTables();
    FakeGateway gateway;
    ModbusRequestHandler handler(gateway, tables, WordOrder::kHighWordFirst, "127.0.0.2:5000",
                                 false);
    auto mapping = NewReplyMapping(tables);
    std::uint64_t refused = 0;
    for (const Bytes& pdu : writes) {
        SCOPED_TRACE(static_cast<int>(pdu[0]));
        Wire wire;
        EXPECT_TRUE(handler.Answer(wire.ctx(), Frame(1, pdu), *mapping));
        EXPECT_EQ(wire.Sent(), Frame(1, {static_cast<std::uint8_t>(pdu[0] | 0x80), 0x01}));
        EXPECT_EQ(handler.WritesRefused(), ++refused);
    }
    EXPECT_TRUE(gateway.Writes().empty());
    Wire wire;
    EXPECT_TRUE(handler.Answer(wire.ctx(), Frame(1, {0x03, 0x00, 0x00, 0x00, 0x02}), *mapping));
    EXPECT_EQ(wire.Sent(), Frame(1, {0x03, 0x04, 0x41, 0xAC, 0x00, 0x00}));
    EXPECT_EQ(handler.WritesRefused(), refused);
}

}  // namespace
}  // namespace service
