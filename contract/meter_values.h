// What a write puts on the line, and how a meter's number is told: the meter takes a value as a
// six-character field, so a FLOAT with more digits than fit is rounded before it is sent, and an
// INT is a 16-bit whole number. Every host (qm4720ctl, the library, each front end of qm4720d)
// refuses what does not fit before the line and reports the value sent, not the one typed.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace contract {

// The value the meter would hold after a write of `value` as `type` (a DataType code), or why
// it cannot take it.
struct WriteFit {
    std::optional<double> sent;  // nullopt: refused; `refusal` says why
    std::string_view refusal;    // English, for after "REGISTER: "; empty when it fits
};

// INT: whole and within -32768..32767, sent as it is. FLOAT: the number the six-character field
// stands for (12.3456 is sent as 12.346, -12.345 as -12.35), as MeterDecimal gives it; refused
// from 10000 up and from -1000 down. BIT: 0 or 1. Nothing that is not finite.
WriteFit FitWrite(std::uint16_t type, double value);

// The number a meter's single-precision value stands for: the shortest decimal that reads back
// as the same float (99.95, not 99.94999694824219), as the double nearest it. Every output that
// prints a meter's FLOAT gives this, so that each says the number the meter sent.
double MeterDecimal(float value);
// The same for a double that holds a float exactly (an INT or BIT is unchanged); any other
// double, such as one already passed through MeterDecimal, is returned as it is.
double MeterDecimal(double value);

// True when a value read back after a write is the value sent: equal up to a float's last digit.
bool ReadBackMatches(double readBack, double sent);

}  // namespace contract
