// The driver's failure codes as a host sees them. The interfaces hand out the reason of a failure
// only as the module's GBK text (GetErrorText); the module and its hosts build their texts from
// this library's one table, so the text names its DriverError code exactly. Hosts ask here, in
// this one place, and decide by the code from then on.
#pragma once

#include <cstdint>

namespace contract {

// The DriverError code whose message `gbk` is: kErrorDataType for every data-type message of a
// refused tag; kErrorNone for null, for a text the module does not have, and for the entries of
// the message table that no DriverError code selects.
std::int32_t DriverErrorOfMessage(const char* gbk);

}  // namespace contract
