// The two register tables, entry by entry, and the model-choice rule of GetRegisterTable.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "contract/data_type.h"
#include "contract/register_tables.h"
#include "driver/ver4720ezo.h"

namespace {

struct Row {
    int index;
    const char* defaultName;
    std::uint16_t defaultType;
    const char* qmName;  // null where the QM4720N table has no entry
    std::uint16_t qmType;
};

constexpr std::uint16_t I = kTypeInt;
constexpr std::uint16_t F = kTypeFloat;

// The published tables, one row per index.
constexpr Row kRows[] = {
    {0, "EE", I, "EE", I},     {1, "1M", F, "1M", F},     {2, "2M", F, "2M", F},
    {3, "3M", F, "3M", F},     {4, "PV", F, "PV", F},     {5, "OP", F, "OP", F},
    {6, "ER", F, "ER", F},     {7, "PR", F, "SV", F},     {8, "SV", F, "ST", I},
    {9, "ST", I, "PT", I},     {10, "PT", I, "SN", I},    {11, "SN", I, "AS", I},
    {12, "AS", I, "NP", F},    {13, "SP", F, "SP", F},    {14, "PN", I, "PN", I},
    {15, "PS", I, "PS", I},    {16, "C1", F, "N1", F},    {17, "T1", I, "T1", I},
    {18, "C2", F, "N2", F},    {19, "T2", I, "T2", I},    {20, "C3", F, "N3", F},
    {21, "T3", I, "T3", I},    {22, "C4", F, "N4", F},    {23, "T4", I, "T4", I},
    {24, "C5", F, "N5", F},    {25, "T5", I, "T5", I},    {26, "C6", F, "N6", F},
    {27, "T6", I, "T6", I},    {28, "T7", I, "T7", I},    {29, "XP", F, "AF", F},
    {30, "TI", I, "RT", F},    {31, "TD", I, "AH", F},    {32, "P1", I, "D1", I},
    {33, "P2", I, "D2", I},    {34, "P3", I, "D3", I},    {35, "P4", I, "D4", I},
    {36, "CT", I, "XP", F},    {37, "TT", I, "TI", I},    {38, "MR", F, "TD", I},
    {39, "1T", I, "PC", I},    {40, "2T", I, "PW", I},    {41, "PF", F, "CT", I},
    {42, "OC", I, "TT", I},    {43, "OF", I, "MR", F},    {44, "TC", I, "1T", I},
    {45, "TF", I, "2T", I},    {46, "RF", F, "3T", I},    {47, "1A", F, "4T", I},
    {48, "2A", F, "HF", F},    {49, "3A", F, "TF", I},    {50, "D1", I, "RF", F},
    {51, "D2", I, "1A", F},    {52, "D3", I, "2A", F},    {53, "D4", I, "3A", F},
    {54, "CS", I, "AM", I},    {55, "HT", I, "CS", I},    {56, "RT", I, "DS", I},
    {57, "PT", I, "BL", I},    {58, "CR", I, nullptr, 0}, {59, "PC", I, nullptr, 0},
    {60, "AM", I, nullptr, 0}, {61, "BL", I, nullptr, 0},
};

void ExpectEntry(const RegisterDescriptor& entry, int index, const char* name, std::uint16_t type) {
    SCOPED_TRACE(std::string("index ") + std::to_string(index) + " " + name);
    EXPECT_EQ(std::string(entry.mnemonic, 2), name);
    for (int i = 2; i < 8; ++i) EXPECT_EQ(entry.mnemonic[i], '\0') << "padding byte " << i;
    EXPECT_EQ(entry.dataType, type);
    EXPECT_EQ(entry.suffixMin, 0);
    EXPECT_EQ(entry.suffixMax, 0);
    EXPECT_EQ(entry.reserved, 0);
    EXPECT_EQ(entry.readOnly, index <= 12 ? 1 : 0);
}

TEST(RegisterTables, EveryEntryMatchesThePublishedTables) {
    const auto defaults = contract::DefaultRegisterTable();
    const auto qm = contract::QM4720NRegisterTable();
    ASSERT_EQ(defaults.size(), 62u);
    ASSERT_EQ(qm.size(), 58u);
    for (const Row& row : kRows) {
        ExpectEntry(defaults[row.index], row.index, row.defaultName, row.defaultType);
        if (row.qmName != nullptr) ExpectEntry(qm[row.index], row.index, row.qmName, row.qmType);
    }
}

TEST(RegisterTables, ModelChoiceIgnoresAsciiCaseOnlyOverTheWholeName) {
    struct Case {
        const char* model;
        bool qm;
    } cases[] = {
        {"QM4720N", true},   {"qm4720n", true},   {"Qm4720N", true},
        {"QM4720N ", false}, {" QM4720N", false}, {"QM4720", false},
        {"", false},         {"QM4720NN", false}, {nullptr, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(contract::IsQM4720NModel(c.model), c.qm) << (c.model ? c.model : "(null)");
    }
}

TEST(GetRegisterTable, HandsOutTheModulesOwnTableAndLeavesTheErrorAlone) {
    auto* object = static_cast<driver::VER4720Ezo*>(driver::VER4720Ezo::CreateObject());
    IDeviceDriver* dd = object->DeviceDriver();
    object->RecordError(contract::kErrorStation);

    const RegisterDescriptor* table = nullptr;
    std::int32_t count = 0;
    EXPECT_EQ(dd->lpVtbl->GetRegisterTable(dd, "qm4720n", &table, &count), 1);
    EXPECT_EQ(table, contract::QM4720NRegisterTable().data());
    EXPECT_EQ(count, 58);
    EXPECT_EQ(dd->lpVtbl->GetRegisterTable(dd, "", &table, &count), 1);
    EXPECT_EQ(table, contract::DefaultRegisterTable().data());
    EXPECT_EQ(count, 62);
    EXPECT_EQ(object->m_nError, contract::kErrorStation);

    // Null out-pointers are refused without writing anything.
    count = 1234;
    EXPECT_EQ(dd->lpVtbl->GetRegisterTable(dd, "QM4720N", nullptr, &count), 0);
    EXPECT_EQ(count, 1234);
    dd->lpVtbl->Release(dd);
}

}  // namespace
