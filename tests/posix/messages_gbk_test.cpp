// Every message, byte for byte: the published UTF-8 texts converted to GBK with iconv.
#include <gtest/gtest.h>

#include <iconv.h>

#include <string>

#include "contract/data_type.h"
#include "contract/data_type_messages.h"
#include "contract/messages.h"
#include "driver/error_text.h"

namespace {

std::string ToGbk(const std::string& utf8) {
    iconv_t cd = iconv_open("GBK", "UTF-8");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
    std::string in = utf8;
    std::string out(in.size() * 2 + 4, '\0');
    char* inPtr = in.data();
    char* outPtr = out.data();
    size_t inLeft = in.size();
    size_t outLeft = out.size();
    EXPECT_NE(iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft), static_cast<size_t>(-1)) << utf8;
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

const char* const kMessageTexts[contract::kMessageCount] = {
    "设备寄存器名字错误!",
    "输入的表号错误!\n 表号由仪表中'48'号参数决定.",
    "寄存器范围错误!",
    "寄存器类型错误!应选",
    "数据类型应选'BIT'!",
    "数据类型应选'FLOAT'!",
    "数据类型应选'INT'!",
    "超时错误!",
    "数据BCC校验错误!",
    "波特率配置错误!",
    "打开串口错误!",
    "只读变量，不能写!",
    "数据范围超!",
    "命令或数据格式错!",
    "无效参数名!",
    "接收到错误数据!",
    "通讯口波特率设置错误!\n 设置范围: 300－9600 bit/s.",
};

TEST(Messages, EveryEntryIsItsTextInGbk) {
    for (int i = 0; i < contract::kMessageCount; ++i) {
        EXPECT_EQ(std::string(contract::MessageText(i)), ToGbk(kMessageTexts[i])) << "entry " << i;
    }
    EXPECT_EQ(contract::MessageText(-1), nullptr);
    EXPECT_EQ(contract::MessageText(17), nullptr);
}

// The module's text is the table's, but for entry 3, which follows the latest data-type refusal
// and leaves the shared table as it was.
TEST(Messages, TheModuleReplacesOnlyEntryThree) {
    const char* floatMessage = contract::DataTypeMessage(kTypeFloat);
    driver::ReplaceDataTypeMessage(floatMessage);
    EXPECT_EQ(driver::ErrorText(contract::kErrorDataType), floatMessage);
    EXPECT_EQ(std::string(contract::MessageText(contract::kErrorDataType)),
              ToGbk(kMessageTexts[contract::kErrorDataType]));
    for (int i = -1; i <= contract::kMessageCount; ++i) {
        if (i != contract::kErrorDataType) {
            EXPECT_EQ(driver::ErrorText(i), contract::MessageText(i)) << "entry " << i;
        }
    }
    driver::ReplaceDataTypeMessage(contract::MessageText(contract::kErrorDataType));
}

TEST(Messages, EveryDataTypeCodeHasItsMessage) {
    struct Case {
        std::uint16_t type;
        const char* text;
    } cases[] = {
        {kTypeBit, "数据类型错误,应选BIT数据类型."},
        {kTypeByte, "数据类型错误,应选BYTE数据类型."},
        {kTypeInt, "数据类型错误,应选INT数据类型."},
        {kTypeUint, "数据类型错误,应选UINT数据类型."},
        {kTypeBcd, "数据类型错误,应选BCD数据类型."},
        {kTypeLong, "数据类型错误,应选LONG数据类型."},
        {kTypeLongBcd, "数据类型错误,应选LONGBCD数据类型."},
        {kTypeFloat, "数据类型错误,应选FLOAT数据类型."},
        {kTypeString, "数据类型错误,应选STRING数据类型."},
        {0, "变量数据类型错误."},
        {3, "变量数据类型错误."},
        {kTypeInt | kTypeFloat, "变量数据类型错误."},
        {512, "变量数据类型错误."},
        {0xFFFF, "变量数据类型错误."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(std::string(contract::DataTypeMessage(c.type)), ToGbk(c.text))
            << "type " << c.type;
    }
}

}  // namespace
