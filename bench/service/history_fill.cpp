// qm4720d_history_fill: a history database holding DAYS of one register read once a second up to
// now, written through the service's own history writer, for the page's bench (page_bench.py).
//
//   qm4720d_history_fill PATH DAYS LINE STATION REGISTER
//
// The value is a slow wave with a spike every hour and a failed read every ten minutes, so that
// the trend has a band, spikes and failures to draw. Exit 0 when every row was written.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "service/core/live_table.h"
#include "service/core/service_log.h"
#include "service/history/history_writer.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: qm4720d_history_fill PATH DAYS LINE STATION REGISTER\n");
        return 2;
    }
    const double days = std::atof(argv[2]);
    const auto station = static_cast<std::int16_t>(std::atoi(argv[4]));
    if (days <= 0 || days > 400) {
        std::fprintf(stderr, "qm4720d_history_fill: DAYS must be above 0 and at most 400\n");
        return 2;
    }
    service::SetLogSink([](service::LogLevel, const std::string&) {});
    std::string error;
    const auto retention = std::chrono::milliseconds(static_cast<std::int64_t>((days + 1) * 864e5));
    auto writer = service::HistoryWriter::Open(argv[1], retention, error);
    if (writer == nullptr) {
        std::fprintf(stderr, "qm4720d_history_fill: %s\n", error.c_str());
        return 1;
    }
    const std::int64_t seconds = static_cast<std::int64_t>(days * 86400);
    const std::int64_t end = service::UtcNowMs() / 1000 * 1000;
    constexpr std::int64_t kBatch = 100000;  // the writer's queue takes a batch this big
    for (std::int64_t s = 0; s < seconds; ++s) {
        const std::int64_t t = end - (seconds - s) * 1000;
        if (s % 600 == 599) {
            writer->Add({t, argv[3], station, argv[5], std::nullopt, 0, 7});
        } else {
            const double wave = 50 + 20 * std::sin(static_cast<double>(s) / 3600.0);
            writer->Add(
                {t, argv[3], station, argv[5], s % 3600 == 1800 ? wave + 40 : wave, 192, -1});
        }
        if (s % kBatch == kBatch - 1) writer->Flush();
    }
    writer->Flush();
    const service::HistoryCounters counters = writer->Counters();
    if (counters.rowsWritten != static_cast<std::uint64_t>(seconds)) {
        std::fprintf(stderr, "qm4720d_history_fill: %llu of %lld rows written: %s\n",
                     static_cast<unsigned long long>(counters.rowsWritten),
                     static_cast<long long>(seconds), counters.error.c_str());
        return 1;
    }
    return 0;
}
