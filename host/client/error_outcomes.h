// What a host program makes of a driver failure: a short outcome word (qm4720ctl's status column)
// and the English gloss shown after the driver's own message, both decided by the DriverError
// code. qm4720ctl and qm4720d say the same of the same failure.
#pragma once

#include <cstdint>
#include <string_view>

#include "contract/messages.h"

namespace host {

struct ErrorOutcome {
    std::int32_t code;         // DriverError
    std::string_view outcome;  // the status column: "timeout", "reply-error" or "error"
    std::string_view gloss;    // for the terminal, after the driver's message
};

inline constexpr ErrorOutcome kErrorOutcomes[] = {
    {contract::kErrorRegisterName, "error",
     "the register name is not one of the model's registers"},
    {contract::kErrorStation, "error",
     "the station number must be one or two digits (set by parameter 48 of the meter)"},
    {contract::kErrorRegisterRange, "error", "the register suffix is out of range"},
    {contract::kErrorDataType, "error",
     "the tag's data type does not match the register; the message names the type"},
    {contract::kErrorTimeout, "timeout", "timeout: the meter did not answer in time"},
    {contract::kErrorOpen, "error", "the serial port could not be opened or used"},
    {contract::kErrorValueRange, "error", "the value does not fit the meter's six-character field"},
    {contract::kErrorFormat, "error", "this value type cannot be written to this model"},
    {contract::kErrorReply, "reply-error",
     "the meter's reply was malformed or failed its block check"},
    {contract::kErrorBaudRange, "error", "the baud rate must be 300 to 9600"},
};

// The English gloss of DriverError `code`; empty for a code without one.
constexpr std::string_view Gloss(std::int32_t code) {
    for (const ErrorOutcome& entry : kErrorOutcomes) {
        if (entry.code == code) return entry.gloss;
    }
    return {};
}

// The outcome word of a failure with DriverError `code` ("error" for a code without one).
constexpr std::string_view FailureOutcome(std::int32_t code) {
    for (const ErrorOutcome& entry : kErrorOutcomes) {
        if (entry.code == code) return entry.outcome;
    }
    return "error";
}

}  // namespace host
