// ParseRegister and CheckStation through the IDeviceDriver slots, as a host configures tags.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "contract/data_type.h"
#include "contract/data_type_messages.h"
#include "contract/messages.h"
#include "contract/register_tables.h"
#include "driver/ver4720ezo.h"

namespace {

using driver::VER4720Ezo;

constexpr std::uint16_t kAllTypes = 0xFFFF;
const RegisterDescriptor* const kUntouchedDescriptor =
    reinterpret_cast<const RegisterDescriptor*>(0xdeadbeef);

class TagValidation : public ::testing::Test {
protected:
    void SetUp() override {
        object_ = static_cast<VER4720Ezo*>(VER4720Ezo::CreateObject());
        dd_ = object_->DeviceDriver();
    }
    void TearDown() override { dd_->lpVtbl->Release(dd_); }

    // Fills every byte of the binding with a sentinel, so untouched bytes can be checked.
    static TagBinding FreshBinding() {
        TagBinding binding;
        std::memset(&binding, 0xA5, sizeof binding);
        binding.descriptor = kUntouchedDescriptor;
        binding.registerIndex = 0x5A5A;
        binding.suffix = 0x5A5A;
        return binding;
    }

    // ParseRegister of `driver` (by default the fixture's object) on a tag as a host fills it.
    static std::uint16_t Parse(IDeviceDriver* driver, const char* model, const char* text,
                               std::uint16_t mask, TagBinding& binding) {
        TagSpec tag{};
        std::memcpy(tag.modelName, model, std::min(std::strlen(model), sizeof tag.modelName - 1));
        std::memcpy(tag.registerText, text,
                    std::min(std::strlen(text), sizeof tag.registerText - 1));
        tag.typeMask = mask;
        return driver->lpVtbl->ParseRegister(driver, &tag, &binding);
    }
    std::uint16_t Parse(const char* model, const char* text, std::uint16_t mask,
                        TagBinding& binding) {
        return Parse(dd_, model, text, mask, binding);
    }

    VER4720Ezo* object_ = nullptr;
    IDeviceDriver* dd_ = nullptr;
};

TEST_F(TagValidation, AcceptedRegistersFillTheBinding) {
    struct Case {
        const char* model;
        const char* text;
        int index;
    } cases[] = {
        {"", "  PV  ", 4},   {"", "PV", 4},          {"QM4720N", "XP", 36}, {"qm4720n", "XP", 36},
        {"other", "XP", 29}, {"", "PT", 10},         {"", "BL", 61},        {"QM4720N", "BL", 57},
        {"", "EE", 0},       {"QM4720N ", "XP", 29}, {"", "RT", 56},        {"QM4720N", "RT", 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.model) + "/" + c.text);
        TagBinding binding = FreshBinding();
        ASSERT_EQ(Parse(c.model, c.text, kAllTypes, binding), 0);
        const auto table = contract::RegisterTableFor(c.model);
        EXPECT_EQ(binding.registerIndex, c.index);
        EXPECT_EQ(binding.descriptor, &table[c.index]);
        EXPECT_EQ(binding.suffix, -1);
        EXPECT_EQ(binding.host0[0], 0xA5);
        EXPECT_EQ(binding.host50[5], 0xA5);
    }
    EXPECT_EQ(object_->m_nError, -1);
}

TEST_F(TagValidation, RefusedTextsRecordTheRegisterNameError) {
    struct Case {
        const char* text;
        bool indexSet;  // a mnemonic begins the text, so registerIndex is written
        int index;
    } cases[] = {
        {"", false, 0},
        {"     ", false, 0},
        {"pv", false, 0},
        {"\tPV", false, 0},
        {"P V", false, 0},
        {"ZZ", false, 0},
        {"P", false, 0},
        {"PV1", true, 4},
        {"PV X", true, 4},
        {"EEE", true, 0},
        // 32 characters: longer than the working copy, though it trims to a mnemonic.
        {"PV                              ", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("text '") + c.text + "'");
        object_->RecordError(contract::kErrorTimeout);
        TagBinding binding = FreshBinding();
        EXPECT_EQ(Parse("", c.text, kAllTypes, binding), 1);
        EXPECT_EQ(object_->m_nError, contract::kErrorRegisterName);
        EXPECT_EQ(binding.registerIndex, c.indexSet ? c.index : 0x5A5A);
        EXPECT_EQ(binding.descriptor, kUntouchedDescriptor);
        EXPECT_EQ(binding.suffix, 0x5A5A);
    }
    // 31 characters still fit the working copy.
    TagBinding binding = FreshBinding();
    EXPECT_EQ(Parse("", "PV                             ", kAllTypes, binding), 0);
}

TEST_F(TagValidation, WrongDataTypeFillsTheBindingAndNamesTheTypeToChoose) {
    TagBinding binding = FreshBinding();
    EXPECT_EQ(Parse("", "PV", kTypeInt, binding), 0x8001);
    EXPECT_EQ(object_->m_nError, contract::kErrorDataType);
    EXPECT_EQ(binding.registerIndex, 4);
    EXPECT_EQ(binding.descriptor, &contract::DefaultRegisterTable()[4]);
    EXPECT_EQ(binding.suffix, -1);
    EXPECT_STREQ(dd_->lpVtbl->GetErrorText(dd_), contract::DataTypeMessage(kTypeFloat));

    // A mask of 0 refuses every register found; the message follows the latest refusal.
    binding = FreshBinding();
    EXPECT_EQ(Parse("", "EE", 0, binding), 0x8001);
    EXPECT_STREQ(dd_->lpVtbl->GetErrorText(dd_), contract::DataTypeMessage(kTypeInt));

    // Success afterwards does not clear the error.
    EXPECT_EQ(Parse("", "EE", kTypeInt, binding), 0);
    EXPECT_EQ(object_->m_nError, contract::kErrorDataType);
}

// The data-type message is entry 3 of the one table of the module: a refusal on one object
// changes the text that every object holding error 3 shows.
TEST_F(TagValidation, TheDataTypeMessageOfTheLatestRefusalIsSeenByEveryObject) {
    auto* other = static_cast<VER4720Ezo*>(VER4720Ezo::CreateObject());
    IDeviceDriver* otherDd = other->DeviceDriver();
    TagBinding binding = FreshBinding();
    ASSERT_EQ(Parse(otherDd, "", "EE", 0, binding), 0x8001);  // EE wants INT
    ASSERT_EQ(other->m_nError, contract::kErrorDataType);
    EXPECT_STREQ(otherDd->lpVtbl->GetErrorText(otherDd), contract::DataTypeMessage(kTypeInt));

    binding = FreshBinding();
    ASSERT_EQ(Parse("", "PV", kTypeInt, binding), 0x8001);  // PV wants FLOAT
    EXPECT_EQ(otherDd->lpVtbl->GetErrorText(otherDd), contract::DataTypeMessage(kTypeFloat));
    EXPECT_EQ(dd_->lpVtbl->GetErrorText(dd_), contract::DataTypeMessage(kTypeFloat));
    EXPECT_EQ(driver::ErrorText(contract::kErrorDataType), contract::DataTypeMessage(kTypeFloat));

    binding = FreshBinding();
    ASSERT_EQ(Parse(otherDd, "", "EE", kTypeFloat, binding), 0x8001);
    EXPECT_EQ(dd_->lpVtbl->GetErrorText(dd_), contract::DataTypeMessage(kTypeInt));
    otherDd->lpVtbl->Release(otherDd);
}

TEST_F(TagValidation, NullRecordsAreRefusedWithoutTouchingAnything) {
    TagBinding binding = FreshBinding();
    EXPECT_EQ(dd_->lpVtbl->ParseRegister(dd_, nullptr, &binding), 1);
    TagSpec tag{};
    std::strcpy(tag.registerText, "PV");
    EXPECT_EQ(dd_->lpVtbl->ParseRegister(dd_, &tag, nullptr), 1);
    EXPECT_EQ(binding.registerIndex, 0x5A5A);
    EXPECT_EQ(object_->m_nError, -1);
}

TEST_F(TagValidation, ModelAndRegisterFieldsWithoutTheirNulAreReadNoFurther) {
    TagSpec tag;
    std::memset(&tag, 'X', sizeof tag);
    tag.typeMask = kAllTypes;
    TagBinding binding = FreshBinding();
    EXPECT_EQ(dd_->lpVtbl->ParseRegister(dd_, &tag, &binding), 1);
}

TEST_F(TagValidation, StationTexts) {
    struct Case {
        const char* text;
        int expected;  // -1: refused
    } cases[] = {
        {"7", 7},   {"07", 7},  {"99", 99}, {"00", 0},  {"0", 0},   {"", -1},     {"100", -1},
        {" 1", -1}, {"1 ", -1}, {"-1", -1}, {"+1", -1}, {"1a", -1}, {"\xB1", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("station '") + c.text + "'");
        object_->RecordError(contract::kErrorTimeout);
        std::int32_t station = 0x5A5A5A5A;
        const std::int32_t result = dd_->lpVtbl->CheckStation(dd_, c.text, &station);
        if (c.expected >= 0) {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(station, c.expected);
            EXPECT_EQ(object_->m_nError, contract::kErrorTimeout);
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(station, 0x5A5A5A5A);
            EXPECT_EQ(object_->m_nError, contract::kErrorStation);
        }
    }
    std::int32_t station = 3;
    EXPECT_EQ(dd_->lpVtbl->CheckStation(dd_, nullptr, &station), 0);
    EXPECT_EQ(dd_->lpVtbl->CheckStation(dd_, "5", nullptr), 0);
    EXPECT_EQ(station, 3);
}

TEST_F(TagValidation, StationRefusalTextStaysAfterLaterSuccess) {
    std::int32_t station = 0;
    EXPECT_EQ(dd_->lpVtbl->CheckStation(dd_, "x", &station), 0);
    EXPECT_EQ(dd_->lpVtbl->CheckStation(dd_, "12", &station), 1);
    EXPECT_STREQ(dd_->lpVtbl->GetErrorText(dd_), contract::MessageText(contract::kErrorStation));
}

}  // namespace
