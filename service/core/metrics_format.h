// The Prometheus text exposition format (version 0.0.4) as every output writes its part of
// GET /metrics: a family's HELP and TYPE, a sample, a label, a number.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace service {

// `text` as a label value between double quotes: backslash, double quote and line feed escaped as
// \\, \" and \n; everything else (UTF-8 included) as it is.
std::string EscapeLabelValue(std::string_view text);

namespace metrics {

void Family(std::string& out, std::string_view name, std::string_view type, std::string_view help);
// `labels` as AppendLabel makes them, "" for none. Samples carry no timestamps: the scrape's time
// is the sample's.
void Sample(std::string& out, std::string_view name, std::string_view labels, double value);
void Sample(std::string& out, std::string_view name, std::string_view labels, std::uint64_t value);
// name="value" appended to `out`, after a comma when `out` already holds a label.
void AppendLabel(std::string& out, std::string_view name, std::string_view value);
// NaN, +Inf, -Inf; a meter's value as the meter sent it; any other number in its shortest text.
void AppendNumber(std::string& out, double value);
void AppendNumber(std::string& out, std::uint64_t value);

}  // namespace metrics
}  // namespace service
