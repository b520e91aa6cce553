#include "contract/data_type_messages.h"

#include "contract/data_type.h"

namespace contract {
namespace {

struct TypeMessage {
    std::uint16_t type;
    const char* text;
};

// 数据类型错误,应选<TYPE>数据类型.  data type wrong, choose the <TYPE> data type (GBK)
#define QM_TYPE_MESSAGE(name)                                                \
    "\xCA\xFD\xBE\xDD\xC0\xE0\xD0\xCD\xB4\xED\xCE\xF3,\xD3\xA6\xD1\xA1" name \
    "\xCA\xFD\xBE\xDD\xC0\xE0\xD0\xCD."

constexpr TypeMessage kTypeMessages[] = {
    {kTypeBit, QM_TYPE_MESSAGE("BIT")},         {kTypeByte, QM_TYPE_MESSAGE("BYTE")},
    {kTypeInt, QM_TYPE_MESSAGE("INT")},         {kTypeUint, QM_TYPE_MESSAGE("UINT")},
    {kTypeBcd, QM_TYPE_MESSAGE("BCD")},         {kTypeLong, QM_TYPE_MESSAGE("LONG")},
    {kTypeLongBcd, QM_TYPE_MESSAGE("LONGBCD")}, {kTypeFloat, QM_TYPE_MESSAGE("FLOAT")},
    {kTypeString, QM_TYPE_MESSAGE("STRING")},
};

#undef QM_TYPE_MESSAGE

// 变量数据类型错误.  the variable's data type is wrong
constexpr const char* kGeneralTypeMessage =
    "\xB1\xE4\xC1\xBF\xCA\xFD\xBE\xDD\xC0\xE0\xD0\xCD\xB4\xED\xCE\xF3.";

}  // namespace

const char* DataTypeMessage(std::uint16_t dataType) {
    for (const TypeMessage& entry : kTypeMessages) {
        if (entry.type == dataType) return entry.text;
    }
    return kGeneralTypeMessage;
}

}  // namespace contract
