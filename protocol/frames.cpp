#include "protocol/frames.h"

#include "contract/data_type.h"
#include "contract/register_tables.h"
#include "contract/value_fields.h"

namespace protocol {
namespace {

// The two register characters that the member puts into the frame, or false when the request
// names no register this member can send.
bool MnemonicOf(BuilderMember member, const IoRequest& request, char (&mnemonic)[2]) {
    if (member == BuilderMember::kDefaultModel) {
        const auto table = contract::DefaultRegisterTable();
        if (request.registerIndex < 0 ||
            static_cast<std::size_t>(request.registerIndex) >= table.size()) {
            return false;
        }
        mnemonic[0] = table[request.registerIndex].mnemonic[0];
        mnemonic[1] = table[request.registerIndex].mnemonic[1];
        return true;
    }
    // Checked one character at a time, so that nothing past a short text's NUL is read.
    const char* text = request.registerText;
    if (text == nullptr || text[0] == '\0' || text[1] == '\0') return false;
    mnemonic[0] = text[0];
    mnemonic[1] = text[1];
    return true;
}

}  // namespace

std::int32_t BuildRequestFrame(BuilderMember member, const IoRequest& request,
                               std::span<std::uint8_t, kFrameBufferSize> buffer,
                               std::int32_t& length, FrameRefusal& refusal) {
    length = 0;
    const bool write = request.direction == kDirectionWrite;
    if (!write && request.direction != kDirectionRead) {
        refusal = FrameRefusal::kDirection;
        return 0;
    }
    // The station field has room for two digits; CheckStation admits nothing else, and a
    // station outside 0..99 would put a wrong address (or a "-") on the line.
    if (request.station < 0 || request.station > 99) {
        refusal = FrameRefusal::kStation;
        return 0;
    }
    char mnemonic[2];
    if (!MnemonicOf(member, request, mnemonic)) {
        refusal = member == BuilderMember::kDefaultModel ? FrameRefusal::kRegisterIndex
                                                         : FrameRefusal::kRegisterText;
        return 0;
    }

    contract::DataField field{};
    if (write) {
        const IoItem* item = FirstItem(request);
        if (item == nullptr) {
            refusal = FrameRefusal::kNoItem;
            return 0;
        }
        if (member == BuilderMember::kQM4720N && item->type != kTypeInt &&
            item->type != kTypeFloat) {
            refusal = FrameRefusal::kTypeNotEncodable;
            return 0;
        }
        switch (contract::EncodeDataField(item->type, item->value, field)) {
            case contract::EncodeRefusal::kNone:
                break;
            case contract::EncodeRefusal::kValueOutOfRange:
                refusal = FrameRefusal::kValueOutOfRange;
                return 0;
            case contract::EncodeRefusal::kTypeNotEncodable:
                refusal = FrameRefusal::kTypeNotEncodable;
                return 0;
        }
    }

    const auto c1 = static_cast<std::uint8_t>('0' + request.station / 10);
    const auto c2 = static_cast<std::uint8_t>('0' + request.station % 10);
    std::size_t at = 0;
    buffer[at++] = kEot;
    buffer[at++] = c1;
    buffer[at++] = c1;
    buffer[at++] = c2;
    buffer[at++] = c2;
    if (!write) {
        buffer[at++] = static_cast<std::uint8_t>(mnemonic[0]);
        buffer[at++] = static_cast<std::uint8_t>(mnemonic[1]);
        buffer[at++] = kEnq;
    } else {
        buffer[at++] = kStx;
        const std::size_t checked = at;  // the block check starts at the mnemonic
        buffer[at++] = static_cast<std::uint8_t>(mnemonic[0]);
        buffer[at++] = static_cast<std::uint8_t>(mnemonic[1]);
        for (char c : field) buffer[at++] = static_cast<std::uint8_t>(c);
        buffer[at++] = kEtx;
        const std::uint8_t bcc =
            ComputeBcc(std::span<const std::uint8_t>(buffer).subspan(checked, kBccSpan));
        buffer[at++] = bcc;
    }
    length = static_cast<std::int32_t>(at);
    refusal = FrameRefusal::kNone;
    return 1;
}

std::uint8_t ComputeBcc(std::span<const std::uint8_t> bytes) {
    std::uint8_t bcc = 0;
    for (std::uint8_t b : bytes) bcc ^= b;
    return bcc;
}

std::int32_t ValidateReply(const IoRequest& request, std::span<const std::uint8_t> block) {
    if (request.direction == kDirectionWrite) {
        return !block.empty() && (block.back() == kAck || block.back() == kNak) ? 1 : 0;
    }
    return request.direction == kDirectionRead && IsDataReply(block) ? 1 : 0;
}

bool IsDataReply(std::span<const std::uint8_t> block) {
    if (block.size() < kDataReplyLength) return false;
    const auto reply = block.last(kDataReplyLength);
    if (reply[0] != kStx || reply[kDataReplyLength - 2] != kEtx) return false;
    return reply[kDataReplyLength - 1] == ComputeBcc(reply.subspan(1, kBccSpan));
}

bool ReplyNamesRegister(BuilderMember member, const IoRequest& request,
                        std::span<const std::uint8_t> block) {
    char mnemonic[2];
    if (block.size() < kDataReplyLength || !MnemonicOf(member, request, mnemonic)) return false;
    const auto reply = block.last(kDataReplyLength);
    return reply[1] == static_cast<std::uint8_t>(mnemonic[0]) &&
           reply[2] == static_cast<std::uint8_t>(mnemonic[1]);
}

std::string_view ReplyDataField(std::span<const std::uint8_t> block) {
    if (block.size() < kDataReplyLength) return {};
    const auto field = block.last(kDataReplyLength).subspan(3, contract::kDataFieldLength);
    return {reinterpret_cast<const char*>(field.data()), field.size()};
}

}  // namespace protocol
