#include "service/core/history_config.h"

#include <cmath>

namespace service {
namespace {

constexpr double kLongestHeartbeatS = 86400.0 * 366;
constexpr double kWidestDeadband = 1e12;

std::chrono::milliseconds Days(const Section& table, std::string_view key, double fallback) {
    const double days = table.Number(key, fallback, 0.001, 36500, "days");
    return std::chrono::milliseconds(std::llround(days * 86400000.0));
}

std::chrono::milliseconds Heartbeat(const Section& table, std::chrono::milliseconds fallback) {
    const double s = table.Number("heartbeat_s", static_cast<double>(fallback.count()) / 1000.0, 0,
                                  kLongestHeartbeatS, "seconds");
    return std::chrono::milliseconds(std::llround(s * 1000));
}

}  // namespace

void ReadHistoryTable(const Section& history, HistoryConfig& config) {
    history.OnlyKeys({"database", "retention_days", "deadband", "heartbeat_s",
                      "minute_retention_days", "hour_retention_days", "max_size_mb"});
    config.database = history.String("database", "", true);
    config.retention = Days(history, "retention_days", 30);
    config.deadband = history.Number("deadband", 0, 0, kWidestDeadband, "a value");
    config.heartbeat = Heartbeat(history, std::chrono::milliseconds(0));
    config.minuteRetention = Days(history, "minute_retention_days", 7);
    config.hourRetention = Days(history, "hour_retention_days", 365);
    // At least a few pages of each table; at most a petabyte.
    config.maxSizeMb =
        static_cast<std::uint64_t>(history.Integer("max_size_mb", 0, 0, 1'000'000'000, false));
    if (config.maxSizeMb == 1) history.Refuse("max_size_mb", "expected 0 (no bound) or at least 2");
}

void ReadRegisterHistoryKeys(const Section& table, RegisterOptions& options) {
    if (table.Find("deadband") != nullptr) {
        options.deadband = table.Number("deadband", 0, 0, kWidestDeadband, "a value");
    }
    if (table.Find("heartbeat_s") != nullptr) {
        options.heartbeat = Heartbeat(table, std::chrono::milliseconds(0));
    }
}

}  // namespace service
