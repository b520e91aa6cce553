// Everything a received block goes through: the receiver's end rule over a port whose bytes
// arrive split into reads and spread in time as the input chooses, then the judgement of the
// block, its data field, and its decoding into an item of every type.
//
// Input: direction, reply timeout, clock start, the bytes on the line, then (chunk length,
// delay) pairs that split them; what the pairs leave over arrives as one last chunk.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "fuzz/fake_line.h"
#include "fuzz/fuzz_check.h"
#include "protocol/frames.h"
#include "protocol/value_fields.h"
#include "records/data_type.h"
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
                std::int32_t timeoutMs, std::array<std::uint8_t, serial::kReplyBufferSize>& out) {
    std::array<std::uint8_t, serial::kReplyBufferSize + kGuard> storage;
    storage.fill(kGuardByte);
    fake_line::Reset(tickStart, std::move(arrivals));
    constexpr std::uint32_t kUntouched = 0xDEADBEEF;
    std::uint32_t length = kUntouched;
    const std::span<std::uint8_t, serial::kReplyBufferSize> buffer(storage.data(),
                                                                   serial::kReplyBufferSize);
    const bool complete = serial::ReceiveFrame(fake_line::kPort, timeoutMs, buffer, length);

    // Nothing past the buffer; never longer than the deadline plus one pause.
    for (std::size_t i = serial::kReplyBufferSize; i < storage.size(); ++i) {
        FUZZ_CHECK(storage[i] == kGuardByte);
    }
    FUZZ_CHECK(fake_line::ElapsedMs() <=
               static_cast<std::uint32_t>(timeoutMs) + serial::kPollIntervalMs);

    const auto& read = fake_line::BytesRead();
    FUZZ_CHECK(read.size() <= serial::kReplyBufferSize);
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
    FUZZ_CHECK(field.empty() || field.size() == protocol::kDataFieldLength);
    if (field.empty()) return;
    FUZZ_CHECK(field.data() == reinterpret_cast<const char*>(block.data()) + block.size() - 8);

    for (int bit = 0; bit < 16; ++bit) {
        const auto type = static_cast<std::uint16_t>(1u << bit);
        const auto decoded = protocol::DecodeDataField(type, field);
        const bool known = type == kTypeBit || type == kTypeInt || type == kTypeFloat;
        if (!known) {
            FUZZ_CHECK(!decoded.has_value());
            continue;
        }
        if (type == kTypeBit) FUZZ_CHECK(decoded.has_value());
        if (type != kTypeBit) FUZZ_CHECK(decoded.has_value() == protocol::IsNumberText(field));
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

    std::array<std::uint8_t, serial::kReplyBufferSize> splitBlock{};
    const Outcome splitOutcome = Receive(tickStart, split, timeoutMs, splitBlock);
    if (splitOutcome.complete) {
        JudgeAndDecode(write, std::span(splitBlock).first(splitOutcome.length));
    }

    // The same bytes arriving whole at the first poll.
    std::vector<fake_line::Arrival> whole;
    if (!line.empty()) whole.push_back({0, line});
    std::array<std::uint8_t, serial::kReplyBufferSize> wholeBlock{};
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
