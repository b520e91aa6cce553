#include "service/history/history_output.h"

#include <nlohmann/json.hpp>

#include "service/core/metrics_format.h"
#include "service/core/service_runtime.h"

namespace service {

std::optional<HistoryRow> RowOf(const ReadingEvent& event) {
    if (event.cause == ReadingCause::kMeterSilent) return std::nullopt;
    const LiveCell& cell = event.cell;
    return HistoryRow{cell.utcMs,
                      std::string(event.line),
                      cell.station,
                      cell.mnemonic,
                      cell.ok ? std::optional<double>(cell.value) : std::nullopt,
                      cell.ok ? cell.quality : std::int16_t{0},
                      cell.errorCode,
                      cell.model};
}

HistorySettings HistorySettingsOf(const ServiceConfig& config) {
    const HistoryConfig& h = config.history;
    HistorySettings s;
    s.defaults = {h.deadband, h.heartbeat.count()};
    s.minuteRetention = h.minuteRetention;
    s.hourRetention = h.hourRetention;
    s.maxBytes = h.maxSizeMb * 1024 * 1024;
    for (const LineConfig& line : config.lines) {
        for (const MeterConfig& meter : line.meters) {
            for (const RegisterOptions& o : meter.options) {
                if (!o.deadband && !o.heartbeat) continue;
                s.registers[SeriesKey(line.name, meter.station, o.reg.mnemonic)] = {
                    o.deadband.value_or(h.deadband), o.heartbeat.value_or(h.heartbeat).count()};
            }
        }
    }
    return s;
}

bool HistoryOutput::Start(ServiceRuntime& runtime, std::string& /*error*/) {
    if (writer_ == nullptr) return true;
    writer_->SetSettings(HistorySettingsOf(runtime.config()));
    runtime.events().Subscribe(*this);
    return true;
}

void HistoryOutput::Stop() {
    if (writer_ != nullptr) writer_->Flush();
}

void HistoryOutput::OnReading(const ReadingEvent& event) {
    if (auto row = RowOf(event)) writer_->Add(std::move(*row));
}

void AppendHistoryMetrics(std::string& out, const HistoryWriter& writer) {
    using metrics::Family;
    using metrics::Sample;
    const HistoryCounters c = writer.Counters();
    Family(out, "qm4720_history_rows_written_total", "counter",
           "Rows committed to the history database.");
    Sample(out, "qm4720_history_rows_written_total", "", c.rowsWritten);
    Family(out, "qm4720_history_rows_stored_total", "counter",
           "Of the rows committed, those stored as rows of their own (the value moved beyond its "
           "deadband, its quality or error changed, or its heartbeat was due); every one is in "
           "the minute and hour aggregates.");
    Sample(out, "qm4720_history_rows_stored_total", "", c.rowsStored);
    Family(out, "qm4720_history_rows_dropped_total", "counter",
           "Rows not written to the history: its queue was full, or their batch could not be "
           "committed (disk full, file read-only or gone).");
    Sample(out, "qm4720_history_rows_dropped_total", "", c.rowsDropped);
    Family(out, "qm4720_history_failing", "gauge",
           "1 while the history cannot be written (the log says why), else 0.");
    Sample(out, "qm4720_history_failing", "", c.failing ? 1.0 : 0.0);
    Family(out, "qm4720_history_last_commit_timestamp_seconds", "gauge",
           "Unix time of the history's last commit; 0 before the first.");
    Sample(out, "qm4720_history_last_commit_timestamp_seconds", "",
           static_cast<double>(c.lastCommitUtcMs) / 1000.0);
}

std::string HistoryStatusJson(const HistoryWriter* writer) {
    if (writer == nullptr) return "null";
    const HistoryCounters c = writer->Counters();
    nlohmann::ordered_json h;
    h["state"] = c.failing ? "failing" : "writing";
    h["error"] = c.error;
    h["rows_dropped"] = c.rowsDropped;
    return h.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void HistoryOutput::AppendMetrics(std::string& out) const {
    if (writer_ != nullptr) AppendHistoryMetrics(out, *writer_);
}

void HistoryOutput::AppendStatus(std::vector<StatusMember>& members) const {
    members.push_back({"history", HistoryStatusJson(writer_.get())});
}

}  // namespace service
