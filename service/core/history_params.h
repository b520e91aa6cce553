// The times and register names by which the history is asked for, read the same way by
// qm4720ctl history (--since, --until, --register) and GET /api/v1/history (since, until,
// register), so that a text one takes the other takes too, with the same meaning.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace service {

// One of:
//   an ISO 8601 UTC time: 2026-12-08T12:00:00Z, with or without .mmm, the Z, or the T (a space),
//     or the date alone (its midnight), from 1970 on; the day must exist in its month (2026-02-31
//     does not);
//   a whole number of ms since 1970-01-01 UTC (not negative);
//   "now", or now minus a whole number of s, m, h or d: "-90s", "-15m", "-1h", "-2d" (ten years
//     at most).
// False with `error` saying which forms are taken when `text` is none of these.
bool ParseHistoryTime(std::string_view text, std::int64_t nowMs, std::int64_t& ms,
                      std::string& error);

// A register as the history stores it: the mnemonic of an entry of either model's table, spelt as
// the table spells it ("PV"). False with `error` naming the text when no table has it.
bool ParseHistoryRegister(std::string_view text, std::string& mnemonic, std::string& error);

}  // namespace service
