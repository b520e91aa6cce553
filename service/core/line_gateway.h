// MeterGateway of one line: reads answered from the line's live table, writes handed to the line's
// worker. A write is accepted only for a register the configuration names writable and only with
// a value the meter's field carries as asked (contract::FitWrite); anything else is refused before
// the line, counted as the client's refusal, not as an exchange. Every write is logged here, once,
// whichever front end it came from.
#pragma once

#include <cstdint>
#include <string_view>

#include "service/core/line_worker.h"
#include "service/core/live_table.h"
#include "service/core/meter_gateway.h"

namespace service {

class LineGateway final : public MeterGateway {
public:
    // `table` and `worker` must outlive the gateway.
    LineGateway(LineTable& table, LineWorker& worker) : table_(table), worker_(worker) {}

    CellReading Read(std::int16_t station, std::int16_t index) const override;
    WriteResult Write(std::int16_t station, std::int16_t index, double value,
                      std::string_view who) override;

private:
    LineTable& table_;
    LineWorker& worker_;
};

// The log line of a write: who asked, which register, the value sent (and the one asked when they
// differ), the outcome, and `why` when refused. For a front end that refuses a write by name before
// any gateway (no such register on the meter); the gateway logs all the others.
void LogWrite(std::string_view who, std::string_view line, std::int16_t station,
              std::string_view reg, double requested, const WriteResult& result,
              std::string_view why = {});

}  // namespace service
