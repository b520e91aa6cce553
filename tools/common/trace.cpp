#include "tools/common/trace.h"

#include <ctime>

namespace tooling {
namespace {

std::string TimeStamp(std::chrono::system_clock::time_point when) {
    const auto sinceEpoch = when.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
    const std::time_t t = static_cast<std::time_t>(seconds.count());
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis));
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

}  // namespace tooling
