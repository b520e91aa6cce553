#include "tools/ctl/history_command.h"

#include <vector>

#include "tools/ctl/command_support.h"
#include "tools/service/history_reader.h"

namespace ctl {
namespace {

// A time of the database (ms since 1970-01-01 UTC) as a file time, for the --time styles.
std::uint64_t FileTimeOfMs(std::int64_t ms) {
    constexpr std::int64_t kMsFrom1601To1970 = 11644473600000;
    return static_cast<std::uint64_t>(ms + kMsFrom1601To1970) * 10000;
}

}  // namespace

CLI::App* AddHistoryCommand(CLI::App& app, HistoryOptions& o) {
    auto* history = app.add_subcommand("history", "print rows of qm4720d's history database");
    history->add_option("--db", o.database, "the database (qm4720d.toml: history.database)")
        ->required()
        ->type_name("FILE");
    history->add_option("--since", o.since, "from this UTC time on: 2026-12-08T12:00:00Z or ms")
        ->type_name("TIME");
    history->add_option("--until", o.until, "before this UTC time")->type_name("TIME");
    history->add_option("--station", o.stations, "stations, e.g. 1,3-5");
    history->add_option("--register", o.mnemonic, "one register, e.g. PV");
    history->add_option("--line", o.line, "one line by its configured name");
    history->footer(
        "Columns: time (as --time says), line, station, register, value (empty when the read\n"
        "failed), quality (192 good), error_code (the driver's code, -1 none); oldest first.\n"
        "Example: qm4720ctl history --db /var/lib/qm4720d/history.db --station 1 --register PV\n"
        "           --since 2026-12-08T00:00:00Z --format csv");
    return history;
}

int RunHistory(const HistoryOptions& o, const Options& options) {
    service::HistoryFilter filter;
    if (!o.since.empty() && !service::ParseUtcTime(o.since, filter.sinceMs)) {
        Diagnose("--since " + o.since + ": expected a UTC time like 2026-12-08T12:00:00Z or ms");
        return kExitUsage;
    }
    if (!o.until.empty() && !service::ParseUtcTime(o.until, filter.untilMs)) {
        Diagnose("--until " + o.until + ": expected a UTC time like 2026-12-08T12:00:00Z or ms");
        return kExitUsage;
    }
    std::string error;
    if (!o.stations.empty() && !ParseStationList(o.stations, filter.stations, error)) {
        Diagnose("--station: " + error);
        return kExitUsage;
    }
    filter.line = o.line;
    filter.mnemonic = o.mnemonic;

    auto reader = service::HistoryReader::Open(o.database, error);
    if (reader == nullptr) {
        Diagnose("--db " + error);
        return kExitFailure;
    }
    int status = kExitOk;
    if (!RedirectOutput(options, status)) return status;
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
