// MeterGateway of one line: reads answered from the line's live table, writes handed to the line's
// worker. Writes are accepted only for registers the configuration names writable.
#pragma once

#include "tools/service/line_worker.h"
#include "tools/service/live_table.h"
#include "tools/service/meter_gateway.h"

namespace service {

class LineGateway final : public MeterGateway {
public:
    // `table` and `worker` must outlive the gateway.
    LineGateway(const LineTable& table, LineWorker& worker) : table_(table), worker_(worker) {}

    CellReading Read(std::int16_t station, std::int16_t index) const override;
    WriteOutcome Write(std::int16_t station, std::int16_t index, double value) override;

private:
    const LineTable& table_;
    LineWorker& worker_;
};

}  // namespace service
