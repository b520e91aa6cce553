#include "service/core/history_points.h"

#include <algorithm>
#include <limits>
#include <map>

#include "service/core/history_schema.h"

namespace service {
namespace {

std::int64_t FloorTo(std::int64_t ms, std::int64_t width) {
    const std::int64_t q = ms / width;
    return (ms % width != 0 && ms < 0 ? q - 1 : q) * width;
}

// How many aligned buckets of `width` [sinceMs, untilMs) touches.
std::int64_t BucketsCovering(std::int64_t sinceMs, std::int64_t untilMs, std::int64_t width) {
    return (FloorTo(untilMs - 1, width) - FloorTo(sinceMs, width)) / width + 1;
}

HistoryPoint PointOf(const HistoryRow& row) {
    HistoryPoint p;
    p.utcMs = row.utcMs;
    if (row.value) {
        p.min = p.max = p.mean = row.value;
        p.count = 1;
    } else {
        p.failed = 1;
    }
    return p;
}

}  // namespace

const char* PointsResolutionName(PointsResolution resolution) {
    switch (resolution) {
        case PointsResolution::kRaw:
            return "raw";
        case PointsResolution::kMinute:
            return "minute";
        case PointsResolution::kHour:
            return "hour";
    }
    return "raw";
}

std::int64_t BucketWidthFor(std::int64_t sinceMs, std::int64_t untilMs, std::size_t maxPoints,
                            std::int64_t unitMs) {
    const std::int64_t span = untilMs - sinceMs;
    const auto n = static_cast<std::int64_t>(std::max<std::size_t>(maxPoints, 1));
    std::int64_t units = std::max<std::int64_t>(1, (span / n + unitMs - 1) / unitMs);
    // The span's first and last buckets may each be cut by it: a little wider then, until the
    // aligned buckets that cover it are few enough.
    while (BucketsCovering(sinceMs, untilMs, units * unitMs) > n) {
        units += std::max<std::int64_t>(1, units / 16);
    }
    return units * unitMs;
}

bool ReadHistoryPoints(HistoryReader& reader, const HistoryFilter& filter, std::size_t maxPoints,
                       HistoryPoints& answer, std::string& error) {
    answer = HistoryPoints{};
    std::uint64_t stored = 0;
    if (!reader.Count(filter, stored, error, maxPoints)) return false;
    if (stored < maxPoints) {
        // The held value at the start may make it one more than fits.
        std::vector<HistoryPoint> points;
        if (!reader.Read(
                filter, [&](const HistoryRow& r) { points.push_back(PointOf(r)); }, error)) {
            return false;
        }
        if (points.size() <= maxPoints) {
            answer.points = std::move(points);
            return true;
        }
    }

    // Minutes where their width is fine enough and they reach back to the span's start (their
    // retention is shorter), else hours.
    constexpr std::int64_t kMinute = history_schema::kMinuteMs;
    constexpr std::int64_t kHour = history_schema::kHourMs;
    std::int64_t width = BucketWidthFor(filter.sinceMs, filter.untilMs, maxPoints, kMinute);
    BucketTable table = BucketTable::kMinutes;
    if (width < kHour) {
        std::optional<std::int64_t> oldestMinute, oldestHour;
        if (!reader.OldestBucket(BucketTable::kMinutes, filter, oldestMinute, error) ||
            !reader.OldestBucket(BucketTable::kHours, filter, oldestHour, error)) {
            return false;
        }
        const bool minutesReach = oldestMinute && (*oldestMinute <= filter.sinceMs || !oldestHour ||
                                                   *oldestHour >= *oldestMinute);
        if (!minutesReach && oldestHour) table = BucketTable::kHours;
    } else {
        table = BucketTable::kHours;
    }
    if (table == BucketTable::kHours) {
        width = BucketWidthFor(filter.sinceMs, filter.untilMs, maxPoints, kHour);
    }
    answer.resolution =
        table == BucketTable::kMinutes ? PointsResolution::kMinute : PointsResolution::kHour;
    answer.bucketMs = width;

    // The source's buckets that start in the span's first wide bucket on, merged into it.
    HistoryFilter span = filter;
    span.sinceMs = FloorTo(filter.sinceMs, table == BucketTable::kMinutes ? kMinute : kHour);
    struct Sum {
        HistoryPoint point;
        double sum = 0;
    };
    std::map<std::int64_t, Sum> merged;
    const bool ok = reader.ReadBuckets(
        table, span,
        [&](const HistoryBucket& b) {
            Sum& s = merged[FloorTo(b.startMs, width)];
            HistoryPoint& p = s.point;
            if (b.min) p.min = p.min ? std::min(*p.min, *b.min) : *b.min;
            if (b.max) p.max = p.max ? std::max(*p.max, *b.max) : *b.max;
            s.sum += b.sum;
            p.count += b.count;
            p.failed += b.failed;
        },
        error);
    if (!ok) return false;
    for (auto& [start, s] : merged) {
        s.point.utcMs = start;
        if (s.point.count != 0) s.point.mean = s.sum / static_cast<double>(s.point.count);
        answer.points.push_back(s.point);
    }
    return true;
}

}  // namespace service
