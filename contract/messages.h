// The module's message table: 17 GBK texts that GetErrorText hands to the host, indexed by
// DriverError code. The module replaces entry 3 at run time with the data-type message of each
// data-type refusal (driver/error_text.h); here it is the text the module starts with.
#pragma once

#include <cstdint>

#include <qm4720/qm4720.h>

namespace contract {

// DriverError: the value of m_nError. -1 is "none"; the others index the message table. The
// codes are the public header's (QM4720DriverError).
enum DriverError : std::int32_t {
    kErrorNone = QM4720_ERROR_NONE,
    kErrorRegisterName = QM4720_ERROR_REGISTER_NAME,
    kErrorStation = QM4720_ERROR_STATION,
    kErrorRegisterRange = QM4720_ERROR_REGISTER_RANGE,
    kErrorDataType = QM4720_ERROR_DATA_TYPE,
    kErrorTimeout = QM4720_ERROR_TIMEOUT,
    kErrorOpen = QM4720_ERROR_OPEN,
    kErrorValueRange = QM4720_ERROR_VALUE_RANGE,
    kErrorFormat = QM4720_ERROR_FORMAT,
    kErrorReply = QM4720_ERROR_REPLY,
    kErrorBaudRange = QM4720_ERROR_BAUD_RANGE,
};

inline constexpr int kMessageCount = 17;

// The text of entry `index` as the module is loaded with it, or null for an index outside 0..16.
const char* MessageText(std::int32_t index);

}  // namespace contract
