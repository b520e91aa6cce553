// Every message, byte for byte: the published UTF-8 texts converted to GBK with iconv.
#include <gtest/gtest.h>

#include <iconv.h>

#include <string>

#include "catalogue/data_type_messages.h"
#include "driver/messages.h"
#include "records/data_type.h"

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

const char* const kMessageTexts[driver::kMessageCount] = {
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
    driver::ReplaceDataTypeMessage(driver::MessageText(driver::kErrorDataType));
    for (int i = 0; i < driver::kMessageCount; ++i) {
        EXPECT_EQ(std::string(driver::MessageText(i)), ToGbk(kMessageTexts[i])) << "entry " << i;
    }
    EXPECT_EQ(driver::MessageText(-1), nullptr);
    EXPECT_EQ(driver::MessageText(17), nullptr);
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
        EXPECT_EQ(std::string(catalogue::DataTypeMessage(c.type)), ToGbk(c.text))
            << "type " << c.type;
    }
}

}  // namespace
