// The module's message table: 17 GBK texts that GetErrorText hands to the host, indexed by
// DriverError code. Entry 3 is replaced at run time by the data-type message of each data-type
// refusal, for every driver object of the module at once.
#pragma once

#include <cstdint>

namespace driver {

// DriverError: the value of m_nError. -1 is "none"; the others index the message table.
enum DriverError : std::int32_t {
    kErrorNone = -1,
    kErrorRegisterName = 0,
    kErrorStation = 1,
    kErrorRegisterRange = 2,
    kErrorDataType = 3,
    kErrorTimeout = 7,
    kErrorOpen = 10,
    kErrorValueRange = 12,
    kErrorFormat = 13,
    kErrorReply = 15,
    kErrorBaudRange = 16,
};

inline constexpr int kMessageCount = 17;

// The text of entry `index`, or null for an index outside 0..16. Entry 3 is whatever the latest
// data-type refusal put there (its load-time text until the first one).
const char* MessageText(std::int32_t index);

// Makes `text` (a string with static storage) the text of entry 3. Safe against concurrent
// replacements and readers on other threads: the later replacement stands.
void ReplaceDataTypeMessage(const char* text);

}  // namespace driver
