// RegisterDescriptor: one entry of a model's register table. The host reads the entries in place
// through the pointer that GetRegisterTable hands out, and may keep that pointer for the life of
// the module; the driver never changes an entry. Declared in the public header
// (QM4720RegisterDescriptor); checked here against the host's byte offsets.
#pragma once

#include <cstddef>

#include <qm4720/qm4720.h>

#include "records/layout.h"

using RegisterDescriptor = QM4720RegisterDescriptor;

QM_RECORD_OFFSET(RegisterDescriptor, mnemonic, 0, 0);
QM_RECORD_OFFSET(RegisterDescriptor, suffixMin, 8, 8);
QM_RECORD_OFFSET(RegisterDescriptor, suffixMax, 12, 12);
QM_RECORD_OFFSET(RegisterDescriptor, dataType, 16, 16);
QM_RECORD_OFFSET(RegisterDescriptor, reserved, 18, 18);
QM_RECORD_OFFSET(RegisterDescriptor, readOnly, 20, 20);
QM_RECORD_SIZE(RegisterDescriptor, 24, 24);
