// The history's keys of the configuration: [history] and the history's keys of one
// [[line.meter.register]] table.
#pragma once

#include "service/core/config_section.h"
#include "service/core/service_config.h"

namespace service {

void ReadHistoryTable(const Section& history, HistoryConfig& config);

// deadband and heartbeat_s of one register; the table's other keys are the caller's.
void ReadRegisterHistoryKeys(const Section& table, RegisterOptions& options);

}  // namespace service
