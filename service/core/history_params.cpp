#include "service/core/history_params.h"

#include <charconv>
#include <cstring>

#include "contract/register_tables.h"

namespace service {
namespace {

constexpr const char* kTimeForms =
    "expected a UTC time like 2026-12-08T12:00:00Z, ms since 1970, now, or -30s, -15m, -1h, -2d";

// Ten years: far from overflow in ms, and farther back than any retention.
constexpr std::int64_t kLongestAgoMs = 3650LL * 86'400'000;
// 9999-12-31T23:59:59.999Z, the last time the ISO form can name.
constexpr std::int64_t kLatestMs = 253'402'300'799'999;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Exactly `width` digits of `text` at `at` as a number; false when any is not a digit.
bool Digits(std::string_view text, std::size_t& at, std::size_t width, int& value) {
    if (at + width > text.size()) return false;
    value = 0;
    for (std::size_t i = 0; i < width; ++i, ++at) {
        if (!IsDigit(text[at])) return false;
        value = value * 10 + (text[at] - '0');
    }
    return true;
}

bool AllDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (!IsDigit(c)) return false;
    }
    return true;
}

bool IsLeapYear(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
    constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// Days from 1970-01-01 to y-m-d of the proleptic Gregorian calendar (Howard Hinnant's
// days_from_civil), so that no time zone or library normalisation can move the date.
std::int64_t DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool ParseIsoUtc(std::string_view text, std::int64_t& ms) {
    std::size_t at = 0;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, frac = 0;
    if (!Digits(text, at, 4, y) || at >= text.size() || text[at++] != '-' ||
        !Digits(text, at, 2, mo) || at >= text.size() || text[at++] != '-' ||
        !Digits(text, at, 2, d)) {
        return false;
    }
    if (mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo)) return false;
    if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
        ++at;
        if (!Digits(text, at, 2, h) || at >= text.size() || text[at++] != ':' ||
            !Digits(text, at, 2, mi) || at >= text.size() || text[at++] != ':' ||
            !Digits(text, at, 2, s)) {
            return false;
        }
        // No leap second: the database's times are POSIX times, which have none.
        if (h > 23 || mi > 59 || s > 59) return false;
        if (at < text.size() && text[at] == '.') {
            ++at;
            int digits = 0;
            for (; at < text.size() && IsDigit(text[at]); ++at, ++digits) {
                if (digits < 3) frac = frac * 10 + (text[at] - '0');
            }
            if (digits == 0) return false;
            for (; digits < 3; ++digits) frac *= 10;
        }
        if (at < text.size() && text[at] == 'Z') ++at;
    }
    if (at != text.size()) return false;
    ms = ((DaysFromCivil(y, mo, d) * 24 + h) * 60 + mi) * 60'000LL + s * 1000LL + frac;
    // The history holds no time before 1970, and its times are written back as text from 1970 on.
    return ms >= 0;
}

// "-N" and a unit: N whole and unsigned, so that "--5m" or "-+5m" never reads as a time ahead.
bool ParseAgo(std::string_view text, std::int64_t nowMs, std::int64_t& ms) {
    if (text.size() < 3 || text.front() != '-') return false;
    std::int64_t unit = 0;
    switch (text.back()) {
        case 's':
            unit = 1000;
            break;
        case 'm':
            unit = 60'000;
            break;
        case 'h':
            unit = 3'600'000;
            break;
        case 'd':
            unit = 86'400'000;
            break;
        default:
            return false;
    }
    const std::string_view count = text.substr(1, text.size() - 2);
    std::uint64_t n = 0;
    const auto r = std::from_chars(count.data(), count.data() + count.size(), n);
    if (!AllDigits(count) || r.ec != std::errc() ||
        n > static_cast<std::uint64_t>(kLongestAgoMs / unit)) {
        return false;
    }
    ms = nowMs - static_cast<std::int64_t>(n) * unit;
    return true;
}

}  // namespace

bool ParseHistoryTime(std::string_view text, std::int64_t nowMs, std::int64_t& ms,
                      std::string& error) {
    std::int64_t parsed = 0;
    bool ok = false;
    if (text == "now") {
        parsed = nowMs;
        ok = true;
    } else if (AllDigits(text)) {
        const auto r = std::from_chars(text.data(), text.data() + text.size(), parsed);
        ok = r.ec == std::errc() && parsed <= kLatestMs;
    } else {
        ok = ParseAgo(text, nowMs, parsed) || ParseIsoUtc(text, parsed);
    }
    if (!ok) {
        error = kTimeForms;
        return false;
    }
    ms = parsed;
    return true;
}

bool ParseHistoryRegister(std::string_view text, std::string& mnemonic, std::string& error) {
    for (const auto table : {contract::DefaultRegisterTable(), contract::QM4720NRegisterTable()}) {
        for (const QM4720RegisterDescriptor& d : table) {
            const std::string_view name(d.mnemonic, strnlen(d.mnemonic, sizeof d.mnemonic));
            if (!name.empty() && name == text) {
                mnemonic = name;
                return true;
            }
        }
    }
    error = "expected a register of the models' tables, e.g. PV (qm4720ctl tables)";
    return false;
}

}  // namespace service
