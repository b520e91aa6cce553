// The times and register names that qm4720ctl history and GET /api/v1/history take
// (service/core/history_params.h). A time that is taken is in range for its form, an age is never
// ahead of now, a calendar date is read as that very day (never moved into the next month), and a
// refused text leaves the result untouched and says why. A register that is taken is the text
// itself.
//
// Input: the text, whole. Now is 2026-12-08T16:00:00Z.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "service/core/history_params.h"

namespace {

constexpr std::int64_t kNow = 1796745600000;
constexpr std::int64_t kTenYearsMs = 3650LL * 86'400'000;
constexpr std::int64_t kLatestMs = 253'402'300'799'999;  // 9999-12-31T23:59:59.999Z

// "YYYY-MM-DD" of a time from 1970 on (the civil-from-days inverse of the parser's arithmetic,
// written here apart from it).
std::string DateOf(std::int64_t ms) {
    std::int64_t z = ms / 86'400'000 + 719468;
    const std::int64_t era = z / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = yoe + era * 400 + (m <= 2);
    char text[16];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld", static_cast<long long>(y),
                  static_cast<long long>(m), static_cast<long long>(d));
    return text;
}

bool IsoDateForm(std::string_view text) {
    if (text.size() < 10 || text[4] != '-' || text[7] != '-') return false;
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    constexpr std::int64_t kUntouched = -123456789;
    std::int64_t ms = kUntouched;
    std::string error;
    const bool taken = service::ParseHistoryTime(text, kNow, ms, error);
    if (!taken) {
        FUZZ_CHECK(ms == kUntouched);
        FUZZ_CHECK(!error.empty());
    } else if (!text.empty() && text.front() == '-') {
        FUZZ_CHECK(ms <= kNow && kNow - ms <= kTenYearsMs);
    } else {
        FUZZ_CHECK(text == "now" || (ms >= 0 && ms <= kLatestMs));
        if (IsoDateForm(text) && ms >= 0) FUZZ_CHECK(DateOf(ms) == text.substr(0, 10));
    }
    std::int64_t again = kUntouched;
    FUZZ_CHECK(service::ParseHistoryTime(text, kNow, again, error) == taken);
    if (taken) FUZZ_CHECK(again == ms);

    std::string mnemonic = "untouched";
    error.clear();
    if (service::ParseHistoryRegister(text, mnemonic, error)) {
        FUZZ_CHECK(mnemonic == text);
        FUZZ_CHECK(!text.empty() && text.size() <= 8);
    } else {
        FUZZ_CHECK(mnemonic == "untouched");
        FUZZ_CHECK(!error.empty());
    }
    return 0;
}
