// The settings text of qm4720_open ("9600,8N1,timeout=400"), turned into the C++ interface's
// OpenOptions. Kept apart from the C face so that its grammar is tested as a table.
#pragma once

#include <string>
#include <string_view>

#include "qm4720/qm4720.hpp"

namespace host {

// Applies every item of `text` to `options`, whose fields hold the defaults for items that are
// absent. False with `error` saying which item is wrong and what is accepted; `options` may then
// be partly changed. Ranges that the driver itself checks (the baud rate) are left to it.
bool ParseOpenSettings(std::string_view text, qm4720::OpenOptions& options, std::string& error);

}  // namespace host
