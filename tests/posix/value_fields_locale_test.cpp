// The value conversions do not depend on the process locale: a host that switched LC_NUMERIC to
// a decimal-comma locale gets the same fields and the same values. The locale is built for the
// test into a private directory (localedef with LOCPATH), so the machine needs no installed one.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "contract/data_type.h"
#include "contract/value_fields.h"
#include "records/io_request.h"

namespace {

class DecimalCommaLocale : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/qm4720-locale-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        dir_ = pattern;
        // Without localedef no decimal-comma locale can be built: require_tool.sh prints the one
        // line why, and says whether that is a skip (77) or, under CI, a failure.
        const int found = std::system("/bin/sh '" QM_REQUIRE_TOOL "' localedef");
        toolCheck_ = WIFEXITED(found) ? WEXITSTATUS(found) : -1;
        if (toolCheck_ != 0) return;
        // localedef may exit non-zero for mere warnings; the compiled locale is what counts.
        const std::string command =
            "localedef -i de_DE -f UTF-8 " + dir_ + "/de_DE.UTF-8 " + ">/dev/null 2>&1";
        [[maybe_unused]] const int status = std::system(command.c_str());
    }
    static void TearDownTestSuite() {
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    void SetUp() override {
        if (toolCheck_ == 77) GTEST_SKIP() << "localedef is not installed";
        ASSERT_NE(toolCheck_, 1) << "localedef is not installed, and under CI that is a failure";
        ASSERT_EQ(toolCheck_, 0) << "require_tool.sh did not run";
        ASSERT_FALSE(dir_.empty()) << "no temporary directory";
        ASSERT_TRUE(std::filesystem::exists(dir_ + "/de_DE.UTF-8/LC_NUMERIC"))
            << "localedef did not build the locale";
        setenv("LOCPATH", dir_.c_str(), 1);
        ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
        // The locale is really in force: the C library now reads and writes decimal commas.
        ASSERT_EQ(std::strtod("3.14", nullptr), 3.0);
        char printed[16];
        std::snprintf(printed, sizeof printed, "%.1f", 2.5);
        ASSERT_STREQ(printed, "2,5");
    }
    void TearDown() override {
        std::setlocale(LC_ALL, "C");
        unsetenv("LOCPATH");
    }

    static inline std::string dir_;
    static inline int toolCheck_ = -1;  // the exit status of require_tool.sh
};

TEST_F(DecimalCommaLocale, TextsAndFieldsKeepTheDecimalPoint) {
    EXPECT_EQ(contract::FloatToText(3.14159f).view(), "3.1416");
    EXPECT_EQ(contract::FloatToText(0.03125f).view(), "0.0313");
    EXPECT_EQ(contract::FloatToText(1000000.0f).view(), "1000000.0");

    const struct {
        float value;
        const char* field;
    } cases[] = {{25.5f, "0025.5"}, {-0.25f, "-00.25"}, {12.3456f, "12.346"}, {-12.345f, "-12.35"}};
    for (const auto& c : cases) {
        ValueSlot slot;
        slot.asFloat = c.value;
        contract::DataField field{};
        ASSERT_EQ(contract::EncodeDataField(kTypeFloat, slot, field),
                  contract::EncodeRefusal::kNone);
        EXPECT_EQ(std::string(field.data(), field.size()), c.field);
    }
}

TEST_F(DecimalCommaLocale, FieldsReadWithTheDecimalPoint) {
    EXPECT_EQ(contract::NumberFromText("0025.5"), 25.5f);
    EXPECT_EQ(contract::NumberFromText("-012.5"), -12.5f);
    EXPECT_EQ(contract::NumberFromText("03.140"), 3.14f);
    EXPECT_EQ(contract::DecodeDataField(kTypeInt, "0012.7")->integer, 12);
    EXPECT_EQ(contract::DecodeDataField(kTypeFloat, "0000.5")->real, 0.5f);
    // A decimal comma is no part of a field, whatever the locale says.
    EXPECT_FALSE(contract::NumberFromText("0025,5").has_value());
}

}  // namespace
