// qm4720ctl history: the rows of qm4720d's history database, read-only (the service may be writing
// it at the same time: the database is in WAL mode, so the reader sees the last commit).
#pragma once

#include <cstddef>
#include <string>

#include <CLI/CLI.hpp>

#include "tools/ctl/commands.h"

namespace ctl {

struct HistoryOptions {
    std::string database;
    std::string since;  // as service::ParseHistoryTime reads it
    std::string until;
    std::string stations;    // "1,3-5"
    std::string mnemonic;    // one register
    std::string line;        // one line
    std::size_t points = 0;  // 0: rows; else at most this many points of one register
};

CLI::App* AddHistoryCommand(CLI::App& app, HistoryOptions& options);
// --format, --time and --output are the program's own options, in `options`.
int RunHistory(const HistoryOptions& history, const Options& options);

}  // namespace ctl
