// The gateway of a line over the running service: reads answered from the live table by the rules
// of meter_gateway.h, writes that reach the simulated meter, and a line that is lost and comes
// back when its simulator is killed and started again on the same link.
#include <gtest/gtest.h>

#include <future>
#include <optional>

#include "service/core/health.h"
#include "service/core/service_runtime.h"
#include "service/tests/service_fixture.h"

namespace {

using namespace std::chrono_literals;
using service::CellState;
using service::WriteOutcome;
using servicetest::WaitFor;

// Indices in both models' tables.
constexpr std::int16_t kPV = 4, kOP = 5, kSP = 13, kPN = 14;

WriteOutcome Write(service::MeterGateway& gateway, std::int16_t station, std::int16_t index,
                   double value) {
    return gateway.Write(station, index, value, "test").outcome;
}

class LineGateway : public servicetest::RuntimeTest {
protected:
    CellState StateOf(service::MeterGateway& g, std::int16_t station, std::int16_t index) {
        return g.Read(station, index).state;
    }
};

TEST_F(LineGateway, ReadsFollowTheTableAndWritesReachTheMeter) {
    const std::string link = dir_ / "line";
    auto sim = servicetest::StartSim(link, {"1", "12:QM4720N"});
    auto runtime = Start("[[line]]\nname = \"a\"\nport = \"" + link +
                         "\"\n"
                         "[[line.meter]]\nstation = 1\nwritable = [\"SP\", \"PN\"]\n"
                         "[[line.meter.poll]]\nregisters = [\"PV\", \"SP\", \"PN\"]\n"
                         "interval_s = 0.2\n"
                         "[[line.meter]]\nstation = 12\nmodel = \"QM4720N\"\n"
                         "[[line.meter.poll]]\nregisters = [\"PV\"]\ninterval_s = 60\n"
                         "allowed_age_s = 0.5\n");
    ASSERT_NE(runtime, nullptr);
    service::MeterGateway& gateway = runtime->Gateway(0);

    ASSERT_TRUE(WaitFor([&] { return StateOf(gateway, 1, kPV) == CellState::kGood; }, 5s));
    EXPECT_GT(gateway.Read(1, kPV).value, 0.0);
    EXPECT_EQ(StateOf(gateway, 1, kOP), CellState::kUnknown);  // not polled
    EXPECT_EQ(StateOf(gateway, 2, kPV), CellState::kUnknown);  // no such station

    // Read once a minute and allowed half a second: good after its read, then stale.
    ASSERT_TRUE(WaitFor([&] { return StateOf(gateway, 12, kPV) == CellState::kGood; }, 5s));
    EXPECT_TRUE(WaitFor([&] { return StateOf(gateway, 12, kPV) == CellState::kStale; }, 2s));
    EXPECT_EQ(gateway.Read(12, kPV).value, 0.0);  // a stale value is not handed out

    // Done only with the value the meter holds after it; refused before the line otherwise.
    struct Case {
        std::int16_t station, index;
        double value;
        WriteOutcome outcome;
        std::optional<double> sent;
    };
    const Case cases[] = {
        {1, kSP, 42.5, WriteOutcome::kDone, 42.5},
        {1, kPN, 12, WriteOutcome::kDone, 12},
        {1, kSP, 42.123456, WriteOutcome::kDone, 42.123},             // the field's six characters
        {1, kPV, 1, WriteOutcome::kNotWritable, std::nullopt},        // read-only
        {1, kOP, 1, WriteOutcome::kNotWritable, std::nullopt},        // not configured
        {12, kSP, 1, WriteOutcome::kNotWritable, std::nullopt},       // not on this meter
        {1, kSP, 1e7, WriteOutcome::kRefusedByDriver, std::nullopt},  // 8 characters
        {1, kPN, 40000, WriteOutcome::kRefusedByDriver, std::nullopt},  // past 16 bits
    };
    int refused = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.station << "/" << c.index << " = " << c.value);
        const service::WriteResult result = gateway.Write(c.station, c.index, c.value, "test 1");
        EXPECT_EQ(result.outcome, c.outcome);
        EXPECT_EQ(result.sent, c.sent);
        if (c.outcome != WriteOutcome::kDone) ++refused;
    }
    EXPECT_TRUE(WaitFor([&] { return gateway.Read(1, kSP).value == 42.123; }, 3s));
    EXPECT_TRUE(WaitFor([&] { return gateway.Read(1, kPN).value == 12; }, 3s));
    // Each write said once, by who asked; the client's refusals are not faults of the line.
    const std::string log = Log();
    EXPECT_EQ(servicetest::Count(log, "write by test 1: line a station "),
              static_cast<int>(std::size(cases)))
        << log;
    EXPECT_EQ(servicetest::Count(log, "SP = 42.123 (requested 42.123456): done"), 1) << log;
    EXPECT_EQ(servicetest::Count(log, "PN = 40000: refused by driver (INT"), 1) << log;
    const service::LineCounters counters = runtime->live().Lines()[0]->Counters();
    EXPECT_EQ(counters.writeRefusals, static_cast<std::uint64_t>(refused));
    EXPECT_EQ(counters.otherError, 0u);
}

TEST_F(LineGateway, AWriteIsOneLineOfTheLogWhateverTheClientNamedIt) {
    service::LogWrite("MQTT", "a\nqm4720d: line a: lost", 1, "S\rP", 1,
                      {WriteOutcome::kNotWritable, std::nullopt}, "not\nwritable");
    EXPECT_EQ(Log(),
              "write by MQTT: line a?qm4720d: line a: lost station 1 S?P = 1: not writable "
              "(not?writable)\n");
}

TEST_F(LineGateway, ALostLineFailsItsValuesAndComesBackWithinTheBackoff) {
    const std::string link = dir_ / "line";
    auto sim = servicetest::StartSim(link, {"3"});
    auto runtime = Start("[[line]]\nname = \"a\"\nport = \"" + link +
                         "\"\nreply_timeout_ms = 300\n"
                         "[[line.meter]]\nstation = 3\nwritable = [\"SP\"]\n"
                         "[[line.meter.poll]]\nregisters = [\"PV\"]\ninterval_s = 0.1\n");
    ASSERT_NE(runtime, nullptr);
    service::MeterGateway& gateway = runtime->Gateway(0);
    ASSERT_TRUE(WaitFor([&] { return StateOf(gateway, 3, kPV) == CellState::kGood; }, 5s));

    sim->Stop(SIGKILL);
    EXPECT_TRUE(WaitFor([&] { return StateOf(gateway, 3, kPV) == CellState::kFailed; }, 3s));
    EXPECT_EQ(Write(gateway, 3, kSP, 7), WriteOutcome::kNoAnswer);
    std::this_thread::sleep_for(2500ms);  // a few reopen attempts, which the log does not repeat

    sim = servicetest::StartSim(link, {"3"});
    // The attempts so far came 1 s and 2 s after the loss; the next is at most 4 s away.
    EXPECT_TRUE(WaitFor([&] { return StateOf(gateway, 3, kPV) == CellState::kGood; }, 6s));
    EXPECT_EQ(Write(gateway, 3, kSP, 7), WriteOutcome::kDone);
    const std::string log = Log();
    EXPECT_EQ(servicetest::Count(log, "line a: lost"), 1) << log;
    EXPECT_EQ(servicetest::Count(log, "line a: reopened"), 1) << log;
}

TEST_F(LineGateway, AMeterThatRefusesEverythingFailsReadsAndRefusesWrites) {
    const std::string link = dir_ / "line";
    auto sim = std::make_unique<simtest::SimProcess>();
    ASSERT_TRUE(sim->Start({"--link", link, "--station", "5", "--fault", "nak=1"}));
    auto runtime = Start("[[line]]\nname = \"a\"\nport = \"" + link +
                         "\"\n[[line.meter]]\nstation = 5\nwritable = [\"SP\"]\n"
                         "[[line.meter.poll]]\nregisters = [\"PV\"]\ninterval_s = 0.1\n");
    ASSERT_NE(runtime, nullptr);
    service::MeterGateway& gateway = runtime->Gateway(0);
    EXPECT_EQ(Write(gateway, 5, kSP, 12.5), WriteOutcome::kRefusedByMeter);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(StateOf(gateway, 5, kPV), CellState::kFailed);
    // The meter answers, if only with NAK: the line is not taken for lost.
    EXPECT_EQ(servicetest::Count(Log(), "lost"), 0) << Log();
}

// Writes queued to a meter that does not answer are taken one after the other, longer in all
// than a worker may go without coming round: the worker is alive all the while (the watchdog
// keeps its pings, /healthz names no stuck worker), since each exchange is one round.
TEST_F(LineGateway, ABurstOfWritesToADeadMeterIsNoStuckWorker) {
    const std::string link = dir_ / "line";
    auto sim = servicetest::StartSim(link, {"3"});
    auto runtime = Start("[[line]]\nname = \"a\"\nport = \"" + link +
                         "\"\nreply_timeout_ms = 300\n"
                         "[[line.meter]]\nstation = 3\n"
                         "[[line.meter.poll]]\nregisters = [\"PV\"]\ninterval_s = 0.1\n"
                         "[[line.meter]]\nstation = 8\nwritable = [\"SP\"]\n");
    ASSERT_NE(runtime, nullptr);
    service::MeterGateway& gateway = runtime->Gateway(0);
    ASSERT_TRUE(WaitFor([&] { return StateOf(gateway, 3, kPV) == CellState::kGood; }, 5s));
    const auto limit = service::WorkerStuckAfter(runtime->config().lines[0]);
    // 10 unanswered writes: 3 s of replies waited for at least, against a limit of 2.3 s.
    std::vector<std::future<WriteOutcome>> writes;
    for (int i = 0; i < 10; ++i) {
        writes.push_back(
            std::async(std::launch::async, [&gateway] { return Write(gateway, 8, kSP, 1); }));
    }
    int stuck = 0;
    for (auto& write : writes) {
        while (write.wait_for(50ms) != std::future_status::ready) {
            stuck += runtime->Alive(limit) ? 0 : 1;
        }
        EXPECT_EQ(write.get(), WriteOutcome::kNoAnswer);
    }
    EXPECT_EQ(stuck, 0);
}

TEST_F(LineGateway, AWriteToALineWhoseWorkerEndedIsAnsweredAtOnce) {
    // The worker cannot create its driver and ends; a write must not wait for it (a Modbus client
    // blocked there would hold the server's Stop, and with it a reload or the shutdown).
    const std::string path = dir_ / "qm4720d.toml";
    servicetest::WriteFile(path,
                           "[[line]]\nname = \"a\"\nport = \"/dev/null\"\n"
                           "[[line.meter]]\nstation = 1\nwritable = [\"SP\"]\n");
    service::ServiceConfig config;
    std::string error;
    ASSERT_TRUE(service::LoadConfig(path, driver_, QM_MODULE_PATH, config, error)) << error;
    std::future<WriteOutcome> write;  // declared first: the runtime's Stop answers it before
    service::ServiceRuntime runtime(config, dir_ / "no-module.so");
    ASSERT_TRUE(runtime.Start(error)) << error;
    write = std::async(std::launch::async, [&] { return Write(runtime.Gateway(0), 1, kSP, 5); });
    ASSERT_EQ(write.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(write.get(), WriteOutcome::kNoAnswer);
}

}  // namespace
