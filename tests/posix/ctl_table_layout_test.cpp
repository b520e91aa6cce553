// The text tables of qm4720ctl: padding by what shows on a terminal, and a live table cut to the
// terminal's size. Expected lines are written out by hand.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/ctl/table_layout.h"

namespace {

using Lines = std::vector<std::string>;

TEST(CtlTableLayout, VisibleWidthCountsCellsNotBytes) {
    struct Case {
        const char* text;
        std::size_t cells;
    } cases[] = {
        {"abc", 3},
        {"\x1b[32mok\x1b[0m", 2},  // colour takes no room
        {"\x1b[1;31m", 0},
        {"超时错误!", 9},  // CJK two cells each
        {"\xc3\xa9t\xc3\xa9", 3},
        {"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ctl::VisibleWidth(c.text), c.cells);
    }
}

TEST(CtlTableLayout, ColumnsAlignOnWhatShows) {
    struct Case {
        const char* name;
        Lines header;
        std::vector<Lines> rows;
        std::size_t width, height;
        Lines expected;
    } cases[] = {
        {"widest cell plus two", {"a", "bbb"}, {{"xx", "y"}}, 0, 0, {"a   bbb", "xx  y"}},
        {"colour codes are not padding",
         {"status", "n"},
         {{"\x1b[32mok\x1b[0m", "1"}, {"timeout", "2"}},
         0,
         0,
         {"status   n", "\x1b[32mok\x1b[0m       1", "timeout  2"}},
        {"CJK takes two cells", {"error", "n"}, {{"超时", "1"}}, 0, 0, {"error  n", "超时   1"}},
        {"lines cut to the width", {"abcdefgh"}, {{"ab"}}, 5, 0, {"abcde", "ab"}},
        {"a colour cut short is closed",
         {"h"},
         {{"\x1b[31mabcdefg\x1b[0m"}},
         3,
         0,
         {"h", "\x1b[31mabc\x1b[0m"}},
        {"a wide character never half shown", {"超时错误"}, {}, 5, 0, {"超时"}},
        {"the rest is counted",
         {"n"},
         {{"1"}, {"2"}, {"3"}, {"4"}, {"5"}},
         0,
         4,
         {"n", "1", "2", "… 3 more rows"}},
        // Leaving out one row would free the line that counts it: the count is of two at least.
        {"a row fits where its count would", {"n"}, {{"1"}, {"2"}}, 0, 3, {"n", "1", "2"}},
        {"three rows in three lines",
         {"n"},
         {{"1"}, {"2"}, {"3"}},
         0,
         3,
         {"n", "1", "… 2 more rows"}},
        {"no room but for the count", {"n"}, {{"1"}, {"2"}}, 0, 1, {"… 2 rows"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ctl::LayOutTable(c.header, c.rows, c.width, c.height), c.expected);
    }
}

}  // namespace
