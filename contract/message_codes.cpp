#include "host/driver_messages.h"

#include <cstring>

#include "catalogue/data_type_messages.h"
#include "driver/messages.h"

namespace host {

std::int32_t DriverErrorOfMessage(const char* gbk) {
    if (gbk == nullptr) return driver::kErrorNone;
    // Entry 3 of the module's table is whatever data-type message the module's latest refusal put
    // there, and this process's copy of the table does not see it: every data-type message is
    // compared instead (type 0 gives the general one).
    for (unsigned bit = 0; bit <= 16; ++bit) {
        const auto type = static_cast<std::uint16_t>(bit == 16 ? 0 : 1u << bit);
        if (std::strcmp(gbk, catalogue::DataTypeMessage(type)) == 0) return driver::kErrorDataType;
    }
    for (std::int32_t code = 0; code < driver::kMessageCount; ++code) {
        if (std::strcmp(gbk, driver::MessageText(code)) == 0) return code;
    }
    return driver::kErrorNone;
}

}  // namespace host
