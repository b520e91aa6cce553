// The bench's figures, judged against their targets, as one table and as CSV files.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "bench/core_bench.h"
#include "bench/line_bench.h"

namespace bench {

struct Results {
    std::string when;
    std::string loadBefore;
    std::string loadAfter;
    int processors = 0;
    int turnaroundMs = 0;
    int bitsPerChar = 0;
    std::vector<TransactionRow> transactions;
    std::vector<PollRow> polls;
    std::vector<ItemsRow> items;
    std::vector<CoreRow> core;
};

// One target as the table states it.
struct Verdict {
    explicit Verdict(std::string what) : target(std::move(what)) {}
    std::string target;
    int met = 0;
    int judged = 0;
    std::string detail;  // the worst case, or why nothing could be judged
    bool Met() const { return judged > 0 && met == judged; }
};

// The extra time per item of the in-process item-decoding runs for N > 1, from N = 1:
// (t(N) - t(1)) / (N - 1), in ns; pairs of (N, ns).
std::vector<std::pair<int, double>> CorePerItem(const std::vector<CoreRow>& core);

std::vector<Verdict> Judge(const Results& results);

void PrintTable(const Results& results, std::FILE* out);

// transactions.csv, poll_cycle.csv, items.csv, core.csv and targets.csv in `folder` (created).
bool WriteCsv(const Results& results, const std::string& folder, std::string& error);

// Calls that did not return success, over every line measurement.
int FailedCalls(const Results& results);

}  // namespace bench
