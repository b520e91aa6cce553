// One register's history as at most N points, for a chart: the stored rows when they fit, else
// buckets of whole minutes or hours (each its minimum, maximum, mean and counts of the polled
// readings), wide enough that no more than N of them cover the span. Shared by
// GET /api/v1/history?points=N and qm4720ctl history --points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "service/core/history_reader.h"

namespace service {

enum class PointsResolution : std::uint8_t { kRaw, kMinute, kHour };

const char* PointsResolutionName(PointsResolution resolution);

// One stored row (raw) or one bucket: min, max and mean of its good readings (none when it has
// none), how many were good and how many failed. A bucket's time is its start.
struct HistoryPoint {
    std::int64_t utcMs = 0;
    std::optional<double> min;
    std::optional<double> max;
    std::optional<double> mean;
    std::uint64_t count = 0;
    std::uint64_t failed = 0;
};

struct HistoryPoints {
    PointsResolution resolution = PointsResolution::kRaw;
    std::int64_t bucketMs = 0;  // 0 for raw rows
    std::vector<HistoryPoint> points;
};

inline constexpr std::size_t kHistoryMaxPoints = 10000;

// The width of aligned buckets (a multiple of `unitMs`, starting at multiples of themselves since
// 1970) of which at most `maxPoints` cover [sinceMs, untilMs).
std::int64_t BucketWidthFor(std::int64_t sinceMs, std::int64_t untilMs, std::size_t maxPoints,
                            std::int64_t unitMs);

// The points of the one register `filter` names (line, one station, register) in
// [filter.sinceMs, filter.untilMs), both bounded; at most `maxPoints` (1 .. kHistoryMaxPoints).
// Raw rows begin with the value held at sinceMs. False with `error` when the file cannot be read.
bool ReadHistoryPoints(HistoryReader& reader, const HistoryFilter& filter, std::size_t maxPoints,
                       HistoryPoints& answer, std::string& error);

}  // namespace service
