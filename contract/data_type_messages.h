// The message that names the type a tag ought to have chosen, by the register's DataType code.
#pragma once

#include <cstdint>

namespace contract {

// One GBK text with static storage for each single-type code (BIT .. STRING); every other code
// (0, a combination of bits, an unknown bit) gives the general "variable data type" message.
const char* DataTypeMessage(std::uint16_t dataType);

}  // namespace contract
