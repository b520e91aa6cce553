// What a write puts on the line: the meter takes a value as a six-character field, so a FLOAT
// with more digits than fit is rounded before it is sent. Hosts report and verify that value,
// not the one typed; the rounding rule is the protocol's own, not repeated here.
#pragma once

#include <cstdint>
#include <optional>

namespace host {

// The value the driver sends for `value` written as `type` (a DataType code). FLOAT: the number
// that the six-character field stands for (12.3456 is sent as 12.346, -12.345 as -12.35);
// nullopt when the field refuses it (10000 and above, -1000 and below, not finite). Other types:
// the value as it is.
std::optional<double> SentFieldValue(std::uint16_t type, double value);

// True when a value read back after a write is the value sent: equal up to a float's last digit.
bool ReadBackMatches(double readBack, double sent);

}  // namespace host
