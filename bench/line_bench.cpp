#include "bench/line_bench.h"

#include <chrono>
#include <memory>

#include "bench/floor.h"
#include "bench/host_driver.h"
#include "bench/line_runs.h"
#include "bench/stats.h"
#include "contract/data_type.h"

namespace bench {

bool MeasureTransactions(const LineSetup& setup, int baud, int calls,
                         std::vector<TransactionRow>& rows, std::string& error) {
    Simulator sim;
    if (!StartSimulator(setup, baud, {"1", "2:QM4720N"}, sim, error)) return false;
    std::unique_ptr<HostDriver> driver = OpenDriver(setup, sim, baud, error);
    if (driver == nullptr) return false;

    struct Kind {
        const char* model;
        std::int16_t station;
        bool write;
    };
    const Kind kinds[] = {{kDefaultModel, 1, false},
                          {kDefaultModel, 1, true},
                          {kQM4720NModel, 2, false},
                          {kQM4720NModel, 2, true}};
    std::vector<Series> series(std::size(kinds));
    for (std::size_t k = 0; k < std::size(kinds); ++k) {
        const Kind& kind = kinds[k];
        series[k].request = std::make_unique<HostRequest>(
            kind.write ? kDirectionWrite : kDirectionRead, kind.station, kind.model,
            kind.write ? kWriteRegister : kReadRegister, kind.write ? kWriteIndex : kReadIndex,
            kTypeFloat, 1);
        if (kind.write) series[k].request->First().value.asFloat = kWriteValue;
    }
    for (int i = 0; i < kWarmUpCalls + calls; ++i) {
        for (Series& s : series) {
            const Sample sample =
                Time([&] { return driver->ExecuteEx(s.request->Request()) == 1; });
            if (i >= kWarmUpCalls) s.Add(sample);
        }
    }
    for (std::size_t k = 0; k < std::size(kinds); ++k) {
        const Kind& kind = kinds[k];
        const Floor floor = TransactionFloor(baud, setup.bitsPerChar, setup.turnaroundMs,
                                             kind.write ? kWriteRequestBytes : kReadRequestBytes,
                                             kind.write ? kWriteReplyBytes : kReadReplyBytes);
        TransactionRow row;
        row.baud = baud;
        row.model = kind.model;
        row.direction = kind.write ? "write" : "read";
        row.calls = calls;
        row.failed = series[k].failed;
        row.medianMs = Median(series[k].wall);
        row.p95Ms = Percentile(series[k].wall, 95);
        row.pauseMs = floor.pauseMs;
        row.arrivalMs = floor.arrivalMs;
        row.floorMs = floor.floorMs;
        const Floor simulated = SimulatedLineFloor(baud, setup.bitsPerChar, setup.turnaroundMs,
                                                   kind.write ? kWriteReplyBytes : kReadReplyBytes);
        row.simArrivalMs = simulated.arrivalMs;
        row.simFloorMs = simulated.floorMs;
        row.cpuMs = Median(series[k].cpu);
        rows.push_back(row);
    }
    return true;
}

bool MeasurePollCycles(const LineSetup& setup, int baud, const std::vector<int>& stationCounts,
                       int callsPerCount, std::vector<PollRow>& rows, std::string& error) {
    int most = 0;
    for (int n : stationCounts) most = std::max(most, n);
    std::vector<std::string> stations;
    for (int s = 1; s <= most; ++s) stations.push_back(std::to_string(s));
    Simulator sim;
    if (!StartSimulator(setup, baud, stations, sim, error)) return false;
    std::unique_ptr<HostDriver> driver = OpenDriver(setup, sim, baud, error);
    if (driver == nullptr) return false;

    std::vector<std::unique_ptr<HostRequest>> reads;
    for (int s = 1; s <= most; ++s) {
        reads.push_back(std::make_unique<HostRequest>(kDirectionRead, static_cast<std::int16_t>(s),
                                                      kDefaultModel, kReadRegister, kReadIndex,
                                                      kTypeFloat, 1));
    }
    const double singleFloor = TransactionFloor(baud, setup.bitsPerChar, setup.turnaroundMs,
                                                kReadRequestBytes, kReadReplyBytes)
                                   .floorMs;
    for (int n : stationCounts) {
        // About the same number of reads for every N, never fewer than five cycles.
        const int cycles = std::max(5, callsPerCount / n);
        std::vector<double> wall;
        std::vector<double> single;
        int failed = 0;
        for (int c = 0; c < cycles + 1; ++c) {
            int bad = 0;
            std::vector<double> each;
            const Sample sample = Time([&] {
                for (int s = 0; s < n; ++s) {
                    const auto start = std::chrono::steady_clock::now();
                    if (driver->ExecuteEx(reads[static_cast<std::size_t>(s)]->Request()) != 1) {
                        ++bad;
                    }
                    each.push_back(std::chrono::duration<double, std::milli>(
                                       std::chrono::steady_clock::now() - start)
                                       .count());
                }
                return true;
            });
            if (c == 0) continue;  // warm-up
            wall.push_back(sample.wallMs);
            single.insert(single.end(), each.begin(), each.end());
            failed += bad;
        }
        PollRow row;
        row.baud = baud;
        row.stations = n;
        row.cycles = cycles;
        row.failed = failed;
        row.medianMs = Median(wall);
        row.p95Ms = Percentile(wall, 95);
        row.expectedMs = n * singleFloor;
        row.readMedianMs = Median(single);
        row.readP95Ms = Percentile(single, 95);
        for (double ms : single) {
            if (ms > singleFloor + 2.0) ++row.lateReads;
        }
        rows.push_back(row);
    }
    return true;
}

bool MeasureItems(const LineSetup& setup, int baud, const std::vector<int>& itemCounts, int calls,
                  std::vector<ItemsRow>& rows, std::string& error) {
    Simulator sim;
    if (!StartSimulator(setup, baud, {"1"}, sim, error)) return false;
    std::unique_ptr<HostDriver> driver = OpenDriver(setup, sim, baud, error);
    if (driver == nullptr) return false;

    std::vector<Series> series(itemCounts.size());
    for (std::size_t k = 0; k < itemCounts.size(); ++k) {
        series[k].request = std::make_unique<HostRequest>(
            kDirectionRead, 1, kDefaultModel, kReadRegister, kReadIndex, kTypeFloat, itemCounts[k]);
    }
    for (int i = 0; i < kWarmUpCalls + calls; ++i) {
        for (Series& s : series) {
            const Sample sample =
                Time([&] { return driver->ExecuteEx(s.request->Request()) == 1; });
            if (i >= kWarmUpCalls) s.Add(sample);
        }
    }
    double baseWall = 0;
    double baseCpu = 0;
    for (std::size_t k = 0; k < itemCounts.size(); ++k) {
        ItemsRow row;
        row.baud = baud;
        row.items = itemCounts[k];
        row.calls = calls;
        row.failed = series[k].failed;
        row.medianMs = Median(series[k].wall);
        row.cpuMs = Median(series[k].cpu);
        if (k == 0) {
            baseWall = row.medianMs;
            baseCpu = row.cpuMs;
        } else if (row.items > itemCounts[0]) {
            const double extra = row.items - itemCounts[0];
            row.extraWallUsPerItem = (row.medianMs - baseWall) * 1e3 / extra;
            row.extraCpuUsPerItem = (row.cpuMs - baseCpu) * 1e3 / extra;
        }
        rows.push_back(row);
    }
    return true;
}

}  // namespace bench
