// A gateway over a fixed line for the Modbus server's tests, test server, fuzz target and bench:
// two stations whose cells are set by hand, and writes whose outcome depends on the register.
// Thread-safe, as the real one is.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "service/core/meter_gateway.h"
#include "service/modbus/modbus_register_map.h"

namespace service::testing {

// The fixed line. Station 1 has the default model's table (62 registers, 0..12 read-only),
// station 2 the QM4720N's (58 registers, 0..12 read-only).
//   station 1: 0 = 21.5, 1 = -3.25, 2 failed, 3 stale, 4 not polled, 5 = 1234.5,
//              20 = 100 writable (the write is done and read back), 21 writable but the meter
//              refuses, 22 writable but the driver refuses, 23 writable but the meter is silent,
//              24 = 5 polled but not configured writable, 61 = 0.5 (the table's last register)
//   station 2: 0 = 7, 1 = 0.125
inline constexpr std::int16_t kDefaultModelCount = 62;
inline constexpr std::int16_t kQM4720NCount = 58;
inline constexpr std::int16_t kReadOnlyCount = 13;

StationTables FixedTables();

struct WriteCall {
    std::int16_t station;
    std::int16_t index;
    double value;
};

class FakeGateway final : public MeterGateway {
public:
    // The fixed line above.
    FakeGateway();
    // `writeDelay`: how long a write waits for the "meter" before its outcome.
    explicit FakeGateway(std::chrono::milliseconds writeDelay) : FakeGateway() {
        writeDelay_ = writeDelay;
    }

    CellReading Read(std::int16_t station, std::int16_t index) const override;
    WriteResult Write(std::int16_t station, std::int16_t index, double value,
                      std::string_view who) override;

    void Set(std::int16_t station, std::int16_t index, CellReading reading);
    std::vector<WriteCall> Writes() const;

private:
    using Key = std::pair<std::int16_t, std::int16_t>;
    mutable std::mutex mutex_;
    std::map<Key, CellReading> cells_;
    std::map<Key, WriteOutcome> writable_;  // outcome of a write to each writable register
    std::vector<WriteCall> writes_;
    std::chrono::milliseconds writeDelay_{0};
};

}  // namespace service::testing
