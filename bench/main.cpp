// qm4720_bench: the driver's transactions against the floor that the line and the protocol's own
// waits set, poll cycles, many items in one request, and the core operations against the clock.
// Prints one table, writes the same figures as CSV files into the output folder, and states for
// every target whether it was met. Exits 0 when it ran (met or not), 1 when it could not run or a
// call failed (the timings of failed calls measure timeouts, not transactions).
//
//   qm4720_bench [--out DIR] [--slow] [--calls N] [--slow-calls N] [--turnaround MS]
//                [--line-baud BAUD]
//   --calls N       calls per series at 9600 and 4800 baud (100); the poll cycles and the item
//                   runs take about as many
//   --slow          also 2400, 1200, 600 and 300 baud, --slow-calls (30) each; BENCH_SLOW=1 too
//   --turnaround MS the simulator's turnaround before each reply (5)
//   --line-baud B   the rate of the poll cycles and the item runs (9600)
//   --out DIR       where the CSV files go (bench-results)
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "bench/core_bench.h"
#include "bench/floor.h"
#include "bench/line_bench.h"
#include "bench/report.h"
#include "host/client/module_loader.h"

namespace {

struct Options {
    std::string out = "bench-results";
    bool slow = false;
    int calls = 100;     // per series at 9600 and 4800
    int slowCalls = 30;  // per series at the slow rates
    int turnaroundMs = 5;
    int lineBaud = 9600;  // poll cycles and many items
};

bool ParseInt(const char* text, int& value) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 0 || v > 100000) return false;
    value = static_cast<int>(v);
    return true;
}

constexpr const char* kUsage =
    "usage: qm4720_bench [--out DIR] [--slow] [--calls N] [--slow-calls N] [--turnaround MS]\n"
    "                    [--line-baud BAUD]\n";

constexpr const char* kHelp =
    "Times the driver's transactions against the floor that the line and the protocol set, poll\n"
    "cycles, many items in one request, and the core operations; prints one table, writes the\n"
    "same figures as CSV files, and states for every target whether it was met.\n"
    "  --calls N        calls per series at 9600 and 4800 baud (100)\n"
    "  --slow           also 2400, 1200, 600 and 300 baud (or BENCH_SLOW=1)\n"
    "  --slow-calls N   calls per series at the slow rates (30)\n"
    "  --turnaround MS  the simulator's turnaround before each reply (5)\n"
    "  --line-baud B    the rate of the poll cycles and the item runs (9600)\n"
    "  --out DIR        where the CSV files go (bench-results)\n"
    "Exit status: 0 it ran (targets met or not), 1 it could not run or a call failed.\n"
    "Example: qm4720_bench --calls 300 --out build/bench\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 1;
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five;
    in >> one >> five;
    return one.empty() ? "unknown" : one + " (1 min), " + five + " (5 min)";
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const char* slow = std::getenv("BENCH_SLOW");
        slow != nullptr && std::strcmp(slow, "1") == 0) {
        options.slow = true;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (arg == "--slow") {
            options.slow = true;
        } else if (arg == "--out" && hasValue) {
            options.out = argv[++i];
        } else if (arg == "--calls" && hasValue) {
            if (!ParseInt(argv[++i], options.calls) || options.calls < 1) return Usage();
        } else if (arg == "--slow-calls" && hasValue) {
            if (!ParseInt(argv[++i], options.slowCalls) || options.slowCalls < 1) return Usage();
        } else if (arg == "--turnaround" && hasValue) {
            if (!ParseInt(argv[++i], options.turnaroundMs)) return Usage();
        } else if (arg == "--line-baud" && hasValue) {
            if (!ParseInt(argv[++i], options.lineBaud) || options.lineBaud < 300 ||
                options.lineBaud > 9600) {
                return Usage();
            }
        } else {
            return Usage();
        }
    }

    bench::LineSetup setup;
    setup.simulatorPath = host::ProgramDirectory() + "qm4720sim";
    // "" when there is none: loading it then says where the host looked.
    std::string noModule;
    setup.modulePath = host::DefaultModulePath(noModule);
    setup.turnaroundMs = options.turnaroundMs;

    bench::Results results;
    results.turnaroundMs = options.turnaroundMs;
    results.bitsPerChar = setup.bitsPerChar;
    results.loadBefore = LoadAverage();
    {
        const std::time_t now = std::time(nullptr);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
        results.when = stamp;
    }
    results.processors = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));

    std::string error;
    auto fail = [&](const std::string& what) {
        std::fprintf(stderr, "qm4720_bench: %s: %s\n", what.c_str(), error.c_str());
        return 1;
    };

    // The core first: it takes seconds and needs no simulator.
    std::fprintf(stderr, "qm4720_bench: core operations...\n");
    if (!bench::RunCoreBenchmarks(argv[0], 0.05, 5, results.core)) {
        error = "a core benchmark failed";
        return fail("core");
    }

    std::vector<int> bauds = {9600, 4800};
    if (options.slow) bauds.insert(bauds.end(), {2400, 1200, 600, 300});
    for (int baud : bauds) {
        const int calls = baud >= 4800 ? options.calls : options.slowCalls;
        std::fprintf(stderr, "qm4720_bench: transactions at %d baud, %d calls per series...\n",
                     baud, calls);
        if (!bench::MeasureTransactions(setup, baud, calls, results.transactions, error)) {
            return fail("transactions at " + std::to_string(baud) + " baud");
        }
    }

    std::fprintf(stderr, "qm4720_bench: poll cycles at %d baud...\n", options.lineBaud);
    if (!bench::MeasurePollCycles(setup, options.lineBaud, {1, 8, 32}, 2 * options.calls,
                                  results.polls, error)) {
        return fail("poll cycles");
    }
    std::fprintf(stderr, "qm4720_bench: many items at %d baud...\n", options.lineBaud);
    if (!bench::MeasureItems(setup, options.lineBaud, {1, 10, 100, 1000}, options.calls,
                             results.items, error)) {
        return fail("many items");
    }
    std::fprintf(stderr, "qm4720_bench: PV through ser2net and the bridge at %d baud...\n",
                 options.lineBaud);
    std::vector<bench::BridgeRow> bridged;
    std::string bridgeSkipped;
    if (!bench::MeasureBridge(setup, options.lineBaud, options.calls, bridged, bridgeSkipped,
                              error)) {
        return fail("through ser2net and the bridge");
    }
    results.loadAfter = LoadAverage();

    bench::PrintTable(results, stdout);
    std::printf("\nA read of PV at %d baud, directly and through a serial device server:\n",
                options.lineBaud);
    if (!bridgeSkipped.empty()) std::printf("  skipped: %s\n", bridgeSkipped.c_str());
    for (const bench::BridgeRow& row : bridged) {
        std::printf("  %-15s median %7.2f ms  p95 %7.2f ms  floor %6.1f ms  ratio %.3f",
                    row.path.c_str(), row.medianMs, row.p95Ms, row.floorMs,
                    row.medianMs / row.floorMs);
        if (row.roundTripMs > 0) std::printf("  socket round trip %.2f ms", row.roundTripMs);
        std::printf("%s\n", row.failed > 0 ? "  (calls failed)" : "");
    }
    if (!bench::WriteCsv(results, options.out, error)) return fail("writing the CSV files");
    std::printf("CSV files: %s/\n", options.out.c_str());

    int bridgeFailed = 0;
    for (const bench::BridgeRow& row : bridged) bridgeFailed += row.failed;
    if (const int failed = bench::FailedCalls(results) + bridgeFailed; failed > 0) {
        std::fprintf(stderr, "qm4720_bench: %d calls failed; their timings are not valid\n",
                     failed);
        return 1;
    }
    return 0;
}
