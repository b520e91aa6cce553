// TagSpec and TagBinding: the input and output records of ParseRegister. Both belong to the host.
// Layout rules: records/layout.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "records/layout.h"
#include "records/register_descriptor.h"

// Read only by the driver.
struct TagSpec {
    char modelName[32];      // NUL-terminated model name of the tag's instrument
    char registerText[128];  // NUL-terminated register text as the user entered it
    std::uint16_t typeMask;  // DataType bits that the tag accepts
};

QM_RECORD_OFFSET(TagSpec, modelName, 0, 0);
QM_RECORD_OFFSET(TagSpec, registerText, 32, 32);
QM_RECORD_OFFSET(TagSpec, typeMask, 160, 160);
QM_RECORD_SIZE(TagSpec, 162, 162);

// The driver writes descriptor, registerIndex and suffix, and no other byte.
struct TagBinding {
    std::uint8_t host0[44];
    const RegisterDescriptor* descriptor;  // the matched entry of the module's table; valid for
                                           // the life of the module
    std::int16_t registerIndex;            // index of the matched entry
    std::uint8_t host50[6];
    std::int16_t suffix;  // numeric suffix; -1 for every register of both tables
};

QM_RECORD_OFFSET(TagBinding, descriptor, 44, 48);
QM_RECORD_OFFSET(TagBinding, registerIndex, 48, 56);
QM_RECORD_OFFSET(TagBinding, suffix, 56, 64);
