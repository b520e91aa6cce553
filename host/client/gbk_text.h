// The driver's messages, which are GBK (Simplified Chinese), as UTF-8 for every host's output.
#pragma once

#include <string>
#include <string_view>

namespace host {

// Converts a GBK text of the driver to UTF-8. A byte that is not GBK shows as '?' rather than
// ending the text.
std::string GbkToUtf8(std::string_view gbk);

}  // namespace host
