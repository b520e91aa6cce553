#include "tools/ctl/table_layout.h"

#include <algorithm>

namespace ctl {
namespace {

// Length of the escape sequence at `at` (ESC [ parameters, then one final letter), 0 if none.
std::size_t EscapeLength(std::string_view text, std::size_t at) {
    if (text[at] != '\x1b' || at + 1 >= text.size() || text[at + 1] != '[') return 0;
    std::size_t end = at + 2;
    while (end < text.size() && !(text[end] >= '@' && text[end] <= '~')) ++end;
    return std::min(end + 1, text.size()) - at;
}

// Bytes of the UTF-8 character that starts with `lead`, and the cells it takes.
std::size_t CharLength(unsigned char lead) {
    return lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
}
std::size_t CharCells(unsigned char lead) {
    return lead >= 0xE0 ? 2 : 1;
}

// `text` cut to `cells` on screen; escape sequences pass through, and a colour still set where
// the cut falls is reset.
std::string Cut(std::string_view text, std::size_t cells) {
    std::string out;
    std::size_t used = 0;
    bool coloured = false;
    for (std::size_t at = 0; at < text.size();) {
        if (const std::size_t escape = EscapeLength(text, at)) {
            const std::string_view sequence = text.substr(at, escape);
            coloured = sequence != "\x1b[0m" && sequence != "\x1b[m";
            out += sequence;
            at += escape;
            continue;
        }
        const auto lead = static_cast<unsigned char>(text[at]);
        const std::size_t length = std::min(CharLength(lead), text.size() - at);
        if (used + CharCells(lead) > cells) {
            if (coloured) out += "\x1b[0m";
            return out;
        }
        used += CharCells(lead);
        out += text.substr(at, length);
        at += length;
    }
    return out;
}

}  // namespace

std::size_t VisibleWidth(std::string_view text) {
    std::size_t cells = 0;
    for (std::size_t at = 0; at < text.size();) {
        if (const std::size_t escape = EscapeLength(text, at)) {
            at += escape;
            continue;
        }
        const auto lead = static_cast<unsigned char>(text[at]);
        cells += CharCells(lead);
        at += CharLength(lead);
    }
    return cells;
}

std::vector<std::string> LayOutTable(const std::vector<std::string>& header,
                                     const std::vector<std::vector<std::string>>& rows,
                                     std::size_t maxWidth, std::size_t maxHeight) {
    std::size_t shown = rows.size();
    if (maxHeight > 0 && rows.size() + 1 > maxHeight) {
        // The header, as many rows as fit, and the line that counts the rest.
        shown = maxHeight >= 2 ? maxHeight - 2 : 0;
    }
    std::vector<std::size_t> widths(header.size());
    for (std::size_t i = 0; i < header.size(); ++i) widths[i] = VisibleWidth(header[i]);
    for (std::size_t r = 0; r < shown; ++r) {
        for (std::size_t i = 0; i < rows[r].size() && i < widths.size(); ++i)
            widths[i] = std::max(widths[i], VisibleWidth(rows[r][i]));
    }
    auto line = [&](const std::vector<std::string>& texts) {
        std::string text;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            text += texts[i];
            if (i + 1 < texts.size() && i < widths.size())
                text += std::string(widths[i] - VisibleWidth(texts[i]) + 2, ' ');
        }
        // Padding after the last cell would only make lines longer.
        while (!text.empty() && text.back() == ' ') text.pop_back();
        return maxWidth > 0 && VisibleWidth(text) > maxWidth ? Cut(text, maxWidth) : text;
    };
    std::vector<std::string> lines;
    if (maxHeight == 1) {
        lines.push_back(line({"… " + std::to_string(rows.size()) + " rows"}));
        return lines;
    }
    lines.push_back(line(header));
    for (std::size_t r = 0; r < shown; ++r) lines.push_back(line(rows[r]));
    if (shown < rows.size()) {
        // Never one: a single row left out would have had the count's line.
        lines.push_back(line({"… " + std::to_string(rows.size() - shown) + " more rows"}));
    }
    return lines;
}

}  // namespace ctl
