#include "tools/sim/wire.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sim {
namespace {

bool IsDigit(std::uint8_t c) {
    return c >= '0' && c <= '9';
}

// Mnemonics are two printable characters; a control character there means a broken frame.
bool IsMnemonicChar(std::uint8_t c) {
    return c > 0x20 && c < 0x7F;
}

// The longest text between STX and ETX that the parser waits for: a mnemonic and a field far
// longer than any request a host builds; anything longer is a runaway frame and is dropped.
constexpr std::size_t kMaxWriteText = 32;

}  // namespace

std::uint8_t BlockCheck(std::span<const std::uint8_t> bytes) {
    std::uint8_t bcc = 0;
    for (const std::uint8_t b : bytes) bcc ^= b;
    return bcc;
}

int StationFromField(std::span<const std::uint8_t> field) {
    if (field.size() != 4) return -1;
    for (const std::uint8_t c : field) {
        if (!IsDigit(c)) return -1;
    }
    if (field[0] != field[1] || field[2] != field[3]) return -1;
    return (field[0] - '0') * 10 + (field[2] - '0');
}

void RequestParser::Drop() {
    discarded_.insert(discarded_.end(), frame_.begin(), frame_.end());
    frame_.clear();
    state_ = State::kIdle;
}

std::vector<std::uint8_t> RequestParser::TakeDiscarded() {
    std::vector<std::uint8_t> out;
    out.swap(discarded_);
    return out;
}

std::optional<Request> RequestParser::Feed(std::uint8_t byte) {
    // The BCC may take any value, EOT included; everywhere else EOT starts a new frame.
    if (byte == kEot && state_ != State::kWriteBcc) {
        Drop();
        frame_.push_back(byte);
        state_ = State::kStation;
        return std::nullopt;
    }
    switch (state_) {
        case State::kIdle:
            discarded_.push_back(byte);
            return std::nullopt;
        case State::kStation:
            frame_.push_back(byte);
            if (frame_.size() == 5) state_ = State::kAfterStation;
            return std::nullopt;
        case State::kAfterStation:
            frame_.push_back(byte);
            if (byte == kStx) {
                state_ = State::kWriteText;
            } else if (IsMnemonicChar(byte)) {
                state_ = State::kReadMnemonic;
            } else {
                Drop();
            }
            return std::nullopt;
        case State::kReadMnemonic:
            frame_.push_back(byte);
            if (IsMnemonicChar(byte)) {
                state_ = State::kReadEnq;
            } else {
                Drop();
            }
            return std::nullopt;
        case State::kReadEnq: {
            frame_.push_back(byte);
            if (byte != kEnq) {
                Drop();
                return std::nullopt;
            }
            Request request;
            request.kind = RequestKind::kRead;
            request.station = StationFromField(std::span(frame_).subspan(1, 4));
            request.mnemonic.assign(frame_.begin() + 5, frame_.begin() + 7);
            request.raw.swap(frame_);
            state_ = State::kIdle;
            return request;
        }
        case State::kWriteText:
            frame_.push_back(byte);
            if (byte == kEtx) {
                state_ = State::kWriteBcc;
            } else if (frame_.size() > 6 + kMaxWriteText) {
                Drop();
            }
            return std::nullopt;
        case State::kWriteBcc: {
            frame_.push_back(byte);
            Request request;
            request.kind = RequestKind::kWrite;
            request.station = StationFromField(std::span(frame_).subspan(1, 4));
            // The text runs from after STX (offset 6) up to ETX (the byte before the BCC).
            const std::size_t etx = frame_.size() - 2;
            const std::size_t textSize = etx - 6;
            if (textSize >= 2) {
                request.mnemonic.assign(frame_.begin() + 6, frame_.begin() + 8);
                request.field.assign(frame_.begin() + 8, frame_.begin() + static_cast<long>(etx));
            } else {
                request.mnemonic.assign(frame_.begin() + 6,
                                        frame_.begin() + static_cast<long>(etx));
            }
            // The check covers the nine bytes that end with ETX; a frame too short to hold them
            // cannot be checked and counts as failing it.
            if (etx + 1 >= 9 + 6) {
                const auto covered = std::span(frame_).subspan(etx + 1 - 9, 9);
                request.blockCheckOk = BlockCheck(covered) == frame_.back();
            }
            request.raw.swap(frame_);
            state_ = State::kIdle;
            return request;
        }
    }
    return std::nullopt;
}

std::string FormatIntField(int value) {
    char text[16];
    if (value < 0) {
        std::snprintf(text, sizeof text, "-%05d", -value);
    } else {
        std::snprintf(text, sizeof text, "%06d", value);
    }
    return text;
}

std::string FormatFloatField(double value) {
    const bool negative = value < 0.0;
    const double magnitude = std::fabs(value);
    const std::size_t room = negative ? kFieldWidth - 1 : kFieldWidth;
    std::string digits;
    for (int decimals = 4; decimals >= 0; --decimals) {
        char text[64];
        std::snprintf(text, sizeof text, "%.*f", decimals, magnitude);
        digits = text;
        if (decimals == 0) {
            digits += '.';
        } else {
            while (digits.back() == '0' && digits[digits.size() - 2] != '.') digits.pop_back();
        }
        if (digits.size() <= room) break;
    }
    // A negative value that rounds to zero is written as zero: "-000.0" would be a negative zero.
    const bool showSign = negative && digits.find_first_not_of("0.") != std::string::npos;
    std::string field = showSign ? "-" : "";
    const std::size_t fill = kFieldWidth - (showSign ? 1 : 0);
    if (digits.size() < fill) field.append(fill - digits.size(), '0');
    field += digits;
    return field;
}

std::optional<double> ParseField(std::string_view field, bool allowPoint) {
    if (field.size() != kFieldWidth) return std::nullopt;
    bool point = false;
    bool anyDigit = false;
    for (std::size_t i = 0; i < field.size(); ++i) {
        const char c = field[i];
        if (c == '-' && i == 0) continue;
        if (c == '.' && allowPoint && !point) {
            point = true;
        } else if (c >= '0' && c <= '9') {
            anyDigit = true;
        } else {
            return std::nullopt;
        }
    }
    if (!anyDigit) return std::nullopt;
    // The characters are checked: the text is a plain decimal number that strtod reads whole.
    const std::string text(field);
    return std::strtod(text.c_str(), nullptr);
}

std::vector<std::uint8_t> BuildDataReply(std::string_view mnemonic, std::string_view field) {
    std::vector<std::uint8_t> reply;
    reply.reserve(1 + mnemonic.size() + field.size() + 2);
    reply.push_back(kStx);
    reply.insert(reply.end(), mnemonic.begin(), mnemonic.end());
    reply.insert(reply.end(), field.begin(), field.end());
    reply.push_back(kEtx);
    reply.push_back(BlockCheck(std::span(reply).subspan(1)));
    return reply;
}

}  // namespace sim
