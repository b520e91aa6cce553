#include "driver/error_text.h"

#include <atomic>

namespace driver {
namespace {

// Entry 3 as the module shares it between all objects and threads.
std::atomic<const char*> g_dataTypeMessage{contract::MessageText(contract::kErrorDataType)};

}  // namespace

const char* ErrorText(std::int32_t code) {
    if (code == contract::kErrorDataType) return g_dataTypeMessage.load(std::memory_order_acquire);
    return contract::MessageText(code);
}

void ReplaceDataTypeMessage(const char* text) {
    g_dataTypeMessage.store(text, std::memory_order_release);
}

}  // namespace driver
