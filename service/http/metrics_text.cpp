#include "service/http/metrics_text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <vector>

#include "service/core/metrics_format.h"

namespace service {
namespace {

using metrics::AppendLabel;
using metrics::AppendNumber;
using metrics::Family;
using metrics::Sample;

// What one scrape reads of a line, copied once so that every family shows the same moment.
struct LineView {
    std::string label;  // line="..."
    LineState state = LineState::kStarting;
    LineCounters counters;
    std::vector<LiveCell> cells;
    std::vector<std::string> cellLabels;  // line="...",station="...",register="...",model="..."
    std::vector<std::pair<std::string, bool>> meters;  // line="...",station="..." and silent
};

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

    Family(out, "qm4720_line_bridge_connect_seconds", "gauge",
           "A line through a serial device server: how long its last connection took to be "
           "ready (TCP connect, and the line's settings confirmed with rfc2217://).");
    for (const LineView& line : lines) {
        if (line.counters.bridgeConnectMs >= 0) {
            Sample(out, "qm4720_line_bridge_connect_seconds", line.label,
                   line.counters.bridgeConnectMs / 1000.0);
        }
    }
    Family(out, "qm4720_line_bridge_round_trip_seconds", "gauge",
           "A line through a serial device server: the last round trip through its socket, from "
           "a request's bytes sent to the first bytes of the reply received.");
    for (const LineView& line : lines) {
        if (line.counters.bridgeRoundTripMs >= 0) {
            Sample(out, "qm4720_line_bridge_round_trip_seconds", line.label,
                   line.counters.bridgeRoundTripMs / 1000.0);
        }
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

}  // namespace

std::string MetricsText(const LiveTable& live, std::span<const std::unique_ptr<Output>> outputs,
                        SteadyTime now) {
    const std::vector<LineView> lines = ViewLines(live);
    std::string out;
    out.reserve(4096 + 400 * lines.size() * 8);
    AppendRegisters(out, lines, now);
    AppendExchanges(out, lines);
    for (const auto& output : outputs) output->AppendMetrics(out);
    return out;
}

}  // namespace service
