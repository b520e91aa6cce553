// GET /metrics of qm4720d: the live table, the lines' exchange counters, and what each output adds
// of itself (Output::AppendMetrics: the history writer, the MQTT publisher), in the Prometheus text
// exposition format, version 0.0.4. Every name starts with qm4720_:
//
//   qm4720_register_value{line,station,register,model}        gauge, the latest good value; no
//                                                              sample while it is failed or stale
//   qm4720_register_up{line,station,register,model}           gauge, 1 good, 0 failed or stale
//   qm4720_register_age_seconds{line,station,register,model}  gauge, age of the latest good value
//                                                              (no sample before the first)
//   qm4720_exchanges_total{line,outcome}                       counter; outcome ok, timeout,
//                                                              reply_error, nak, other_error,
//                                                              open_error
//   qm4720_exchange_latency_seconds{line}                      histogram (_bucket{le}, _sum,
//                                                              _count) of every exchange but the
//                                                              failed opens
//   qm4720_line_state{line,state}                              gauge, 1 for the line's state
//                                                              (starting, up, lost), 0 others
//   qm4720_history_rows_written_total, qm4720_history_rows_dropped_total (counters),
//   qm4720_history_failing (gauge, 1 while writes fail),
//   qm4720_history_last_commit_timestamp_seconds (gauge, unix time)    when history is kept
//   qm4720_mqtt_connected (gauge), qm4720_mqtt_messages_published_total,
//   qm4720_mqtt_messages_dropped_total, qm4720_mqtt_reconnects_total, qm4720_mqtt_writes_total,
//   qm4720_mqtt_replayed_total, qm4720_mqtt_replay_skipped_total
//   (counters), qm4720_mqtt_messages_queued (gauge)                    when MQTT is configured
//
// Samples carry no timestamps: the scrape's time is the sample's.
#pragma once

#include <string>
#include <string_view>

#include <memory>
#include <span>

#include "service/core/live_table.h"
#include "service/core/metrics_format.h"
#include "service/core/output.h"

namespace service {

inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// The live table's and the lines' families, then each of `outputs`' own, in their order.
std::string MetricsText(const LiveTable& live, std::span<const std::unique_ptr<Output>> outputs,
                        SteadyTime now);

}  // namespace service
