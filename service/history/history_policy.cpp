#include "service/history/history_policy.h"

#include <cmath>

namespace service {

std::string SeriesKey(std::string_view line, int station, std::string_view mnemonic) {
    std::string key(line);
    key += '\0';
    key += std::to_string(station);
    key += '\0';
    key += mnemonic;
    return key;
}

bool ChangeFilter::Keep(const std::string& key, const StorePolicy& policy, const HistoryRow& row) {
    const bool everyReading = policy.deadband <= 0 && policy.heartbeatMs <= 0;
    auto it = last_.find(key);
    bool keep = everyReading || it == last_.end();
    if (!keep) {
        const Kept& k = it->second;
        keep = row.quality != k.quality || row.errorCode != k.errorCode ||
               row.value.has_value() != k.value.has_value() ||
               (policy.heartbeatMs > 0 && row.utcMs - k.utcMs >= policy.heartbeatMs) ||
               // A row of an earlier time than the last kept (a clock set back) is kept: the
               // span it falls in has nothing to hold its value.
               row.utcMs < k.utcMs ||
               (row.value && std::fabs(*row.value - *k.value) > policy.deadband);
    }
    if (keep) {
        // Only when judged: with every reading kept, nothing is remembered.
        if (!everyReading) last_[key] = Kept{row.utcMs, row.value, row.quality, row.errorCode};
    }
    return keep;
}

}  // namespace service
