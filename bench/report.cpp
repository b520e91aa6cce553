#include "bench/report.h"

#include <algorithm>
#include <cstdarg>
#include <filesystem>
#include <fstream>

#include "bench/floor.h"

namespace bench {
namespace {

const char* YesNo(bool met) {
    return met ? "met" : "NOT MET";
}

std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

bool IsCoreOperation(const CoreRow& row) {
    return row.items == 0;
}

}  // namespace

std::vector<std::pair<int, double>> CorePerItem(const std::vector<CoreRow>& core) {
    std::vector<std::pair<int, double>> perItem;
    const CoreRow* one = nullptr;
    for (const CoreRow& row : core) {
        if (row.items == 1) one = &row;
    }
    if (one == nullptr) return perItem;
    for (const CoreRow& row : core) {
        if (row.items > 1) {
            perItem.emplace_back(row.items, (row.nsPerCall - one->nsPerCall) / (row.items - 1));
        }
    }
    return perItem;
}

std::vector<Verdict> Judge(const Results& results) {
    Verdict floor{"median wall time within 5 % (or 2 ms) of the floor, every baud rate"};
    Verdict cpu{"processor time per call under 1 % of its wall time"};
    double worstRatio = 0;
    double worstCpu = 0;
    for (const TransactionRow& row : results.transactions) {
        ++floor.judged;
        ++cpu.judged;
        if (WithinFloor(row.medianMs, row.floorMs)) ++floor.met;
        if (CpuWithinBudget(row.cpuMs, row.medianMs)) ++cpu.met;
        worstRatio = std::max(worstRatio, row.medianMs / row.floorMs);
        worstCpu = std::max(worstCpu, 100.0 * row.cpuMs / row.medianMs);
    }
    floor.detail = Format("largest median/floor %.3f", worstRatio);
    cpu.detail = Format("largest %.3f %%", worstCpu);

    Verdict poll{"poll cycle within 5 % (or 2 ms) of N single-read floors"};
    double worstPoll = 0;
    for (const PollRow& row : results.polls) {
        ++poll.judged;
        if (WithinFloor(row.medianMs, row.expectedMs)) ++poll.met;
        worstPoll = std::max(worstPoll, row.medianMs / row.expectedMs);
    }
    poll.detail = Format("largest cycle/(N x floor) %.3f", worstPoll);

    Verdict core{"core operations each under 1 us"};
    double slowest = 0;
    std::string slowestName;
    for (const CoreRow& row : results.core) {
        if (!IsCoreOperation(row)) continue;
        ++core.judged;
        if (CoreFastEnough(row.nsPerCall)) ++core.met;
        if (row.nsPerCall > slowest) {
            slowest = row.nsPerCall;
            slowestName = row.name;
        }
    }
    core.detail = Format("slowest %s %.0f ns", slowestName.c_str(), slowest);

    Verdict flat{"time per item flat from 10 to 1000 items (largest <= 1.5 x smallest)"};
    const auto perItem = CorePerItem(results.core);
    if (!perItem.empty()) {
        double lo = perItem.front().second;
        double hi = lo;
        for (const auto& [n, ns] : perItem) {
            lo = std::min(lo, ns);
            hi = std::max(hi, ns);
        }
        flat.judged = 1;
        flat.met = PerItemFlat(lo, hi) ? 1 : 0;
        flat.detail = Format("%.1f .. %.1f ns per item", lo, hi);
    } else {
        flat.detail = "no item-decoding runs";
    }
    return {floor, cpu, poll, core, flat};
}

void PrintTable(const Results& r, std::FILE* out) {
    std::fprintf(out,
                 "\nqm4720 bench, %s; %d processors; load average before %s, after %s\n"
                 "line: simulator pacing %d bit times a character, turnaround %d ms; calls "
                 "through the slot table (ExecuteRequestEx)\n",
                 r.when.c_str(), r.processors, r.loadBefore.c_str(), r.loadAfter.c_str(),
                 r.bitsPerChar, r.turnaroundMs);

    std::fprintf(out,
                 "\nTransactions against their floor (floor = pause, or the first 20 ms poll at "
                 "or after the reply's arrival)\n"
                 "%6s %-8s %-5s %6s %9s %9s %8s %8s %8s %7s %9s %7s  %-8s %-8s\n",
                 "baud", "model", "op", "calls", "median", "p95", "pause", "arrival", "floor",
                 "ratio", "cpu/call", "cpu %", "floor", "cpu");
    bool modelsDiffer = false;
    for (const TransactionRow& t : r.transactions) {
        const bool differ = t.simFloorMs != t.floorMs;
        modelsDiffer = modelsDiffer || differ;
        std::fprintf(out,
                     "%6d %-8s %-5s %6d %7.2fms %7.2fms %6.1fms %6.1fms %6.1fms%s%7.3f %7.1fus "
                     "%6.3f%%  %-8s %-8s%s\n",
                     t.baud, t.model.c_str(), t.direction.c_str(), t.calls, t.medianMs, t.p95Ms,
                     t.pauseMs, t.arrivalMs, t.floorMs, differ ? "*" : " ", t.medianMs / t.floorMs,
                     t.cpuMs * 1e3, 100.0 * t.cpuMs / t.medianMs,
                     YesNo(WithinFloor(t.medianMs, t.floorMs)),
                     YesNo(CpuWithinBudget(t.cpuMs, t.medianMs)),
                     t.failed > 0 ? Format("  (%d calls FAILED)", t.failed).c_str() : "");
    }
    if (modelsDiffer) {
        std::fprintf(out,
                     "  * the simulated line, which sends the request at once and writes each "
                     "reply byte at the start of its\n"
                     "    character time, delivers this reply before the real line's floor: the "
                     "measured time follows the\n"
                     "    simulated line's floor (sim_floor_ms in transactions.csv), so the real "
                     "line's floor is not judged fairly.\n");
    }

    std::fprintf(out,
                 "\nPoll cycle: stations 1..N, one read each, against N x the single-read floor\n"
                 "  (each read on its own: median, 95th percentile, reads over floor + 2 ms)\n"
                 "%6s %4s %7s %10s %10s %10s %7s  %-8s %9s %9s %6s\n",
                 "baud", "N", "cycles", "median", "p95", "N x floor", "ratio", "target", "read med",
                 "read p95", "late");
    for (const PollRow& p : r.polls) {
        std::fprintf(out, "%6d %4d %7d %8.1fms %8.1fms %8.1fms %7.3f  %-8s %7.2fms %7.2fms %6d%s\n",
                     p.baud, p.stations, p.cycles, p.medianMs, p.p95Ms, p.expectedMs,
                     p.medianMs / p.expectedMs, YesNo(WithinFloor(p.medianMs, p.expectedMs)),
                     p.readMedianMs, p.readP95Ms, p.lateReads,
                     p.failed > 0 ? Format("  (%d calls FAILED)", p.failed).c_str() : "");
    }

    std::fprintf(out,
                 "\nMany items in one request: one read decoded into N items\n"
                 "  on the line (wall and thread time per call; extra per item from N = 1):\n"
                 "%6s %6s %6s %9s %10s %14s %14s\n",
                 "baud", "items", "calls", "median", "cpu/call", "extra wall/it", "extra cpu/it");
    for (const ItemsRow& i : r.items) {
        std::fprintf(out, "%6d %6d %6d %7.2fms %8.1fus %12.3fus %12.3fus%s\n", i.baud, i.items,
                     i.calls, i.medianMs, i.cpuMs * 1e3, i.extraWallUsPerItem, i.extraCpuUsPerItem,
                     i.failed > 0 ? Format("  (%d calls FAILED)", i.failed).c_str() : "");
    }
    std::fprintf(out,
                 "  in process (the whole read transaction without port or pause; the flatness "
                 "target is judged\n  here, since on the line the extra time of a few items is "
                 "below the clocks' noise):\n");
    const auto perItem = CorePerItem(r.core);
    for (const CoreRow& c : r.core) {
        if (c.items == 0) continue;
        double extra = 0;
        for (const auto& [n, ns] : perItem) {
            if (n == c.items) extra = ns;
        }
        std::fprintf(out, "%13d items %10.0f ns per call, %8.1f ns extra per item\n", c.items,
                     c.nsPerCall, extra);
    }

    std::fprintf(
        out,
        "\nCore operations (Google Benchmark, median of 5 repetitions)\n%-26s %10s %10s  %-8s\n",
        "operation", "wall", "cpu", "target");
    for (const CoreRow& c : r.core) {
        if (!IsCoreOperation(c)) continue;
        std::fprintf(out, "%-26s %8.1fns %8.1fns  %-8s\n", c.name.c_str(), c.nsPerCall,
                     c.cpuNsPerCall, YesNo(CoreFastEnough(c.nsPerCall)));
    }

    std::fprintf(out, "\nTargets\n");
    for (const Verdict& v : Judge(r)) {
        std::fprintf(out, "  %-8s %-72s %d/%d  %s\n", YesNo(v.Met()), v.target.c_str(), v.met,
                     v.judged, v.detail.c_str());
    }
}

bool WriteCsv(const Results& r, const std::string& folder, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        error = folder + ": " + ec.message();
        return false;
    }
    auto open = [&](const char* name, std::ofstream& file) {
        file.open(folder + "/" + name);
        if (!file) error = folder + "/" + name + ": cannot write";
        return static_cast<bool>(file);
    };
    std::ofstream t, p, i, c, v;
    if (!open("transactions.csv", t) || !open("poll_cycle.csv", p) || !open("items.csv", i) ||
        !open("core.csv", c) || !open("targets.csv", v)) {
        return false;
    }
    t << "baud,model,direction,calls,failed,median_ms,p95_ms,pause_ms,arrival_ms,floor_ms,"
         "sim_arrival_ms,sim_floor_ms,ratio,"
         "cpu_ms_per_call,cpu_percent,floor_target,cpu_target\n";
    for (const TransactionRow& x : r.transactions) {
        t << Format("%d,%s,%s,%d,%d,%.4f,%.4f,%.3f,%.3f,%.3f,%.3f,%.3f,%.4f,%.5f,%.4f,%s,%s\n",
                    x.baud, x.model.c_str(), x.direction.c_str(), x.calls, x.failed, x.medianMs,
                    x.p95Ms, x.pauseMs, x.arrivalMs, x.floorMs, x.simArrivalMs, x.simFloorMs,
                    x.medianMs / x.floorMs, x.cpuMs, 100.0 * x.cpuMs / x.medianMs,
                    YesNo(WithinFloor(x.medianMs, x.floorMs)),
                    YesNo(CpuWithinBudget(x.cpuMs, x.medianMs)));
    }
    p << "baud,stations,cycles,failed,median_ms,p95_ms,expected_ms,ratio,target,read_median_ms,"
         "read_p95_ms,late_reads\n";
    for (const PollRow& x : r.polls) {
        p << Format("%d,%d,%d,%d,%.4f,%.4f,%.3f,%.4f,%s,%.4f,%.4f,%d\n", x.baud, x.stations,
                    x.cycles, x.failed, x.medianMs, x.p95Ms, x.expectedMs,
                    x.medianMs / x.expectedMs, YesNo(WithinFloor(x.medianMs, x.expectedMs)),
                    x.readMedianMs, x.readP95Ms, x.lateReads);
    }
    i << "where,baud,items,calls,failed,median_ms,cpu_ms_per_call,extra_wall_us_per_item,"
         "extra_cpu_us_per_item\n";
    for (const ItemsRow& x : r.items) {
        i << Format("line,%d,%d,%d,%d,%.4f,%.5f,%.4f,%.4f\n", x.baud, x.items, x.calls, x.failed,
                    x.medianMs, x.cpuMs, x.extraWallUsPerItem, x.extraCpuUsPerItem);
    }
    const auto perItem = CorePerItem(r.core);
    c << "operation,items,wall_ns_per_call,cpu_ns_per_call,extra_ns_per_item,target\n";
    for (const CoreRow& x : r.core) {
        double extra = 0;
        for (const auto& [n, ns] : perItem) {
            if (n == x.items) extra = ns;
        }
        c << Format("%s,%d,%.2f,%.2f,%.2f,%s\n", x.name.c_str(), x.items, x.nsPerCall,
                    x.cpuNsPerCall, extra,
                    IsCoreOperation(x) ? YesNo(CoreFastEnough(x.nsPerCall)) : "");
    }
    v << "target,verdict,met,judged,detail\n";
    for (const Verdict& x : Judge(r)) {
        v << "\"" << x.target << "\"," << YesNo(x.Met()) << "," << x.met << "," << x.judged << ",\""
          << x.detail << "\"\n";
    }
    return true;
}

int FailedCalls(const Results& r) {
    int failed = 0;
    for (const TransactionRow& x : r.transactions) failed += x.failed;
    for (const PollRow& x : r.polls) failed += x.failed;
    for (const ItemsRow& x : r.items) failed += x.failed;
    return failed;
}

}  // namespace bench
