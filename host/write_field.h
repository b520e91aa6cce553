// What a write puts on the line: the meter takes a value as a six-character field, so a FLOAT
// with more digits than fit is rounded before it is sent. write reports and verifies that value,
// not the one typed. qm4720ctl and the public C++ interface both send through it.
#pragma once

#include <cstdint>
#include <optional>

namespace host {

// The value the driver sends for `value` written as `type` (a DataType code). FLOAT: four
// decimals, or fewer until sign and digits fit six characters (12.3456 is sent as 12.346,
// -12.345 as -12.35), each rounded half away from zero on the value's first 17 significant
// digits, as the driver rounds; nullopt when even one decimal does not fit (10000 and above,
// -1000 and below) or the value is not finite. Other types: the value as it is.
std::optional<double> SentValue(std::uint16_t type, double value);

// True when a value read back after a write is the value sent: equal up to a float's last digit.
bool ReadBackMatches(double readBack, double sent);

}  // namespace host
