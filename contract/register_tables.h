// The register tables of both instrument models, and the one rule that chooses between them.
#pragma once

#include <span>
#include <string_view>

#include <qm4720/qm4720.h>

namespace contract {

inline constexpr std::string_view kQM4720NModel = "QM4720N";

// Registers at indices 0..12 of both tables are the instrument's live values: read-only.
inline constexpr int kLastReadOnlyIndex = 12;

// True when `modelName` equals "QM4720N" with the case of ASCII letters ignored, over the whole
// text and with no blanks trimmed. Every other name, the empty one included, is the default model.
bool IsQM4720NModel(std::string_view modelName);

// The same rule for a NUL-terminated name from a host record; null counts as the empty name.
bool IsQM4720NModel(const char* modelName);

// The default model's table (62 entries) and the QM4720N table (58 entries): constant data of the
// module, valid for as long as it is loaded.
std::span<const QM4720RegisterDescriptor> DefaultRegisterTable();
std::span<const QM4720RegisterDescriptor> QM4720NRegisterTable();

// The table that the model-choice rule selects for `modelName` (null counts as empty).
std::span<const QM4720RegisterDescriptor> RegisterTableFor(const char* modelName);

}  // namespace contract
