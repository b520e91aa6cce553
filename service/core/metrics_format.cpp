#include "service/core/metrics_format.h"

#include <charconv>
#include <cmath>

#include "contract/meter_values.h"

namespace service {
namespace metrics {

void AppendNumber(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
    } else if (std::isinf(value)) {
        out += value > 0 ? "+Inf" : "-Inf";
    } else {
        // A meter's value as the meter sent it (99.95, not the 99.94999694824219 its float
        // widens to); any other number in its shortest text.
        char text[32];
        const auto end = std::to_chars(text, text + sizeof text, contract::MeterDecimal(value)).ptr;
        out.append(text, end);
    }
}

void AppendNumber(std::string& out, std::uint64_t value) {
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    out.append(text, end);
}

void Family(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void Sample(std::string& out, std::string_view name, std::string_view labels, double value) {
    out.append(name);
    if (!labels.empty()) out.append("{").append(labels).append("}");
    out += ' ';
    AppendNumber(out, value);
    out += '\n';
}

void Sample(std::string& out, std::string_view name, std::string_view labels, std::uint64_t value) {
    out.append(name);
    if (!labels.empty()) out.append("{").append(labels).append("}");
    out += ' ';
    AppendNumber(out, value);
    out += '\n';
}

void AppendLabel(std::string& out, std::string_view name, std::string_view value) {
    if (!out.empty()) out += ',';
    out.append(name).append("=\"").append(EscapeLabelValue(value)).append("\"");
}
}  // namespace metrics

std::string EscapeLabelValue(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace service
