// One row of the history database, as the history output writes it and its readers (the HTTP
// interface, qm4720ctl history) read it back.
//
//   CREATE TABLE readings(time_ms INTEGER NOT NULL,   -- ms since 1970-01-01 UTC
//                         line TEXT NOT NULL, station INTEGER NOT NULL, register TEXT NOT NULL,
//                         value REAL,                  -- NULL when the read failed
//                         quality INTEGER NOT NULL,    -- the driver's quality, 192 good, 0 failed
//                         error_code INTEGER NOT NULL) -- DriverError, -1 none
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace service {

struct HistoryRow {
    std::int64_t utcMs = 0;
    std::string line;
    std::int16_t station = 0;
    std::string mnemonic;
    std::optional<double> value;
    std::int16_t quality = 0;
    std::int32_t errorCode = -1;
};

}  // namespace service
