#include "tools/service/metrics_text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <vector>

#include "contract/meter_values.h"

namespace service {
namespace {

// What one scrape reads of a line, copied once so that every family shows the same moment.
struct LineView {
    std::string label;  // line="..."
    LineState state = LineState::kStarting;
    LineCounters counters;
    std::vector<LiveCell> cells;
    std::vector<std::string> cellLabels;  // line="...",station="...",register="...",model="..."
    std::vector<std::pair<std::string, bool>> meters;  // line="...",station="..." and silent
};

void AppendNumber(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
    } else if (std::isinf(value)) {
        out += value > 0 ? "+Inf" : "-Inf";
    } else {
        // A meter's value as the meter sent it (99.95, not the 99.94999694824219 its float
        // widens to); any other number in its shortest text.
        char text[32];
        const auto end = std::to_chars(text, text + sizeof text, contract::MeterDecimal(value)).ptr;
        out.append(text, end);
    }
}

void AppendNumber(std::string& out, std::uint64_t value) {
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    out.append(text, end);
}

void Family(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

template <typename Number>
void Sample(std::string& out, std::string_view name, std::string_view labels, Number value) {
    out.append(name);
    if (!labels.empty()) out.append("{").append(labels).append("}");
    out += ' ';
    AppendNumber(out, value);
    out += '\n';
}

void AppendLabel(std::string& out, std::string_view name, std::string_view value) {
    if (!out.empty()) out += ',';
    out.append(name).append("=\"").append(EscapeLabelValue(value)).append("\"");
}

std::vector<LineView> ViewLines(const LiveTable& live) {
    std::vector<LineView> views;
    for (const auto& table : live.Lines()) {
        LineView view;
        AppendLabel(view.label, "line", table->name());
        view.state = table->State();
        view.counters = table->Counters();
        view.cells = table->Snapshot();
        std::int16_t lastStation = -1;
        for (const LiveCell& cell : view.cells) {
            std::string labels = view.label;
            AppendLabel(labels, "station", std::to_string(cell.station));
            // The cells of a meter are next to each other.
            if (cell.station != lastStation) {
                view.meters.emplace_back(
                    labels, view.state != LineState::kLost && table->MeterSilent(cell.station));
                lastStation = cell.station;
            }
            AppendLabel(labels, "register", cell.mnemonic);
            AppendLabel(labels, "model", cell.model.empty() ? "default" : cell.model);
            view.cellLabels.push_back(std::move(labels));
        }
        views.push_back(std::move(view));
    }
    return views;
}

void AppendRegisters(std::string& out, const std::vector<LineView>& lines, SteadyTime now) {
    Family(out, "qm4720_register_value", "gauge",
           "The latest good value of a polled register; no sample while it is failed or stale.");
    for (const LineView& line : lines) {
        for (std::size_t i = 0; i < line.cells.size(); ++i) {
            const LiveCell& cell = line.cells[i];
            if (JudgeCell(cell, now) == CellState::kGood) {
                Sample(out, "qm4720_register_value", line.cellLabels[i], cell.value);
            }
        }
    }
    Family(out, "qm4720_register_up", "gauge",
           "1 when the register's last read is good and younger than its allowed age, else 0.");
    for (const LineView& line : lines) {
        for (std::size_t i = 0; i < line.cells.size(); ++i) {
            const bool good = JudgeCell(line.cells[i], now) == CellState::kGood;
            Sample(out, "qm4720_register_up", line.cellLabels[i], good ? 1.0 : 0.0);
        }
    }
    Family(out, "qm4720_register_age_seconds", "gauge",
           "Seconds since the register's latest good value; no sample before the first.");
    for (const LineView& line : lines) {
        for (std::size_t i = 0; i < line.cells.size(); ++i) {
            if (const auto age = CellAge(line.cells[i], now)) {
                Sample(out, "qm4720_register_age_seconds", line.cellLabels[i],
                       static_cast<double>(age->count()) / 1000.0);
            }
        }
    }
}

void AppendExchanges(std::string& out, const std::vector<LineView>& lines) {
    Family(out, "qm4720_exchanges_total", "counter",
           "Exchanges with the meters of a line by outcome, since the line was started.");
    for (const LineView& line : lines) {
        const LineCounters& c = line.counters;
        const std::array<std::pair<const char*, std::uint64_t>, 6> outcomes{{
            {"ok", c.ok},
            {"timeout", c.timeout},
            {"reply_error", c.replyError},
            {"nak", c.refused},
            {"other_error", c.otherError},
            {"open_error", c.openFailed},
        }};
        for (const auto& [outcome, count] : outcomes) {
            std::string labels = line.label;
            AppendLabel(labels, "outcome", outcome);
            Sample(out, "qm4720_exchanges_total", labels, count);
        }
    }

    Family(out, "qm4720_write_refusals_total", "counter",
           "Writes of a line refused before the line for what the client asked (not writable, "
           "a value the meter's field cannot carry); not exchanges.");
    for (const LineView& line : lines) {
        Sample(out, "qm4720_write_refusals_total", line.label, line.counters.writeRefusals);
    }

    Family(out, "qm4720_exchange_latency_seconds", "histogram",
           "Wall time of an exchange with a meter (every outcome but a failed open).");
    for (const LineView& line : lines) {
        const LineCounters& c = line.counters;
        for (std::size_t i = 0; i < kLatencyBoundsMs.size(); ++i) {
            std::string le;
            AppendNumber(le, kLatencyBoundsMs[i] / 1000.0);
            std::string labels = line.label;
            AppendLabel(labels, "le", le);
            Sample(out, "qm4720_exchange_latency_seconds_bucket", labels, c.latencyAtMost[i]);
        }
        std::string labels = line.label;
        AppendLabel(labels, "le", "+Inf");
        Sample(out, "qm4720_exchange_latency_seconds_bucket", labels, c.latencyCount);
        Sample(out, "qm4720_exchange_latency_seconds_sum", line.label, c.latencySumMs / 1000.0);
        Sample(out, "qm4720_exchange_latency_seconds_count", line.label, c.latencyCount);
    }

    Family(out, "qm4720_line_state", "gauge",
           "1 for the state the line is in (starting, up, lost), 0 for the others.");
    constexpr std::array kStates{LineState::kStarting, LineState::kUp, LineState::kLost};
    for (const LineView& line : lines) {
        for (const LineState state : kStates) {
            std::string labels = line.label;
            AppendLabel(labels, "state", LineStateName(state));
            Sample(out, "qm4720_line_state", labels, state == line.state ? 1.0 : 0.0);
        }
    }
    Family(out, "qm4720_meter_silent", "gauge",
           "1 while a polled meter does not answer on a line that is up (it is asked again at "
           "its own backoff), else 0.");
    for (const LineView& line : lines) {
        for (const auto& [labels, silent] : line.meters) {
            Sample(out, "qm4720_meter_silent", labels, silent ? 1.0 : 0.0);
        }
    }
}

void AppendHistory(std::string& out, const HistoryWriter& history) {
    const HistoryCounters c = history.Counters();
    Family(out, "qm4720_history_rows_written_total", "counter",
           "Rows committed to the history database.");
    Sample(out, "qm4720_history_rows_written_total", "", c.rowsWritten);
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

void AppendMqtt(std::string& out, const MqttCounters& c) {
    Family(out, "qm4720_mqtt_connected", "gauge", "1 while connected to the MQTT broker, else 0.");
    Sample(out, "qm4720_mqtt_connected", "", c.connected ? 1.0 : 0.0);
    Family(out, "qm4720_mqtt_messages_published_total", "counter",
           "Messages handed to the broker's connection.");
    Sample(out, "qm4720_mqtt_messages_published_total", "", c.published);
    Family(out, "qm4720_mqtt_messages_dropped_total", "counter",
           "Queued messages dropped, oldest first, while the broker was away.");
    Sample(out, "qm4720_mqtt_messages_dropped_total", "", c.dropped);
    Family(out, "qm4720_mqtt_messages_queued", "gauge", "Messages waiting for the broker now.");
    Sample(out, "qm4720_mqtt_messages_queued", "", c.queued);
    Family(out, "qm4720_mqtt_reconnects_total", "counter",
           "Connections to the broker made again after one was lost.");
    Sample(out, "qm4720_mqtt_reconnects_total", "", c.reconnects);
    Family(out, "qm4720_mqtt_writes_total", "counter", "Writes taken from .../set topics.");
    Sample(out, "qm4720_mqtt_writes_total", "", c.writes);
}

}  // namespace

std::string EscapeLabelValue(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string MetricsText(const LiveTable& live, const HistoryWriter* history,
                        const MqttCountersSource& mqtt, SteadyTime now) {
    const std::vector<LineView> lines = ViewLines(live);
    std::string out;
    out.reserve(4096 + 400 * lines.size() * 8);
    AppendRegisters(out, lines, now);
    AppendExchanges(out, lines);
    if (history != nullptr) AppendHistory(out, *history);
    if (mqtt) AppendMqtt(out, mqtt());
    return out;
}

}  // namespace service
