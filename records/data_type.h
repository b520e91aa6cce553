// DataType: the 16-bit code of a value's type, one bit per type. Register tables, the accepted
// type mask of a tag and the type field of an IoItem all use these codes.
#pragma once

#include <cstdint>

enum DataType : std::uint16_t {
    kTypeBit = 1,
    kTypeByte = 2,
    kTypeInt = 4,
    kTypeUint = 8,
    kTypeBcd = 16,
    kTypeLong = 32,
    kTypeLongBcd = 64,
    kTypeFloat = 128,
    kTypeString = 256,
};
