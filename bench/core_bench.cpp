#include "bench/core_bench.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstring>
#include <deque>
#include <span>
#include <string_view>

#include "bench/host_driver.h"
#include "catalogue/tag_validation.h"
#include "contract/data_type.h"
#include "contract/value_fields.h"
#include "platform/platform.h"
#include "protocol/channel.h"
#include "protocol/frames.h"
#include "protocol/transactions.h"

namespace bench {
namespace {

// The read reply of the protocol's own example: PV with the field 0025.5.
constexpr std::array<std::uint8_t, 11> kPvReply = {0x02, 0x50, 0x56, 0x30, 0x30, 0x32,
                                                   0x35, 0x2E, 0x35, 0x03, 0x19};

void BuildReadFrame(benchmark::State& state) {
    HostRequest host(kDirectionRead, 1, "QM4720", "PV", 4, kTypeFloat, 1);
    std::array<std::uint8_t, protocol::kFrameBufferSize> frame{};
    for (auto _ : state) {
        std::int32_t length = 0;
        protocol::FrameRefusal refusal = protocol::FrameRefusal::kNone;
        benchmark::DoNotOptimize(protocol::BuildRequestFrame(
            protocol::BuilderMember::kDefaultModel, host.Request(), frame, length, refusal));
        benchmark::DoNotOptimize(frame.data());
        if (length != 8) state.SkipWithError("the read frame was not built");
    }
}

void BuildWriteFrame(benchmark::State& state) {
    HostRequest host(kDirectionWrite, 12, "QM4720", "SP", 13, kTypeFloat, 1);
    host.First().value.asFloat = 25.5f;
    std::array<std::uint8_t, protocol::kFrameBufferSize> frame{};
    for (auto _ : state) {
        std::int32_t length = 0;
        protocol::FrameRefusal refusal = protocol::FrameRefusal::kNone;
        benchmark::DoNotOptimize(protocol::BuildRequestFrame(
            protocol::BuilderMember::kDefaultModel, host.Request(), frame, length, refusal));
        benchmark::DoNotOptimize(frame.data());
        if (length != 16) state.SkipWithError("the write frame was not built");
    }
}

// Validating the reply, taking out its field and storing it into one item of the type.
void ValidateAndDecode(benchmark::State& state, std::uint16_t type) {
    HostRequest host(kDirectionRead, 1, "QM4720", "PV", 4, type, 1);
    IoItem& item = host.First();
    const std::span<const std::uint8_t> block(kPvReply);
    for (auto _ : state) {
        if (protocol::ValidateReply(host.Request(), block) == 0) {
            state.SkipWithError("the reply was rejected");
            break;
        }
        const std::string_view field = protocol::ReplyDataField(block);
        if (const auto decoded = contract::DecodeDataField(type, field)) {
            decoded->StoreInto(item.value);
        }
        benchmark::DoNotOptimize(item.value.asBit);
    }
}

void FloatToText(benchmark::State& state) {
    // Values that take each path of the rounding: whole, short, four decimals, negative.
    constexpr float kValues[] = {25.0f, 25.5f, 3.14159f, -0.25f, 12.3456f, 9999.9f};
    std::size_t i = 0;
    for (auto _ : state) {
        const contract::Text text = contract::FloatToText(kValues[i]);
        benchmark::DoNotOptimize(text);
        i = (i + 1) % std::size(kValues);
    }
}

void NumberFromText(benchmark::State& state) {
    constexpr std::string_view kFields[] = {"0025.5", "-012.5", "000025", "12.346", "-00003"};
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(contract::NumberFromText(kFields[i]));
        i = (i + 1) % std::size(kFields);
    }
}

void ParseRegister(benchmark::State& state) {
    // The first and the last register of the default table, and one of the other model's.
    TagSpec specs[3] = {};
    const char* texts[3][2] = {{"QM4720", "EE"}, {"QM4720", "BL"}, {"QM4720N", "NP"}};
    for (int i = 0; i < 3; ++i) {
        std::strcpy(specs[i].modelName, texts[i][0]);
        std::strcpy(specs[i].registerText, texts[i][1]);
        specs[i].typeMask = 0xFFFF;
    }
    std::size_t i = 0;
    for (auto _ : state) {
        TagBinding binding{};
        const catalogue::RegisterVerdict verdict = catalogue::ParseRegister(specs[i], binding);
        if (verdict.result != catalogue::kRegisterAccepted) {
            state.SkipWithError("a register was refused");
            break;
        }
        benchmark::DoNotOptimize(binding.descriptor);
        i = (i + 1) % 3;
    }
}

// A channel that answers every request at once with the example reply: the whole read
// transaction (frame, validation, decoding into every item, stamps) without a port or a pause.
class ScriptedChannel final : public protocol::Channel {
public:
    protocol::SendResult SendFrame(std::span<const std::uint8_t> frame) override {
        return {static_cast<std::int32_t>(frame.size()), std::nullopt};
    }
    bool ReceiveFrame(std::span<std::uint8_t, protocol::kReplyBufferSize> buffer,
                      std::uint32_t& length) override {
        std::memcpy(buffer.data(), kPvReply.data(), kPvReply.size());
        length = kPvReply.size();
        return true;
    }
    std::int32_t BaudFactor() const override { return 0; }
    void Pause(std::uint32_t) override {}
    // The real clock, so that the stamps cost what they cost in the driver.
    std::uint64_t Now() const override {
        const FILETIME now = platform::FileTimeNow();
        return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    }
};

void DecodeItems(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    HostRequest host(kDirectionRead, 1, "QM4720", "PV", 4, kTypeFloat, count);
    ScriptedChannel channel;
    for (auto _ : state) {
        if (protocol::ExecuteRequestEx(channel, &host.Request()).result != 1) {
            state.SkipWithError("the read failed");
            break;
        }
        benchmark::ClobberMemory();
    }
}

// Collects the median of each benchmark's repetitions instead of printing them.
class Collector final : public benchmark::BenchmarkReporter {
public:
    explicit Collector(std::vector<CoreRow>& rows) : rows_(rows) {}
    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                failed_ = true;
                continue;
            }
            if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
            CoreRow row;
            row.name = run.run_name.function_name;
            if (!run.run_name.args.empty()) row.items = std::stoi(run.run_name.args);
            if (const auto slash = row.name.find('/'); slash != std::string::npos) {
                row.name.resize(slash);
            }
            row.nsPerCall = run.GetAdjustedRealTime();
            row.cpuNsPerCall = run.GetAdjustedCPUTime();
            if (!run.run_name.args.empty()) row.name += "/" + run.run_name.args;
            rows_.push_back(row);
        }
    }
    bool Failed() const { return failed_; }

private:
    std::vector<CoreRow>& rows_;
    bool failed_ = false;
};

}  // namespace

bool RunCoreBenchmarks(const char* program, double minTimeSeconds, int repetitions,
                       std::vector<CoreRow>& rows) {
    benchmark::RegisterBenchmark("BuildReadFrame", BuildReadFrame);
    benchmark::RegisterBenchmark("BuildWriteFrame", BuildWriteFrame);
    benchmark::RegisterBenchmark("ValidateAndDecode:BIT", ValidateAndDecode, kTypeBit);
    benchmark::RegisterBenchmark("ValidateAndDecode:INT", ValidateAndDecode, kTypeInt);
    benchmark::RegisterBenchmark("ValidateAndDecode:FLOAT", ValidateAndDecode, kTypeFloat);
    benchmark::RegisterBenchmark("FloatToText", FloatToText);
    benchmark::RegisterBenchmark("NumberFromText", NumberFromText);
    benchmark::RegisterBenchmark("ParseRegister", ParseRegister);
    benchmark::RegisterBenchmark("DecodeItems", DecodeItems)->Arg(1)->Arg(10)->Arg(100)->Arg(1000);

    std::string minTime = "--benchmark_min_time=" + std::to_string(minTimeSeconds);
    std::string reps = "--benchmark_repetitions=" + std::to_string(repetitions);
    std::string name = program;
    std::vector<char*> argv = {name.data(), minTime.data(), reps.data()};
    int argc = static_cast<int>(argv.size());
    benchmark::Initialize(&argc, argv.data());
    Collector collector(rows);
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();
    return !collector.Failed() && !rows.empty();
}

}  // namespace bench
