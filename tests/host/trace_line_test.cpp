// The trace line of the serial-line tools, on every system: UTC date and time with milliseconds,
// the direction, the count, the bytes in hexadecimal and as printable text, and the note.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "host/oskit/trace.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::system_clock;

TEST(TraceLine, ShowsUtcTimeDirectionCountHexTextAndNote) {
    struct Case {
        std::int64_t unixSeconds;
        int millis;
        const char* direction;
        std::vector<std::uint8_t> bytes;
        const char* note;
        const char* expected;
    };
    const Case cases[] = {
        // A read request of station 1 for PV.
        {1796703153,
         123,
         "host>inst",
         {0x04, 0x30, 0x30, 0x31, 0x31, 0x50, 0x56, 0x05},
         "read PV",
         "2026-12-08T04:12:33.123Z host>inst   8  04 30 30 31 31 50 56 05  |.0011PV.|  read PV"},
        // The last millisecond of a leap day; bytes outside 0x20..0x7E shown as ".".
        {951868799,
         999,
         "dev>host",
         {0x06, 0x20, 0x7E, 0x7F, 0xFF},
         "",
         "2000-02-29T23:59:59.999Z dev>host   5  06 20 7E 7F FF  |. ~..|"},
        // The first moment of a year, and no bytes at all.
        {946684800, 0, "dev>host", {}, "", "2000-01-01T00:00:00.000Z dev>host   0   ||"},
    };
    for (const Case& c : cases) {
        const system_clock::time_point when{seconds(c.unixSeconds) + milliseconds(c.millis)};
        EXPECT_EQ(host::FormatTraceLine(when, c.direction, c.bytes, c.note), c.expected);
    }
}

}  // namespace
