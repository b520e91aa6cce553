// Everything a received block goes through: the receiver's end rule over a port whose bytes
// arrive split into reads and spread in time as the input chooses, then the judgement of the
// block, its data field, its decoding into an item of every type, and a whole transaction of
// either entry point and model over the same line.
//
// Input: direction, reply timeout, clock start, the transaction's shape, the bytes on the line,
// then (chunk length, delay) pairs that split them; what the pairs leave over arrives as one
// last chunk.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "contract/data_type.h"
#include "contract/value_fields.h"
#include "tests/support/fake_line.h"
#include "fuzz/fuzz_check.h"
#include "protocol/channel.h"
#include "protocol/frames.h"
#include "protocol/transactions.h"
#include "serial/serial_port.h"

namespace {

constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::size_t kGuard = 32;
constexpr std::uint8_t kGuardByte = 0xA5;

struct Outcome {
    bool complete = false;
    std::uint32_t length = 0;
};

// One receive over the fake line, with guard bytes after the reply buffer.
Outcome Receive(std::uint32_t tickStart, std::vector<fake_line::Arrival> arrivals,
                std::int32_t timeoutMs, std::array<std::uint8_t, protocol::kReplyBufferSize>& out) {
    std::array<std::uint8_t, protocol::kReplyBufferSize + kGuard> storage;
    storage.fill(kGuardByte);
    fake_line::Reset(tickStart, std::move(arrivals));
    constexpr std::uint32_t kUntouched = 0xDEADBEEF;
    std::uint32_t length = kUntouched;
    const std::span<std::uint8_t, protocol::kReplyBufferSize> buffer(storage.data(),
                                                                     protocol::kReplyBufferSize);
    const bool complete = serial::ReceiveFrame(fake_line::kPort, timeoutMs,
                                               &protocol::IsCompleteReply, buffer, length);

    // Nothing past the buffer; never longer than the deadline plus one pause.
    for (std::size_t i = protocol::kReplyBufferSize; i < storage.size(); ++i) {
        FUZZ_CHECK(storage[i] == kGuardByte);
    }
    FUZZ_CHECK(fake_line::ElapsedMs() <=
               static_cast<std::uint32_t>(timeoutMs) + serial::kPollIntervalMs);

    const auto& read = fake_line::BytesRead();
    FUZZ_CHECK(read.size() <= protocol::kReplyBufferSize);
    FUZZ_CHECK(std::equal(read.begin(), read.end(), storage.begin()));
    if (!complete) {
        FUZZ_CHECK(length == kUntouched);
        return {};
    }
    // A complete reply is everything read, and it meets the end rule: a lone byte other than
    // STX, or ETX just before the last byte.
    FUZZ_CHECK(length == read.size());
    FUZZ_CHECK(length >= 1);
    FUZZ_CHECK((length == 1 && storage[0] != kStx) || (length >= 2 && storage[length - 2] == kEtx));
    std::copy_n(storage.begin(), length, out.begin());
    return {true, length};
}

// The judgement of a complete block and what becomes of its data field.
void JudgeAndDecode(bool write, std::span<const std::uint8_t> block) {
    IoRequest request{};
    request.direction = write ? kDirectionWrite : kDirectionRead;
    const std::int32_t valid = protocol::ValidateReply(request, block);
    FUZZ_CHECK(valid == 0 || valid == 1);
    if (valid == 1 && !write) {
        // Never accepted with a wrong block check or out of frame.
        FUZZ_CHECK(block.size() >= protocol::kDataReplyLength);
        const auto frame = block.last(protocol::kDataReplyLength);
        FUZZ_CHECK(frame[0] == kStx && frame[9] == kEtx);
        std::uint8_t bcc = 0;
        for (std::size_t i = 1; i <= 9; ++i) bcc ^= frame[i];
        FUZZ_CHECK(bcc == frame[10]);
    }
    if (valid == 1 && write) {
        FUZZ_CHECK(block.back() == protocol::kAck || block.back() == protocol::kNak);
    }

    const std::string_view field = protocol::ReplyDataField(block);
    FUZZ_CHECK(field.empty() || field.size() == contract::kDataFieldLength);
    if (field.empty()) return;
    FUZZ_CHECK(field.data() == reinterpret_cast<const char*>(block.data()) + block.size() - 8);

    for (int bit = 0; bit < 16; ++bit) {
        const auto type = static_cast<std::uint16_t>(1u << bit);
        const auto decoded = contract::DecodeDataField(type, field);
        const bool known = type == kTypeBit || type == kTypeInt || type == kTypeFloat;
        if (!known) {
            FUZZ_CHECK(!decoded.has_value());
            continue;
        }
        if (type == kTypeBit) FUZZ_CHECK(decoded.has_value());
        if (type != kTypeBit) FUZZ_CHECK(decoded.has_value() == contract::IsNumberText(field));
        if (!decoded) continue;
        FUZZ_CHECK(decoded->type == type);

        // Stored in the width of its type: an INT leaves the slot's upper two bytes alone.
        ValueSlot slot;
        std::memset(slot.bytes, 0x5A, sizeof slot.bytes);
        decoded->StoreInto(slot);
        if (type == kTypeInt) {
            FUZZ_CHECK(slot.bytes[2] == 0x5A && slot.bytes[3] == 0x5A);
            FUZZ_CHECK(slot.asInt == decoded->integer);
        } else if (type == kTypeBit) {
            FUZZ_CHECK(slot.asBit == 0 || slot.asBit == 1);
        } else {
            FUZZ_CHECK(std::memcmp(&slot.asFloat, &decoded->real, sizeof(float)) == 0);
        }
    }
}

// A driver object's channel over the fake line: the request is kept, the reply collected by the
// real receiver, the pause taken on the fake clock.
class FakeChannel : public protocol::Channel {
public:
    explicit FakeChannel(std::int32_t timeoutMs) : timeoutMs_(timeoutMs) {}

    protocol::SendResult SendFrame(std::span<const std::uint8_t> frame) override {
        FUZZ_CHECK(!frame.empty() && frame.size() <= protocol::kMaxFrameLength);
        ++sent;
        return {static_cast<std::int32_t>(frame.size()), std::nullopt};
    }
    bool ReceiveFrame(std::span<std::uint8_t, protocol::kReplyBufferSize> buffer,
                      std::uint32_t& length) override {
        if (!serial::ReceiveFrame(fake_line::kPort, timeoutMs_, &protocol::IsCompleteReply, buffer,
                                  length)) {
            return false;
        }
        block.assign(buffer.begin(), buffer.begin() + length);
        return true;
    }
    std::int32_t BaudFactor() const override { return 1; }
    void Pause(std::uint32_t milliseconds) override { platform::SleepMs(milliseconds); }
    std::uint64_t Now() const override { return 0; }

    int sent = 0;
    std::vector<std::uint8_t> block;

private:
    std::int32_t timeoutMs_;
};

constexpr std::uint8_t kFill = 0x5A;

// One whole transaction over the fake line: a read or write of one to three items of any type,
// through either entry point, on either model. Host bytes are never written; a write stores
// nothing; a read that gives 0 on the extended entry point or the QM4720N path stores nothing;
// a read that gives 1 stored exactly the decoded field of an accepted block.
void RunTransaction(std::uint32_t shape, bool write, std::uint32_t tickStart,
                    std::vector<fake_line::Arrival> arrivals, std::int32_t timeoutMs) {
    const bool nModel = (shape & 1) != 0;
    const bool extended = (shape & 2) != 0;
    const std::size_t itemCount = 1 + (shape >> 2) % 3;
    constexpr std::array<std::uint16_t, 5> kTypes = {kTypeBit, kTypeInt, kTypeFloat, kTypeString,
                                                     0};

    std::vector<std::unique_ptr<IoItem>> items;
    std::vector<IoItemNode> nodes(itemCount);
    for (std::size_t i = 0; i < itemCount; ++i) {
        items.push_back(std::make_unique<IoItem>());
        std::memset(items.back().get(), kFill, sizeof(IoItem));
        items.back()->type = kTypes[(shape >> (4 + 3 * i)) % kTypes.size()];
        if (write) items.back()->value.asBit = static_cast<std::int32_t>(shape >> 13) % 2000;
    }
    for (std::size_t i = 0; i < itemCount; ++i) {
        nodes[i] = {i + 1 < itemCount ? &nodes[i + 1] : nullptr, i > 0 ? &nodes[i - 1] : nullptr,
                    items[i].get()};
    }
    std::vector<IoItem> before;
    for (const auto& item : items) before.push_back(*item);

    IoRequest request;
    std::memset(&request, 0, sizeof request);
    request.station = static_cast<std::int16_t>((shape >> 20) % 100);
    request.modelName = nModel ? "QM4720N" : "QM4720";
    request.registerText = write ? "SP" : "PV";
    request.registerIndex = write ? 13 : 4;
    request.direction = write ? kDirectionWrite : kDirectionRead;
    request.items.head = nodes.data();
    request.items.tail = &nodes.back();
    request.items.count = static_cast<std::int32_t>(itemCount);

    FakeChannel channel(timeoutMs);
    fake_line::Reset(tickStart, std::move(arrivals));
    const protocol::Outcome outcome = extended ? protocol::ExecuteRequestEx(channel, &request)
                                               : protocol::ExecuteRequest(channel, &request);
    const std::int32_t result = outcome.result;
    FUZZ_CHECK(result == 0 || result == 1);
    FUZZ_CHECK(channel.sent <= 1);
    FUZZ_CHECK(fake_line::ElapsedMs() <=
               30u + static_cast<std::uint32_t>(timeoutMs) + serial::kPollIntervalMs);

    const bool basicDefault = !extended && !nModel;
    for (std::size_t i = 0; i < itemCount; ++i) {
        const IoItem& now = *items[i];
        const IoItem& was = before[i];
        // Host bytes, reserved and type: never written.
        FUZZ_CHECK(std::memcmp(&now, &was, offsetof(IoItem, value)) == 0);
        FUZZ_CHECK(std::memcmp(now.host18, was.host18, sizeof now.host18) == 0);
        if (!(basicDefault && !write)) {
            FUZZ_CHECK(std::memcmp(&now.readValue, &was.readValue, sizeof now.readValue) == 0);
        }
        if (write || (result == 0 && !basicDefault)) {
            FUZZ_CHECK(std::memcmp(&now, &was, sizeof now) == 0);
            continue;
        }
        if (result == 0) continue;  // the basic entry point may store and still give 0

        // An accepted read: the block is a sound data reply and its field a number.
        FUZZ_CHECK(protocol::ValidateReply(request, channel.block) == 1);
        const std::string_view field = protocol::ReplyDataField(channel.block);
        FUZZ_CHECK(contract::IsNumberText(field));
        const bool decodes =
            now.type == kTypeInt || now.type == kTypeFloat || (now.type == kTypeBit && !nModel);
        ValueSlot expected = basicDefault ? was.readValue : was.value;
        if (decodes) contract::DecodeDataField(now.type, field)->StoreInto(expected);
        const ValueSlot& got = basicDefault ? now.readValue : now.value;
        FUZZ_CHECK(std::memcmp(&got, &expected, sizeof got) == 0);
        if (extended) {
            FUZZ_CHECK(now.quality == 192);
        } else {
            FUZZ_CHECK(now.quality == was.quality && now.timestampLow == was.timestampLow);
        }
    }
    // A read the extended entry point refused after a complete block: the reply error.
    if (!write && extended && result == 0 && !channel.block.empty()) {
        FUZZ_CHECK(outcome.failure == protocol::Failure::kReply);
    }
    if (!write && result == 0 && channel.sent == 1 && channel.block.empty()) {
        FUZZ_CHECK(outcome.failure == protocol::Failure::kTimeout);
    }
}

// True when no proper prefix of `bytes` meets the end rule, so that no split can end the receive
// before the whole reply is in.
bool EndsOnlyAtItsEnd(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 2) return true;
    if (bytes[0] != kStx) return false;
    for (std::size_t i = 0; i + 2 < bytes.size(); ++i) {
        if (bytes[i] == kEtx) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const bool write = input.ConsumeBool();
    const auto timeoutMs = input.ConsumeIntegralInRange<std::int32_t>(10, 2000);
    const auto tickStart = input.ConsumeIntegral<std::uint32_t>();
    const auto shape = input.ConsumeIntegral<std::uint32_t>();
    const auto lineLength = input.ConsumeIntegralInRange<std::size_t>(0, 1400);
    const std::vector<std::uint8_t> line = input.ConsumeBytes<std::uint8_t>(lineLength);

    std::vector<fake_line::Arrival> split;
    std::size_t offset = 0;
    std::uint32_t at = 0;
    while (offset < line.size()) {
        std::size_t chunk = line.size() - offset;
        if (input.remaining_bytes() > 0) {
            chunk = std::min(chunk, input.ConsumeIntegralInRange<std::size_t>(1, 64));
            at += input.ConsumeIntegralInRange<std::uint32_t>(0, 60);
        }
        split.push_back({at, {line.begin() + offset, line.begin() + offset + chunk}});
        offset += chunk;
    }
    const std::uint32_t lastArrival = at;

    RunTransaction(shape, write, tickStart, split, timeoutMs);

    std::array<std::uint8_t, protocol::kReplyBufferSize> splitBlock{};
    const Outcome splitOutcome = Receive(tickStart, split, timeoutMs, splitBlock);
    if (splitOutcome.complete) {
        JudgeAndDecode(write, std::span(splitBlock).first(splitOutcome.length));
    }

    // The same bytes arriving whole at the first poll.
    std::vector<fake_line::Arrival> whole;
    if (!line.empty()) whole.push_back({0, line});
    std::array<std::uint8_t, protocol::kReplyBufferSize> wholeBlock{};
    const Outcome wholeOutcome = Receive(tickStart, whole, timeoutMs, wholeBlock);
    if (wholeOutcome.complete) {
        JudgeAndDecode(write, std::span(wholeBlock).first(wholeOutcome.length));
    }

    // Where no split can end the reply early and every chunk is in before the last poll, the
    // verdict does not depend on the split.
    const bool inInTime =
        lastArrival + serial::kPollIntervalMs <= static_cast<std::uint32_t>(timeoutMs);
    if (inInTime && EndsOnlyAtItsEnd(line)) {
        FUZZ_CHECK(splitOutcome.complete == wholeOutcome.complete);
        if (splitOutcome.complete) {
            FUZZ_CHECK(splitOutcome.length == wholeOutcome.length);
            FUZZ_CHECK(std::equal(splitBlock.begin(), splitBlock.begin() + splitOutcome.length,
                                  wholeBlock.begin()));
        }
    }
    return 0;
}
