// The driver's GBK texts as UTF-8 on Windows: through the wide form of code page 936.
#include "host/client/gbk_text.h"
#include "host/client/win32/wide_text.h"

namespace host {

std::string GbkToUtf8(std::string_view gbk) {
    const std::wstring wide = Widen(std::string(gbk), 936);
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

}  // namespace host
