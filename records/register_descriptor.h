// RegisterDescriptor: one entry of a model's register table. The host reads the entries in place
// through the pointer that GetRegisterTable hands out, and may keep that pointer for the life of
// the module; the driver never changes an entry.
#pragma once

#include <cstddef>
#include <cstdint>

#include "records/layout.h"

struct RegisterDescriptor {
    char mnemonic[8];        // two ASCII characters, then NUL bytes up to 8
    std::int32_t suffixMin;  // bounds of a numeric suffix after the mnemonic; 0 in every entry,
    std::int32_t suffixMax;  // so no register of either table takes a suffix
    std::uint16_t dataType;  // DataType code of the register's value (INT or FLOAT)
    std::uint16_t reserved;  // 0
    std::int32_t readOnly;   // 1 for the live-value registers at indices 0..12, else 0
};

QM_RECORD_OFFSET(RegisterDescriptor, mnemonic, 0, 0);
QM_RECORD_OFFSET(RegisterDescriptor, suffixMin, 8, 8);
QM_RECORD_OFFSET(RegisterDescriptor, suffixMax, 12, 12);
QM_RECORD_OFFSET(RegisterDescriptor, dataType, 16, 16);
QM_RECORD_OFFSET(RegisterDescriptor, reserved, 18, 18);
QM_RECORD_OFFSET(RegisterDescriptor, readOnly, 20, 20);
QM_RECORD_SIZE(RegisterDescriptor, 24, 24);
