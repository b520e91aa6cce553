// TagSpec and TagBinding: the input and output records of ParseRegister. Both belong to the host.
// Declared in the public header (QM4720TagSpec, QM4720TagBinding); checked here against the
// host's byte offsets. Layout rules: records/layout.h.
#pragma once

#include <cstddef>

#include <qm4720/qm4720.h>

#include "records/layout.h"
#include "records/register_descriptor.h"

// Read only by the driver.
using TagSpec = QM4720TagSpec;

QM_RECORD_OFFSET(TagSpec, modelName, 0, 0);
QM_RECORD_OFFSET(TagSpec, registerText, 32, 32);
QM_RECORD_OFFSET(TagSpec, typeMask, 160, 160);
QM_RECORD_SIZE(TagSpec, 162, 162);

// The driver writes descriptor, registerIndex and suffix, and no other byte.
using TagBinding = QM4720TagBinding;

QM_RECORD_OFFSET(TagBinding, host0, 0, 0);
QM_RECORD_OFFSET(TagBinding, descriptor, 44, 48);
QM_RECORD_OFFSET(TagBinding, registerIndex, 48, 56);
QM_RECORD_OFFSET(TagBinding, host50, 50, 58);
QM_RECORD_OFFSET(TagBinding, suffix, 56, 64);
QM_RECORD_SIZE(TagBinding, 60, 72);
