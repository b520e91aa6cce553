#include "protocol/transactions.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "catalogue/register_tables.h"
#include "driver/messages.h"
#include "platform/platform.h"
#include "protocol/frames.h"
#include "protocol/value_fields.h"
#include "records/data_type.h"

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
           request.registerIndex <= catalogue::kLastReadOnlyIndex;
}

// What one exchange brought back.
struct Exchange {
    std::array<std::uint8_t, kReplyBufferSize> reply{};
    std::uint32_t length = 0;
    bool accepted = false;

    std::span<const std::uint8_t> Block() const { return std::span(reply).first(length); }
    bool EndsWithAck() const { return length > 0 && reply[length - 1] == kAck; }
};

// Builds, sends, pauses, collects one block and judges it. nullopt when the exchange failed; the
// reason is then recorded, or deliberately left as it was:
//  - a write whose value the builder cannot put into six characters: the value range error;
//  - a write of a type the builder cannot encode: the command or data format error;
//  - a request the builder refuses for its direction, station or register: nothing recorded;
//  - a failed write to the port: what the channel recorded;
//  - a write that put less than the whole frame on the line: the timeout error;
//  - no complete reply in time: the timeout error.
std::optional<Exchange> RunExchange(Channel& channel, const IoRequest& request,
                                    BuilderMember member) {
    std::array<std::uint8_t, kFrameBufferSize> frame{};
    std::int32_t length = 0;
    FrameRefusal refusal = FrameRefusal::kNone;
    if (BuildRequestFrame(member, request, frame, length, refusal) == 0) {
        if (refusal == FrameRefusal::kValueOutOfRange) {
            channel.RecordError(driver::kErrorValueRange);
        } else if (refusal == FrameRefusal::kTypeNotEncodable) {
            channel.RecordError(driver::kErrorFormat);
        }
        return std::nullopt;
    }
    const std::int32_t sent = channel.SendFrame(
        std::span<const std::uint8_t>(frame).first(static_cast<std::size_t>(length)));
    if (sent < 0) return std::nullopt;
    // A line that does not drain ends the write at its timeout with the frame not out whole:
    // the instrument cannot answer a frame it never received.
    if (sent < length) {
        channel.RecordError(driver::kErrorTimeout);
        return std::nullopt;
    }
    // The instrument needs time to turn the line round before it answers; the slower the line,
    // the longer the pause.
    const std::int32_t factor = std::max<std::int32_t>(channel.BaudFactor(), 0);
    channel.Pause(kPausePerBaudFactorMs * static_cast<std::uint32_t>(factor));

    Exchange exchange;
    if (!channel.ReceiveFrame(exchange.reply, exchange.length)) {
        channel.RecordError(driver::kErrorTimeout);
        return std::nullopt;
    }
    exchange.length = std::min<std::uint32_t>(exchange.length, kReplyBufferSize);
    // A data reply names its register: a reply to another register (a late answer to an
    // earlier request that came in during this one) is no answer to this request.
    exchange.accepted = ValidateReply(request, exchange.Block()) != 0 &&
                        (request.direction != kDirectionRead ||
                         ReplyNamesRegister(member, request, exchange.Block()));
    return exchange;
}

// The data field of an accepted read reply, or nullopt (reply error recorded) when the reply was
// rejected or its field holds anything but digits, "." and "-". A field that is not a number is
// wrong data as much as a wrong block check: writing some number into the items and stamping
// them as fresh would show the host a value that was never read.
std::optional<std::string_view> ReadField(Channel& channel, const Exchange& exchange) {
    const std::string_view field = ReplyDataField(exchange.Block());
    if (!exchange.accepted || !IsNumberText(field)) {
        channel.RecordError(driver::kErrorReply);
        return std::nullopt;
    }
    return field;
}

void Stamp(IoItem& item) {
    const FILETIME now = platform::FileTimeNow();
    item.timestampLow = now.dwLowDateTime;
    item.timestampHigh = now.dwHighDateTime;
    item.quality = kQuality;
}

}  // namespace

std::int32_t ExecuteRequest(Channel& channel, IoRequest* request) {
    if (request == nullptr) return 0;
    if (catalogue::IsQm4720nModel(request->modelName)) {
        return ExecuteRequestQM4720N(channel, *request, false);
    }
    const std::optional<Exchange> exchange =
        RunExchange(channel, *request, BuilderMember::kDefaultModel);
    if (!exchange) return 0;
    // The basic entry point has never reported a write as done, whatever the instrument said.
    if (request->direction != kDirectionRead) return 0;
    const std::optional<std::string_view> field = ReadField(channel, *exchange);
    if (!field) return 0;

    std::optional<double> storedLast;
    ForEachItem(*request, [&](IoItem& item) {
        if (const auto decoded = DecodeDataField(item.type, *field)) {
            decoded->StoreInto(item.readValue);
            storedLast = decoded->AsNumber();
        }
    });
    // Nothing stored means nothing to judge: the read did not give the host a value.
    if (!storedLast) return 0;
    return *storedLast >= 0.0 && *storedLast <= 6.0 ? 1 : 0;
}

std::int32_t ExecuteRequestEx(Channel& channel, IoRequest* request) {
    if (request == nullptr) return 0;
    if (catalogue::IsQm4720nModel(request->modelName)) {
        return ExecuteRequestQM4720N(channel, *request, true);
    }
    if (IsCommErr(*request) || IsWriteToReadOnly(*request)) return 1;
    const std::optional<Exchange> exchange =
        RunExchange(channel, *request, BuilderMember::kDefaultModel);
    if (!exchange) return 0;
    if (request->direction != kDirectionRead) return exchange->EndsWithAck() ? 1 : 0;
    const std::optional<std::string_view> field = ReadField(channel, *exchange);
    if (!field) return 0;

    ForEachItem(*request, [&](IoItem& item) {
        if (const auto decoded = DecodeDataField(item.type, *field)) decoded->StoreInto(item.value);
        Stamp(item);
    });
    return 1;
}

std::int32_t ExecuteRequestQM4720N(Channel& channel, IoRequest& request, bool stampItems) {
    if (IsCommErr(request) || IsWriteToReadOnly(request)) return 1;
    const std::optional<Exchange> exchange = RunExchange(channel, request, BuilderMember::kQm4720n);
    if (!exchange) return 0;
    if (request.direction != kDirectionRead) return exchange->EndsWithAck() ? 1 : 0;
    const std::optional<std::string_view> field = ReadField(channel, *exchange);
    if (!field) return 0;

    ForEachItem(request, [&](IoItem& item) {
        // This model's values are INT and FLOAT; a BIT item is not decoded.
        if (item.type == kTypeInt || item.type == kTypeFloat) {
            if (const auto decoded = DecodeDataField(item.type, *field)) {
                decoded->StoreInto(item.value);
            }
        }
        if (stampItems) Stamp(item);
    });
    return 1;
}

std::int32_t ProbeDevice(Channel& channel, const char* modelName, std::int32_t station,
                         std::int32_t cookie) {
    if (modelName == nullptr) return 0;
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
    return ExecuteRequest(channel, &request) != 0 ? 1 : 0;
}

}  // namespace protocol
