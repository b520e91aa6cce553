#include "tests/support/fake_gateway.h"

#include <thread>

namespace service::testing {

StationTables FixedTables() {
    const std::vector<bool> readOnly(kReadOnlyCount, true);
    return {{1, {kDefaultModelCount, readOnly, {}}}, {2, {kQM4720NCount, readOnly, {}}}};
}

FakeGateway::FakeGateway() {
    const auto good = [](double value) { return CellReading{CellState::kGood, value}; };
    cells_ = {
        {{1, 0}, good(21.5)},
        {{1, 1}, good(-3.25)},
        {{1, 2}, {CellState::kFailed, 0}},
        {{1, 3}, {CellState::kStale, 99}},
        {{1, 5}, good(1234.5)},
        {{1, 20}, good(100)},
        {{1, 21}, good(1)},
        {{1, 22}, good(2)},
        {{1, 23}, good(3)},
        {{1, 24}, good(5)},
        {{1, 61}, good(0.5)},
        {{2, 0}, good(7)},
        {{2, 1}, good(0.125)},
    };
    writable_ = {
        {{1, 20}, WriteOutcome::kDone},
        {{1, 21}, WriteOutcome::kRefusedByMeter},
        {{1, 22}, WriteOutcome::kRefusedByDriver},
        {{1, 23}, WriteOutcome::kNoAnswer},
    };
}

CellReading FakeGateway::Read(std::int16_t station, std::int16_t index) const {
    std::lock_guard lock(mutex_);
    const auto it = cells_.find({station, index});
    return it == cells_.end() ? CellReading{} : it->second;
}

WriteResult FakeGateway::Write(std::int16_t station, std::int16_t index, double value,
                               std::string_view) {
    std::this_thread::sleep_for(writeDelay_);
    std::lock_guard lock(mutex_);
    writes_.push_back({station, index, value});
    const auto it = writable_.find({station, index});
    if (it == writable_.end()) return {WriteOutcome::kNotWritable, std::nullopt};
    // What the worker does: the acknowledged value is the register's new good value.
    if (it->second == WriteOutcome::kDone) cells_[{station, index}] = {CellState::kGood, value};
    return {it->second, value};
}

void FakeGateway::Set(std::int16_t station, std::int16_t index, CellReading reading) {
    std::lock_guard lock(mutex_);
    cells_[{station, index}] = reading;
}

std::vector<WriteCall> FakeGateway::Writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

}  // namespace service::testing
