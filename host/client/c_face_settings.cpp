#include "host/client/c_face_settings.h"

#include <charconv>
#include <cstdint>

namespace host {
namespace {

// Which items a text has named: each may come once, so that "9600,4800" is a mistake, not 4800.
enum Item : unsigned { kBaud = 1, kFraming = 2, kTimeout = 4, kModel = 8, kModule = 16 };

bool WholeNumber(std::string_view text, int& number) {
    if (text.empty() || text.size() > 6) return false;
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), number);
    return failure == std::errc{} && end == text.data() + text.size() && number >= 0;
}

// "8N1": data bits 5..8, parity letter, stop bits 1 or 2.
bool Framing(std::string_view text, qm4720::OpenOptions& options) {
    if (text.size() != 3 || text[0] < '5' || text[0] > '8' || (text[2] != '1' && text[2] != '2')) {
        return false;
    }
    constexpr struct {
        char letter;
        qm4720::Parity parity;
    } kParities[] = {{'N', qm4720::Parity::kNone},
                     {'O', qm4720::Parity::kOdd},
                     {'E', qm4720::Parity::kEven},
                     {'M', qm4720::Parity::kMark},
                     {'S', qm4720::Parity::kSpace}};
    for (const auto& entry : kParities) {
        if (entry.letter == text[1]) {
            options.dataBits = text[0] - '0';
            options.parity = entry.parity;
            options.stopBits = text[2] - '0';
            return true;
        }
    }
    return false;
}

bool ApplyItem(std::string_view item, qm4720::OpenOptions& options, unsigned& seen,
               std::string& error) {
    const auto once = [&](Item which) {
        if ((seen & which) != 0) {
            error = "settings: '" + std::string(item) + "' repeats an item already given";
            return false;
        }
        seen |= which;
        return true;
    };
    const std::size_t equals = item.find('=');
    if (equals == std::string_view::npos) {
        int baud = 0;
        if (WholeNumber(item, baud)) {
            options.baud = baud;
            return once(kBaud);
        }
        if (Framing(item, options)) return once(kFraming);
    } else {
        const std::string_view key = item.substr(0, equals);
        const std::string_view value = item.substr(equals + 1);
        if (key == "timeout") {
            int timeout = 0;
            if (!WholeNumber(value, timeout)) {
                error = "settings: timeout=" + std::string(value) + ": expected milliseconds";
                return false;
            }
            options.replyTimeoutMs = timeout;
            return once(kTimeout);
        }
        if (key == "model") {
            options.model = std::string(value);
            return once(kModel);
        }
        if (key == "module" && !value.empty()) {
            options.modulePath = std::string(value);
            return once(kModule);
        }
    }
    error = "settings: '" + std::string(item) +
            "': expected a baud rate (9600), a framing (8N1), timeout=MS, model=NAME or "
            "module=PATH";
    return false;
}

}  // namespace

bool ParseOpenSettings(std::string_view text, qm4720::OpenOptions& options, std::string& error) {
    if (text.empty()) return true;
    unsigned seen = 0;
    // A trailing or doubled comma gives an empty item, which no item accepts.
    for (;;) {
        const std::size_t comma = text.find(',');
        if (!ApplyItem(text.substr(0, comma), options, seen, error)) return false;
        if (comma == std::string_view::npos) return true;
        text.remove_prefix(comma + 1);
    }
}

}  // namespace host
