#include "contract/message_codes.h"

#include <cstring>

#include "contract/data_type_messages.h"
#include "contract/messages.h"

namespace contract {
namespace {

// Every code the module records; the other entries of the table are never shown.
constexpr DriverError kRecordedCodes[] = {
    kErrorRegisterName, kErrorStation,    kErrorRegisterRange, kErrorDataType, kErrorTimeout,
    kErrorOpen,         kErrorValueRange, kErrorFormat,        kErrorReply,    kErrorBaudRange,
};

}  // namespace

std::int32_t DriverErrorOfMessage(const char* gbk) {
    if (gbk == nullptr) return kErrorNone;
    // Entry 3 of the module's table is whatever data-type message its latest refusal put there:
    // every data-type message stands for that code (type 0 gives the general one).
    for (unsigned bit = 0; bit <= 16; ++bit) {
        const auto type = static_cast<std::uint16_t>(bit == 16 ? 0 : 1u << bit);
        if (std::strcmp(gbk, DataTypeMessage(type)) == 0) return kErrorDataType;
    }
    for (const DriverError code : kRecordedCodes) {
        if (std::strcmp(gbk, MessageText(code)) == 0) return code;
    }
    return kErrorNone;
}

}  // namespace contract
