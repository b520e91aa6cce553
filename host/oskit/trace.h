// A time-stamped trace of the bytes on a serial line, one line per frame or chunk:
//   2026-12-08T04:12:33.123Z host>inst   8  04 30 30 31 31 50 56 05  |.0011PV.|  read PV
// The time is UTC with milliseconds; the bytes are shown in hexadecimal and as printable text,
// with "." for every byte outside 0x20..0x7E.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

namespace host {

// One trace line without its line end.
std::string FormatTraceLine(std::chrono::system_clock::time_point when, std::string_view direction,
                            std::span<const std::uint8_t> bytes, std::string_view note);

// Writes trace lines to a stream; lines from several threads never interleave.
class Tracer {
public:
    explicit Tracer(std::FILE* out) : out_(out) {}

    void Trace(std::string_view direction, std::span<const std::uint8_t> bytes,
               std::string_view note = {});

    // A line of text in the trace (a note without bytes), with its time stamp.
    void Note(std::string_view text);

private:
    std::FILE* out_;
    std::mutex mutex_;
};

}  // namespace host
