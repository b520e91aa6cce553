// PortSettings: the serial settings that the host hands to OpenPort. Read only during that call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "records/layout.h"

struct PortSettings {
    std::uint8_t host0[4];
    char portName[32];      // NUL-terminated device name, handed to the open call as is
    std::int32_t baudRate;  // 300..9600 inclusive, any integer in that range
    std::uint8_t dataBits;  // data bits per character, handed to the port as is
    std::uint8_t host41;
    std::int16_t stopBits;  // 2 selects two stop bits; every other value selects one
    std::uint8_t parity;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t host45;
    std::int16_t replyTimeout;  // milliseconds; below 10 (zero, negative) selects 1000
};

QM_RECORD_OFFSET(PortSettings, portName, 4, 4);
QM_RECORD_OFFSET(PortSettings, baudRate, 36, 36);
QM_RECORD_OFFSET(PortSettings, dataBits, 40, 40);
QM_RECORD_OFFSET(PortSettings, stopBits, 42, 42);
QM_RECORD_OFFSET(PortSettings, parity, 44, 44);
QM_RECORD_OFFSET(PortSettings, replyTimeout, 46, 46);
QM_RECORD_SIZE(PortSettings, 48, 48);
