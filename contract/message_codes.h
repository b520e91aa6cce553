// The driver's failure codes as a host sees them. The interfaces hand out the reason of a failure
// only as the module's GBK text (GetErrorText): this maps such a text back to its DriverError
// code (driver/messages.h), in this one place, so that hosts decide by code and never by comparing
// message texts.
#pragma once

#include <cstdint>

namespace host {

// The DriverError code whose message `gbk` is: kErrorDataType for every data-type message of a
// refused tag; kErrorNone for null or a text the module does not have.
std::int32_t DriverErrorOfMessage(const char* gbk);

}  // namespace host
