// The texts of the public C++ interface that every program of ours reads the same way: the names
// of the data types and parities, and a serial line's settings written as "9600,8N1".
#include <charconv>
#include <string>

#include "qm4720/qm4720.hpp"

namespace qm4720 {
namespace {

constexpr struct {
    DataType type;
    const char* name;
} kDataTypeNames[] = {
    {DataType::kBit, "BIT"},         {DataType::kByte, "BYTE"},   {DataType::kInt, "INT"},
    {DataType::kUint, "UINT"},       {DataType::kBcd, "BCD"},     {DataType::kLong, "LONG"},
    {DataType::kLongBcd, "LONGBCD"}, {DataType::kFloat, "FLOAT"}, {DataType::kString, "STRING"},
};

constexpr struct {
    Parity parity;
    const char* name;
    char letter;
} kParityNames[] = {
    {Parity::kNone, "none", 'N'}, {Parity::kOdd, "odd", 'O'},     {Parity::kEven, "even", 'E'},
    {Parity::kMark, "mark", 'M'}, {Parity::kSpace, "space", 'S'},
};

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameLetters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Upper(a[i]) != Upper(b[i])) return false;
    }
    return true;
}

Error Usage(std::string message) {
    return Error{ErrorCode::kUsage, std::move(message), {}};
}

// A whole decimal number and nothing else.
bool WholeNumber(std::string_view text, int& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

const char* DataTypeName(DataType type) {
    for (const auto& entry : kDataTypeNames) {
        if (entry.type == type) return entry.name;
    }
    return "?";
}

bool DataTypeFromName(std::string_view name, DataType& type) {
    for (const auto& entry : kDataTypeNames) {
        if (name == entry.name) {
            type = entry.type;
            return true;
        }
    }
    return false;
}

const char* ParityName(Parity parity) {
    for (const auto& entry : kParityNames) {
        if (entry.parity == parity) return entry.name;
    }
    return "?";
}

Error ParseParity(std::string_view text, Parity& parity) {
    for (const auto& entry : kParityNames) {
        if (SameLetters(text, entry.name) || (text.size() == 1 && Upper(text[0]) == entry.letter)) {
            parity = entry.parity;
            return {};
        }
    }
    return Usage("parity '" + std::string(text) + "': expected none, odd, even, mark or space");
}

Error CheckLine(const LineSettings& line) {
    // The driver's own code for it, as when the driver refuses it.
    if (line.baud < 300 || line.baud > 9600) {
        return Error{ErrorCode::kBaudRange,
                     "baud " + std::to_string(line.baud) + ": expected 300..9600",
                     {}};
    }
    if (line.dataBits < 5 || line.dataBits > 8) {
        return Usage("data bits " + std::to_string(line.dataBits) + ": expected 5..8");
    }
    if (line.stopBits != 1 && line.stopBits != 2) {
        return Usage("stop bits " + std::to_string(line.stopBits) + ": expected 1 or 2");
    }
    if (ParityName(line.parity)[0] == '?') return Usage("parity: not one of Parity's values");
    // Below 10 ms the driver waits 1000 ms instead: refused rather than silently changed.
    if (line.replyTimeoutMs < 10 || line.replyTimeoutMs > 32767) {
        return Usage("reply timeout " + std::to_string(line.replyTimeoutMs) +
                     " ms: expected 10..32767 ms");
    }
    return {};
}

LineSettingsResult ParseLineSettings(std::string_view text, const LineSettings& base) {
    LineSettingsResult result{base, {}};
    LineSettings& line = result.settings;
    const std::string quoted = "line settings '" + std::string(text) + "': ";
    const std::size_t firstComma = text.find(',');
    const std::string_view baud = text.substr(0, firstComma);
    if (!WholeNumber(baud, line.baud)) {
        result.error = Usage(quoted + "the baud rate '" + std::string(baud) +
                             "' is not a number (expected the form 9600,8N1 or 9600,8N1,400)");
        return result;
    }
    if (firstComma != std::string_view::npos) {
        const std::string_view rest = text.substr(firstComma + 1);
        const std::size_t secondComma = rest.find(',');
        const std::string_view frame = rest.substr(0, secondComma);
        Parity parity = line.parity;
        if (frame.size() != 3 || frame[0] < '5' || frame[0] > '8' ||
            ParseParity(frame.substr(1, 1), parity) || (frame[2] != '1' && frame[2] != '2')) {
            result.error = Usage(quoted + "the frame '" + std::string(frame) +
                                 "' is not data bits 5..8, parity N O E M or S and stop bits "
                                 "1 or 2, as in 8N1");
            return result;
        }
        line.dataBits = frame[0] - '0';
        line.parity = parity;
        line.stopBits = frame[2] - '0';
        if (secondComma != std::string_view::npos) {
            const std::string_view timeout = rest.substr(secondComma + 1);
            if (!WholeNumber(timeout, line.replyTimeoutMs)) {
                result.error = Usage(quoted + "the reply timeout '" + std::string(timeout) +
                                     "' is not a number of milliseconds");
                return result;
            }
        }
    }
    if (Error range = CheckLine(line)) {
        result.error = Error{range.code, quoted + range.message, {}};
    }
    return result;
}

}  // namespace qm4720
