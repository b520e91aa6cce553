// One reading as the history output hands it to the writer and its readers (the HTTP interface,
// qm4720ctl history) read it back; the tables it is kept in are in history_schema.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace service {

struct HistoryRow {
    HistoryRow() = default;
    HistoryRow(std::int64_t utcMs_, std::string line_, std::int16_t station_, std::string mnemonic_,
               std::optional<double> value_, std::int16_t quality_, std::int32_t errorCode_,
               std::string model_ = {})
        : utcMs(utcMs_),
          line(std::move(line_)),
          station(station_),
          mnemonic(std::move(mnemonic_)),
          value(value_),
          quality(quality_),
          errorCode(errorCode_),
          model(std::move(model_)) {}

    std::int64_t utcMs = 0;
    std::string line;
    std::int16_t station = 0;
    std::string mnemonic;
    std::optional<double> value;  // none when the read failed
    std::int16_t quality = 0;     // the driver's quality, 192 good, 0 failed
    std::int32_t errorCode = -1;  // DriverError, -1 none
    std::string model;            // of the meter: "" the default model; kept per series
};

}  // namespace service
