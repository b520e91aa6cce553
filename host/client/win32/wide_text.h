// Text in a code page made wide, for the platform calls that take wide strings.
#pragma once

#include <string>

#include <windows.h>

namespace host {

inline std::wstring Widen(const std::string& text, UINT codePage) {
    const int n =
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

}  // namespace host
