#include "driver/messages.h"

#include <atomic>

namespace driver {
namespace {

// GBK bytes, written as escapes so that the source stays plain UTF-8.
constexpr const char* kMessages[kMessageCount] = {
    // 0 设备寄存器名字错误!  the device register name is wrong
    "\xC9\xE8\xB1\xB8\xBC\xC4\xB4\xE6\xC6\xF7\xC3\xFB\xD7\xD6\xB4\xED\xCE\xF3!",
    // 1 输入的表号错误!\n 表号由仪表中'48'号参数决定.  wrong meter number; set by parameter 48
    "\xCA\xE4\xC8\xEB\xB5\xC4\xB1\xED\xBA\xC5\xB4\xED\xCE\xF3!\n \xB1\xED\xBA\xC5\xD3\xC9\xD2\xC7"
    "\xB1\xED\xD6\xD0'48'\xBA\xC5\xB2\xCE\xCA\xFD\xBE\xF6\xB6\xA8.",
    // 2 寄存器范围错误!  the register range is wrong
    "\xBC\xC4\xB4\xE6\xC6\xF7\xB7\xB6\xCE\xA7\xB4\xED\xCE\xF3!",
    // 3 寄存器类型错误!应选  the register type is wrong, choose (replaced at run time)
    "\xBC\xC4\xB4\xE6\xC6\xF7\xC0\xE0\xD0\xCD\xB4\xED\xCE\xF3!\xD3\xA6\xD1\xA1",
    // 4 数据类型应选'BIT'!
    "\xCA\xFD\xBE\xDD\xC0\xE0\xD0\xCD\xD3\xA6\xD1\xA1'BIT'!",
    // 5 数据类型应选'FLOAT'!
    "\xCA\xFD\xBE\xDD\xC0\xE0\xD0\xCD\xD3\xA6\xD1\xA1'FLOAT'!",
    // 6 数据类型应选'INT'!
    "\xCA\xFD\xBE\xDD\xC0\xE0\xD0\xCD\xD3\xA6\xD1\xA1'INT'!",
    // 7 超时错误!  timeout error
    "\xB3\xAC\xCA\xB1\xB4\xED\xCE\xF3!",
    // 8 数据BCC校验错误!  the block check of the data is wrong
    "\xCA\xFD\xBE\xDD"
    "BCC\xD0\xA3\xD1\xE9\xB4\xED\xCE\xF3!",
    // 9 波特率配置错误!  the baud rate is configured wrongly
    "\xB2\xA8\xCC\xD8\xC2\xCA\xC5\xE4\xD6\xC3\xB4\xED\xCE\xF3!",
    // 10 打开串口错误!  error opening the serial port
    "\xB4\xF2\xBF\xAA\xB4\xAE\xBF\xDA\xB4\xED\xCE\xF3!",
    // 11 只读变量，不能写!  read-only variable, it cannot be written
    "\xD6\xBB\xB6\xC1\xB1\xE4\xC1\xBF\xA3\xAC\xB2\xBB\xC4\xDC\xD0\xB4!",
    // 12 数据范围超!  the data is out of range
    "\xCA\xFD\xBE\xDD\xB7\xB6\xCE\xA7\xB3\xAC!",
    // 13 命令或数据格式错!  the command or data format is wrong
    "\xC3\xFC\xC1\xEE\xBB\xF2\xCA\xFD\xBE\xDD\xB8\xF1\xCA\xBD\xB4\xED!",
    // 14 无效参数名!  invalid parameter name
    "\xCE\xDE\xD0\xA7\xB2\xCE\xCA\xFD\xC3\xFB!",
    // 15 接收到错误数据!  wrong data was received
    "\xBD\xD3\xCA\xD5\xB5\xBD\xB4\xED\xCE\xF3\xCA\xFD\xBE\xDD!",
    // 16 通讯口波特率设置错误!\n 设置范围: 300－9600 bit/s.  baud rate set wrongly; 300 to 9600
    "\xCD\xA8\xD1\xB6\xBF\xDA\xB2\xA8\xCC\xD8\xC2\xCA\xC9\xE8\xD6\xC3\xB4\xED\xCE\xF3!\n "
    "\xC9\xE8\xD6\xC3\xB7\xB6\xCE\xA7: 300\xA3\xAD"
    "9600 bit/s.",
};

// Entry 3 as the module shares it between all objects and threads.
std::atomic<const char*> g_dataTypeMessage{kMessages[kErrorDataType]};

}  // namespace

const char* MessageText(std::int32_t index) {
    if (index < 0 || index >= kMessageCount) return nullptr;
    if (index == kErrorDataType) return g_dataTypeMessage.load(std::memory_order_acquire);
    return kMessages[index];
}

void ReplaceDataTypeMessage(const char* text) {
    g_dataTypeMessage.store(text, std::memory_order_release);
}

}  // namespace driver
