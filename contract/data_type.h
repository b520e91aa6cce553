// DataType: the 16-bit code of a value's type, one bit per type. Register tables, the accepted
// type mask of a tag and the type field of an IoItem all use these codes. The values are the
// public header's (QM4720DataType).
#pragma once

#include <cstdint>

#include <qm4720/qm4720.h>

enum DataType : std::uint16_t {
    kTypeBit = QM4720_TYPE_BIT,
    kTypeByte = QM4720_TYPE_BYTE,
    kTypeInt = QM4720_TYPE_INT,
    kTypeUint = QM4720_TYPE_UINT,
    kTypeBcd = QM4720_TYPE_BCD,
    kTypeLong = QM4720_TYPE_LONG,
    kTypeLongBcd = QM4720_TYPE_LONG_BCD,
    kTypeFloat = QM4720_TYPE_FLOAT,
    kTypeString = QM4720_TYPE_STRING,
};
