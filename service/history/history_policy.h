// Which readings the history stores: a register's reading is kept when its value moved by more
// than the register's deadband since the last one kept, when its quality or error differs from
// that one's, or when the last one kept is a heartbeat old; with no deadband and no heartbeat,
// every reading. Readers answer a span with the value held at its start, so a step curve of the
// kept rows is the polled values to within the deadband.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "service/core/history_row.h"

namespace service {

struct StorePolicy {
    double deadband = 0;           // absolute, in the register's unit; 0: every change
    std::int64_t heartbeatMs = 0;  // a reading at least this often; 0: none
};

// What the history keeps and for how long ([history] and [[line.meter.register]]).
struct HistorySettings {
    StorePolicy defaults;
    std::map<std::string, StorePolicy> registers;  // by SeriesKey
    std::chrono::milliseconds minuteRetention{std::chrono::hours(24 * 7)};
    std::chrono::milliseconds hourRetention{std::chrono::hours(24 * 365)};
    std::uint64_t maxBytes = 0;  // 0: no bound but the age

    const StorePolicy& PolicyOf(const std::string& key) const {
        const auto it = registers.find(key);
        return it != registers.end() ? it->second : defaults;
    }
};

// The name of one register of one meter of one line among the history's series.
std::string SeriesKey(std::string_view line, int station, std::string_view mnemonic);

// The last reading kept of each series, to judge the next one by.
class ChangeFilter {
public:
    // True when `row` of the series `key` is to be stored (and it then becomes the last kept).
    bool Keep(const std::string& key, const StorePolicy& policy, const HistoryRow& row);
    // Forgets every series: the next reading of each is kept (a new database file).
    void Clear() { last_.clear(); }

private:
    struct Kept {
        std::int64_t utcMs = 0;
        std::optional<double> value;
        std::int16_t quality = 0;
        std::int32_t errorCode = -1;
    };
    std::map<std::string, Kept> last_;
};

}  // namespace service
