#include "tools/service/line_gateway.h"

namespace service {

CellReading LineGateway::Read(std::int16_t station, std::int16_t index) const {
    const auto cell = table_.Find(station, index);
    if (!cell) return {};
    CellReading reading;
    reading.state = JudgeCell(*cell, std::chrono::steady_clock::now());
    // A failed or stale value is never handed out as if it were good.
    if (reading.state == CellState::kGood) reading.value = cell->value;
    return reading;
}

WriteOutcome LineGateway::Write(std::int16_t station, std::int16_t index, double value) {
    for (const MeterConfig& meter : worker_.config().meters) {
        if (meter.station != station) continue;
        for (const host::RegisterRef& reg : meter.writable) {
            if (reg.index != index) continue;
            if (reg.readOnly) return WriteOutcome::kNotWritable;
            return worker_.QueueWrite(station, reg, value).get();
        }
    }
    return WriteOutcome::kNotWritable;
}

}  // namespace service
