#include "protocol/transactions.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "contract/data_type.h"
#include "contract/register_tables.h"
#include "contract/value_fields.h"
#include "protocol/frames.h"

namespace protocol {
namespace {

constexpr std::string_view kCommErrRegister = "CommErr";
constexpr std::uint32_t kPausePerBaudFactorMs = 30;
constexpr std::int16_t kQuality = 192;

// A null text inside a request counts as the empty text.
std::string_view TextOf(const char* text) {
    return text != nullptr ? text : std::string_view{};
}

// The pseudo-register that the extended entry point and the QM4720N path answer without asking
// the instrument: the whole text, letter case significant.
bool IsCommErr(const IoRequest& request) {
    return TextOf(request.registerText) == kCommErrRegister;
}

// A write to one of the live-value registers, which the instrument does not take: answered with
// success without traffic by the extended entry point and the QM4720N path.
bool IsWriteToReadOnly(const IoRequest& request) {
    return request.direction == kDirectionWrite && request.registerIndex >= 0 &&
           request.registerIndex <= contract::kLastReadOnlyIndex;
}

// What one exchange brought back, or why it brought nothing.
struct Exchange {
    std::array<std::uint8_t, kReplyBufferSize> reply{};
    std::uint32_t length = 0;
    bool collected = false;  // a reply block came back
    bool accepted = false;   // and it answers this request
    Outcome failed;          // when nothing was collected: the transaction's outcome

    std::span<const std::uint8_t> Block() const { return std::span(reply).first(length); }
    bool EndsWithAck() const { return length > 0 && reply[length - 1] == kAck; }
};

Outcome FailedWith(Failure failure, std::uint32_t systemError = 0) {
    return Outcome{0, failure, systemError};
}

// Why a request the builder refused fails: each refusal names the field of the request that the
// host got wrong, so that the host is never left with an earlier failure's reason.
Failure FailureOf(FrameRefusal refusal) {
    switch (refusal) {
        case FrameRefusal::kNone:
            break;
        case FrameRefusal::kStation:
            return Failure::kStation;
        case FrameRefusal::kRegisterIndex:
            return Failure::kRegisterRange;
        case FrameRefusal::kRegisterText:
            return Failure::kRegisterName;
        case FrameRefusal::kValueOutOfRange:
            return Failure::kValueRange;
        case FrameRefusal::kDirection:
        case FrameRefusal::kNoItem:
        case FrameRefusal::kTypeNotEncodable:
            return Failure::kFormat;
    }
    return Failure::kNone;
}

// Builds, sends, pauses, collects one block and judges it. When nothing was collected the
// outcome says why:
//  - a request the builder refuses: the field it refused (FailureOf);
//  - a failed write to the port: the port write, with the system's code;
//  - a write that put less than the whole frame on the line: the timeout;
//  - no complete reply in time: the timeout.
Exchange RunExchange(Channel& channel, const IoRequest& request, BuilderMember member) {
    Exchange exchange;
    std::array<std::uint8_t, kFrameBufferSize> frame{};
    std::int32_t length = 0;
    FrameRefusal refusal = FrameRefusal::kNone;
    if (BuildRequestFrame(member, request, frame, length, refusal) == 0) {
        exchange.failed = FailedWith(FailureOf(refusal));
        return exchange;
    }
    const SendResult sent = channel.SendFrame(
        std::span<const std::uint8_t>(frame).first(static_cast<std::size_t>(length)));
    if (sent.written < 0) {
        if (sent.systemError) exchange.failed = FailedWith(Failure::kPortWrite, *sent.systemError);
        return exchange;
    }
    // A line that does not drain ends the write at its timeout with the frame not out whole:
    // the instrument cannot answer a frame it never received.
    if (sent.written < length) {
        exchange.failed = FailedWith(Failure::kTimeout);
        return exchange;
    }
    // The instrument needs time to turn the line round before it answers; the slower the line,
    // the longer the pause.
    const std::int32_t factor = std::max<std::int32_t>(channel.BaudFactor(), 0);
    const std::uint32_t pauseMs = kPausePerBaudFactorMs * static_cast<std::uint32_t>(factor);
    channel.Pause(pauseMs);

    if (!channel.ReceiveFrame(exchange.reply, exchange.length)) {
        // The meter may answer after all, during whatever exchange comes next on the line.
        channel.ExpectLateAnswer(pauseMs);
        exchange.failed = FailedWith(Failure::kTimeout);
        return exchange;
    }
    exchange.collected = true;
    exchange.length = std::min<std::uint32_t>(exchange.length, kReplyBufferSize);
    // A data reply names its register: a reply to another register (a late answer to an
    // earlier request that came in during this one) is no answer to this request.
    exchange.accepted = ValidateReply(request, exchange.Block()) != 0 &&
                        (request.direction != kDirectionRead ||
                         ReplyNamesRegister(member, request, exchange.Block()));
    // A sound data reply that is not this request's answer (another register's, or any data
    // reply to a write) answers an earlier request: this one's own answer may still be on its
    // way. A damaged block or a NAK is this request's answer, spoilt or refused: nothing follows.
    if (!exchange.accepted && IsDataReply(exchange.Block())) channel.ExpectLateAnswer(pauseMs);
    return exchange;
}

// The data field of an accepted read reply, or nullopt when the reply was rejected or its field
// holds anything but digits, "." and "-" (both the reply failure). A field that is not a number
// is wrong data as much as a wrong block check: writing some number into the items and stamping
// them as fresh would show the host a value that was never read.
std::optional<std::string_view> ReadField(const Exchange& exchange) {
    const std::string_view field = ReplyDataField(exchange.Block());
    if (!exchange.accepted || !contract::IsNumberText(field)) return std::nullopt;
    return field;
}

void Stamp(IoItem& item, std::uint64_t fileTime) {
    item.timestampLow = static_cast<std::uint32_t>(fileTime);
    item.timestampHigh = static_cast<std::uint32_t>(fileTime >> 32);
    item.quality = kQuality;
}

}  // namespace

Outcome ExecuteRequest(Channel& channel, IoRequest* request) {
    if (request == nullptr) return {};
    if (contract::IsQM4720NModel(request->modelName)) {
        return ExecuteRequestQM4720N(channel, *request, false);
    }
    const Exchange exchange = RunExchange(channel, *request, BuilderMember::kDefaultModel);
    if (!exchange.collected) return exchange.failed;
    // The basic entry point has never reported a write as done, whatever the instrument said.
    if (request->direction != kDirectionRead) return {};
    const std::optional<std::string_view> field = ReadField(exchange);
    if (!field) return FailedWith(Failure::kReply);

    std::optional<double> storedLast;
    ForEachItem(*request, [&](IoItem& item) {
        if (const auto decoded = contract::DecodeDataField(item.type, *field)) {
            decoded->StoreInto(item.readValue);
            storedLast = decoded->AsNumber();
        }
    });
    // Nothing stored means nothing to judge: the read did not give the host a value.
    if (!storedLast) return {};
    return {*storedLast >= 0.0 && *storedLast <= 6.0 ? 1 : 0};
}

Outcome ExecuteRequestEx(Channel& channel, IoRequest* request) {
    if (request == nullptr) return {};
    if (contract::IsQM4720NModel(request->modelName)) {
        return ExecuteRequestQM4720N(channel, *request, true);
    }
    if (IsCommErr(*request) || IsWriteToReadOnly(*request)) return {1};
    const Exchange exchange = RunExchange(channel, *request, BuilderMember::kDefaultModel);
    if (!exchange.collected) return exchange.failed;
    if (request->direction != kDirectionRead) return {exchange.EndsWithAck() ? 1 : 0};
    const std::optional<std::string_view> field = ReadField(exchange);
    if (!field) return FailedWith(Failure::kReply);

    ForEachItem(*request, [&](IoItem& item) {
        if (const auto decoded = contract::DecodeDataField(item.type, *field))
            decoded->StoreInto(item.value);
        Stamp(item, channel.Now());
    });
    return {1};
}

Outcome ExecuteRequestQM4720N(Channel& channel, IoRequest& request, bool stampItems) {
    if (IsCommErr(request) || IsWriteToReadOnly(request)) return {1};
    const Exchange exchange = RunExchange(channel, request, BuilderMember::kQM4720N);
    if (!exchange.collected) return exchange.failed;
    if (request.direction != kDirectionRead) return {exchange.EndsWithAck() ? 1 : 0};
    const std::optional<std::string_view> field = ReadField(exchange);
    if (!field) return FailedWith(Failure::kReply);

    ForEachItem(request, [&](IoItem& item) {
        // This model's values are INT and FLOAT; a BIT item is not decoded.
        if (item.type == kTypeInt || item.type == kTypeFloat) {
            if (const auto decoded = contract::DecodeDataField(item.type, *field)) {
                decoded->StoreInto(item.value);
            }
        }
        if (stampItems) Stamp(item, channel.Now());
    });
    return {1};
}

Outcome ProbeDevice(Channel& channel, const char* modelName, std::int32_t station,
                    std::int32_t cookie) {
    if (modelName == nullptr) return {};
    // The probe's own request and item live on the stack for the one call: nothing to allocate,
    // so nothing can fail to be allocated.
    IoItem item;
    std::memset(&item, 0, sizeof item);
    item.type = kTypeInt;
    IoItemNode node{nullptr, nullptr, &item};
    IoRequest request;
    std::memset(&request, 0, sizeof request);
    request.station = static_cast<std::int16_t>(station);
    request.cookie = static_cast<std::uint32_t>(cookie);
    request.modelName = modelName;
    request.registerText = "EE";
    request.registerIndex = 0;  // EE is entry 0 of both register tables
    request.direction = kDirectionRead;
    request.items.head = &node;
    request.items.tail = &node;
    request.items.count = 1;
    request.items.blockSize = 10;
    Outcome outcome = ExecuteRequest(channel, &request);
    outcome.result = outcome.result != 0 ? 1 : 0;
    return outcome;
}

}  // namespace protocol
