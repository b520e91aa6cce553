#include "tools/ctl/history_command.h"

#include <chrono>
#include <vector>

#include "tools/ctl/command_support.h"
#include "service/core/history_params.h"
#include "service/core/history_points.h"
#include "service/core/history_reader.h"

namespace ctl {
namespace {

// A time of the database (ms since 1970-01-01 UTC) as a file time, for the --time styles.
std::uint64_t FileTimeOfMs(std::int64_t ms) {
    constexpr std::int64_t kMsFrom1601To1970 = 11644473600000;
    return static_cast<std::uint64_t>(ms + kMsFrom1601To1970) * 10000;
}

// The points of one register: time (a bucket's start), resolution, bucket_ms, min, max, mean,
// count, failed.
int PrintPoints(service::HistoryReader& reader, const service::HistoryFilter& filter,
                std::size_t maxPoints, const Options& options) {
    service::HistoryPoints points;
    std::string error;
    if (!service::ReadHistoryPoints(reader, filter, maxPoints, points, error)) {
        Diagnose("--db " + error);
        return kExitFailure;
    }
    int status = kExitOk;
    if (!RedirectOutput(options, status)) return status;
    RecordWriter writer(options.format, {"time", "resolution", "bucket_ms", "min", "max", "mean",
                                         "count", "failed"});
    const auto number = [](const std::optional<double>& v) {
        return v ? Cell::Number(*v) : Cell::Null();
    };
    for (const service::HistoryPoint& p : points.points) {
        writer.Row({TimeCell(FileTimeOfMs(p.utcMs), options.time),
                    Cell::Text(service::PointsResolutionName(points.resolution)),
                    Cell::Number(static_cast<double>(points.bucketMs)), number(p.min),
                    number(p.max), number(p.mean), Cell::Number(static_cast<double>(p.count)),
                    Cell::Number(static_cast<double>(p.failed))});
    }
    writer.Finish();
    return kExitOk;
}

}  // namespace

CLI::App* AddHistoryCommand(CLI::App& app, HistoryOptions& o) {
    auto* history = app.add_subcommand("history", "print rows of qm4720d's history database");
    history->add_option("--db", o.database, "the database (qm4720d.toml: history.database)")
        ->required()
        ->type_name("FILE");
    history
        ->add_option("--since", o.since,
                     "from this time on: 2026-12-08T12:00:00Z, ms since 1970, now, or -30s, "
                     "-15m, -1h, -2d before now")
        ->type_name("TIME");
    history->add_option("--until", o.until, "before this time (the same forms)")->type_name("TIME");
    history->add_option("--station", o.stations, "stations, e.g. 1,3-5");
    history->add_option("--register", o.mnemonic, "one register, e.g. PV");
    history->add_option("--line", o.line, "one line by its configured name");
    history
        ->add_option("--points", o.points,
                     "at most N points of one register (--line, --station, --register): its rows "
                     "when they fit, else minute or hour buckets with min, max, mean and counts")
        ->check(CLI::Range(std::size_t{1}, service::kHistoryMaxPoints))
        ->type_name("N");
    history->footer(
        "Columns: time (as --time says), line, station, register, value (empty when the read\n"
        "failed), quality (192 good), error_code (the driver's code, -1 none); oldest first;\n"
        "with --since, each register's value held then first, at that time. With --points:\n"
        "time, resolution (raw, minute, hour), bucket_ms, min, max, mean, count, failed.\n"
        "Example: qm4720ctl history --db /var/lib/qm4720d/history.db --station 1 --register PV\n"
        "           --since 2026-12-08T00:00:00Z --format csv");
    return history;
}

int RunHistory(const HistoryOptions& o, const Options& options) {
    service::HistoryFilter filter;
    std::string error;
    const std::int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count();
    if (!o.since.empty() && !service::ParseHistoryTime(o.since, nowMs, filter.sinceMs, error)) {
        Diagnose("--since " + o.since + ": " + error);
        return kExitUsage;
    }
    if (!o.until.empty() && !service::ParseHistoryTime(o.until, nowMs, filter.untilMs, error)) {
        Diagnose("--until " + o.until + ": " + error);
        return kExitUsage;
    }
    if (filter.sinceMs >= filter.untilMs) {
        Diagnose("--since must be before --until");
        return kExitUsage;
    }
    if (!o.mnemonic.empty() && !service::ParseHistoryRegister(o.mnemonic, filter.mnemonic, error)) {
        Diagnose("--register " + o.mnemonic + ": " + error);
        return kExitUsage;
    }
    if (!o.stations.empty() && !ParseStationList(o.stations, filter.stations, error)) {
        Diagnose("--station: " + error);
        return kExitUsage;
    }
    filter.line = o.line;
    if (o.points != 0) {
        if (o.line.empty() || filter.stations.size() != 1 || filter.mnemonic.empty()) {
            Diagnose("--points: name one register with --line, --station and --register");
            return kExitUsage;
        }
        if (o.until.empty()) filter.untilMs = nowMs;
        if (o.since.empty()) filter.sinceMs = nowMs - 3'600'000;
        if (filter.sinceMs >= filter.untilMs) {
            Diagnose("--since must be before --until");
            return kExitUsage;
        }
    }

    auto reader = service::HistoryReader::Open(o.database, error);
    if (reader == nullptr) {
        Diagnose("--db " + error);
        return kExitFailure;
    }
    int status = kExitOk;
    if (!RedirectOutput(options, status)) return status;
    if (o.points != 0) return PrintPoints(*reader, filter, o.points, options);
    RecordWriter writer(options.format,
                        {"time", "line", "station", "register", "value", "quality", "error_code"});
    const bool ok = reader->Read(
        filter,
        [&](const service::HistoryRow& r) {
            writer.Row({TimeCell(FileTimeOfMs(r.utcMs), options.time), Cell::Text(r.line),
                        Cell::Number(r.station), Cell::Text(r.mnemonic),
                        r.value ? Cell::Number(*r.value) : Cell::Null(), Cell::Number(r.quality),
                        Cell::Number(r.errorCode)});
        },
        error);
    writer.Finish();
    if (!ok) Diagnose("--db " + error);
    return ok ? kExitOk : kExitFailure;
}

}  // namespace ctl
