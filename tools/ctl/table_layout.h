// Aligned text tables for people: columns padded by what shows on the screen (colour codes take
// no room, a CJK character takes two cells), and, for a live table, cut to the terminal's size.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ctl {

// The cells `text` takes on a terminal: escape sequences (ESC [ ... letter) none, a code point
// one, a CJK ideograph or other three- or four-byte UTF-8 character two.
std::size_t VisibleWidth(std::string_view text);

// The table's lines: the header, then the rows, each column padded to its widest cell plus two
// spaces. `maxWidth` > 0: every line cut to at most that many cells (a colour left open by the
// cut is closed). `maxHeight` > 0: at most that many lines; when the rows do not fit, the last
// line says how many were left out ("… 12 more rows").
std::vector<std::string> LayOutTable(const std::vector<std::string>& header,
                                     const std::vector<std::vector<std::string>>& rows,
                                     std::size_t maxWidth = 0, std::size_t maxHeight = 0);

}  // namespace ctl
