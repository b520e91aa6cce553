#include "host/oskit/trace.h"

namespace host {
namespace {

std::string TimeStamp(std::chrono::system_clock::time_point when) {
    // The system clock counts UTC without leap seconds, so the civil date and time of day follow
    // from it directly, on every system alike.
    using namespace std::chrono;
    const auto millisSinceEpoch = floor<milliseconds>(when);
    const auto day = floor<days>(millisSinceEpoch);
    const year_month_day date{day};
    const hh_mm_ss time{millisSinceEpoch - day};
    char text[96];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

}  // namespace

std::string FormatTraceLine(std::chrono::system_clock::time_point when, std::string_view direction,
                            std::span<const std::uint8_t> bytes, std::string_view note) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string line = TimeStamp(when);
    line += ' ';
    line += direction;
    char count[16];
    std::snprintf(count, sizeof count, " %3zu ", bytes.size());
    line += count;
    for (const std::uint8_t b : bytes) {
        line += ' ';
        line += kHex[b >> 4];
        line += kHex[b & 0x0F];
    }
    line += "  |";
    for (const std::uint8_t b : bytes)
        line += (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
    line += '|';
    if (!note.empty()) {
        line += "  ";
        line += note;
    }
    return line;
}

void Tracer::Trace(std::string_view direction, std::span<const std::uint8_t> bytes,
                   std::string_view note) {
    std::string line = FormatTraceLine(std::chrono::system_clock::now(), direction, bytes, note);
    line += '\n';
    std::lock_guard lock(mutex_);
    std::fputs(line.c_str(), out_);
    std::fflush(out_);
}

void Tracer::Note(std::string_view text) {
    std::string line = TimeStamp(std::chrono::system_clock::now());
    line += ' ';
    line += text;
    line += '\n';
    std::lock_guard lock(mutex_);
    std::fputs(line.c_str(), out_);
    std::fflush(out_);
}

}  // namespace host
