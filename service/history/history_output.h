// The history as an output of qm4720d: a row for every result the runtime's events tell of, its
// counters in /metrics, and its state in the live JSON ("history": null when none is kept).
//
// A poll's result is a row, and so is every cell of a line that is lost or cannot be opened (a
// failed reading, as MQTT publishes it): a reader of the history sees the gap and why. A meter
// that goes silent adds none: the poll that found it silent is already a row.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "service/core/events.h"
#include "service/core/output.h"
#include "service/core/service_config.h"
#include "service/history/history_writer.h"

namespace service {

// The row that `event` makes in the history; nullopt for a cause that makes none.
std::optional<HistoryRow> RowOf(const ReadingEvent& event);

// What `config` says the history stores of each register and keeps for how long.
HistorySettings HistorySettingsOf(const ServiceConfig& config);

// The history's families of /metrics (qm4720_history_...), appended to `text`.
void AppendHistoryMetrics(std::string& text, const HistoryWriter& writer);
// The live JSON's "history" member: null when none is kept (`writer` null), else its state.
std::string HistoryStatusJson(const HistoryWriter* writer);

class HistoryOutput final : public Output, public EventSubscriber {
public:
    // `writer` may be null: no history is kept. The database outlives a reload that keeps it, so
    // the writer is shared with whoever keeps it open across configurations.
    explicit HistoryOutput(std::shared_ptr<HistoryWriter> writer) : writer_(std::move(writer)) {}

    bool Start(ServiceRuntime& runtime, std::string& error) override;
    // Commits what the lines queued.
    void Stop() override;
    void AppendMetrics(std::string& text) const override;
    void AppendStatus(std::vector<StatusMember>& members) const override;

    void OnReading(const ReadingEvent& event) override;

private:
    std::shared_ptr<HistoryWriter> writer_;
};

}  // namespace service
