// PortSettings: the serial settings that the host hands to OpenPort. Read only during that call.
// Declared, with every field's meaning, in the public header (QM4720PortSettings); checked here
// against the host's byte offsets.
#pragma once

#include <cstddef>

#include <qm4720/qm4720.h>

#include "records/layout.h"

using PortSettings = QM4720PortSettings;

QM_RECORD_OFFSET(PortSettings, host0, 0, 0);
QM_RECORD_OFFSET(PortSettings, portName, 4, 4);
QM_RECORD_OFFSET(PortSettings, baudRate, 36, 36);
QM_RECORD_OFFSET(PortSettings, dataBits, 40, 40);
QM_RECORD_OFFSET(PortSettings, host41, 41, 41);
QM_RECORD_OFFSET(PortSettings, stopBits, 42, 42);
QM_RECORD_OFFSET(PortSettings, parity, 44, 44);
QM_RECORD_OFFSET(PortSettings, host45, 45, 45);
QM_RECORD_OFFSET(PortSettings, replyTimeout, 46, 46);
QM_RECORD_SIZE(PortSettings, 48, 48);
