#include "contract/register_tables.h"

#include <array>
#include <cstddef>

#include "contract/data_type.h"

namespace contract {
namespace {

struct RegisterName {
    char first;
    char second;
    DataType type;
};

// Builds a table from its mnemonics and types; readOnly follows from the index.
template <std::size_t N>
constexpr std::array<QM4720RegisterDescriptor, N> MakeTable(const RegisterName (&names)[N]) {
    std::array<QM4720RegisterDescriptor, N> table{};
    for (std::size_t i = 0; i < N; ++i) {
        table[i].mnemonic[0] = names[i].first;
        table[i].mnemonic[1] = names[i].second;
        table[i].dataType = names[i].type;
        table[i].readOnly = i <= static_cast<std::size_t>(kLastReadOnlyIndex) ? 1 : 0;
    }
    return table;
}

constexpr DataType I = kTypeInt;
constexpr DataType F = kTypeFloat;

// The default table names PT twice (10 and 57): a look-up by name always finds index 10.
constexpr RegisterName kDefaultNames[] = {
    {'E', 'E', I}, {'1', 'M', F}, {'2', 'M', F}, {'3', 'M', F}, {'P', 'V', F}, {'O', 'P', F},
    {'E', 'R', F}, {'P', 'R', F}, {'S', 'V', F}, {'S', 'T', I}, {'P', 'T', I}, {'S', 'N', I},
    {'A', 'S', I}, {'S', 'P', F}, {'P', 'N', I}, {'P', 'S', I}, {'C', '1', F}, {'T', '1', I},
    {'C', '2', F}, {'T', '2', I}, {'C', '3', F}, {'T', '3', I}, {'C', '4', F}, {'T', '4', I},
    {'C', '5', F}, {'T', '5', I}, {'C', '6', F}, {'T', '6', I}, {'T', '7', I}, {'X', 'P', F},
    {'T', 'I', I}, {'T', 'D', I}, {'P', '1', I}, {'P', '2', I}, {'P', '3', I}, {'P', '4', I},
    {'C', 'T', I}, {'T', 'T', I}, {'M', 'R', F}, {'1', 'T', I}, {'2', 'T', I}, {'P', 'F', F},
    {'O', 'C', I}, {'O', 'F', I}, {'T', 'C', I}, {'T', 'F', I}, {'R', 'F', F}, {'1', 'A', F},
    {'2', 'A', F}, {'3', 'A', F}, {'D', '1', I}, {'D', '2', I}, {'D', '3', I}, {'D', '4', I},
    {'C', 'S', I}, {'H', 'T', I}, {'R', 'T', I}, {'P', 'T', I}, {'C', 'R', I}, {'P', 'C', I},
    {'A', 'M', I}, {'B', 'L', I},
};

constexpr RegisterName kQM4720NNames[] = {
    {'E', 'E', I}, {'1', 'M', F}, {'2', 'M', F}, {'3', 'M', F}, {'P', 'V', F}, {'O', 'P', F},
    {'E', 'R', F}, {'S', 'V', F}, {'S', 'T', I}, {'P', 'T', I}, {'S', 'N', I}, {'A', 'S', I},
    {'N', 'P', F}, {'S', 'P', F}, {'P', 'N', I}, {'P', 'S', I}, {'N', '1', F}, {'T', '1', I},
    {'N', '2', F}, {'T', '2', I}, {'N', '3', F}, {'T', '3', I}, {'N', '4', F}, {'T', '4', I},
    {'N', '5', F}, {'T', '5', I}, {'N', '6', F}, {'T', '6', I}, {'T', '7', I}, {'A', 'F', F},
    {'R', 'T', F}, {'A', 'H', F}, {'D', '1', I}, {'D', '2', I}, {'D', '3', I}, {'D', '4', I},
    {'X', 'P', F}, {'T', 'I', I}, {'T', 'D', I}, {'P', 'C', I}, {'P', 'W', I}, {'C', 'T', I},
    {'T', 'T', I}, {'M', 'R', F}, {'1', 'T', I}, {'2', 'T', I}, {'3', 'T', I}, {'4', 'T', I},
    {'H', 'F', F}, {'T', 'F', I}, {'R', 'F', F}, {'1', 'A', F}, {'2', 'A', F}, {'3', 'A', F},
    {'A', 'M', I}, {'C', 'S', I}, {'D', 'S', I}, {'B', 'L', I},
};

constexpr auto kDefaultTable = MakeTable(kDefaultNames);
constexpr auto kQM4720NTable = MakeTable(kQM4720NNames);
static_assert(kDefaultTable.size() == 62);
static_assert(kQM4720NTable.size() == 58);

constexpr char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

}  // namespace

bool IsQM4720NModel(std::string_view modelName) {
    if (modelName.size() != kQM4720NModel.size()) return false;
    for (std::size_t i = 0; i < modelName.size(); ++i) {
        if (AsciiLower(modelName[i]) != AsciiLower(kQM4720NModel[i])) return false;
    }
    return true;
}

bool IsQM4720NModel(const char* modelName) {
    return modelName != nullptr && IsQM4720NModel(std::string_view(modelName));
}

std::span<const QM4720RegisterDescriptor> DefaultRegisterTable() {
    return kDefaultTable;
}

std::span<const QM4720RegisterDescriptor> QM4720NRegisterTable() {
    return kQM4720NTable;
}

std::span<const QM4720RegisterDescriptor> RegisterTableFor(const char* modelName) {
    return IsQM4720NModel(modelName) ? QM4720NRegisterTable() : DefaultRegisterTable();
}

}  // namespace contract
