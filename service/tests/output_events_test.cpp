// The runtime's seam: outputs start in their order and stop in reverse (a refused start stops
// those before it and starts no line), a dummy output added with one line hears the lines'
// events and shows in /metrics and the live JSON, and the history takes a lost line's cells as
// failed rows, as MQTT publishes them.
#include <gtest/gtest.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "contract/messages.h"
#include "service/history/history_writer.h"
#include "service/core/service_runtime.h"
#include "service/history/history_output.h"
#include "service/http/http_server.h"
#include "service/tests/dummy_output/dummy_output.h"
#include "tests/support/free_port.h"
#include "service/tests/service_fixture.h"

namespace {

using namespace std::chrono_literals;
using servicetest::DummyOutput;
using servicetest::Journal;
using servicetest::WaitFor;

class OutputSeam : public servicetest::RuntimeTest {
protected:
    std::string LineOn(const std::string& port) {
        return "[[line]]\nname = \"a\"\nport = \"" + port +
               "\"\n[[line.meter]]\nstation = 1\nwritable = [\"SP\"]\n"
               "[[line.meter.poll]]\nregisters = [\"PV\", \"SP\"]\ninterval_s = 0.2\n";
    }
};

struct OrderCase {
    const char* what;
    int refusing;  // the output that refuses its start, -1 none
    std::vector<std::string> journal;
};

TEST_F(OutputSeam, OutputsStartInOrderAndStopInReverse) {
    const OrderCase cases[] = {
        {"all start", -1, {"a start", "b start", "c start", "c stop", "b stop", "a stop"}},
        {"b refuses", 1, {"a start", "b start", "a stop"}},
    };
    for (const OrderCase& c : cases) {
        auto runtime = Runtime(LineOn("/dev/qm4720-none"));
        ASSERT_NE(runtime, nullptr);
        auto journal = std::make_shared<Journal>();
        const char* names[] = {"a", "b", "c"};
        DummyOutput* first = nullptr;
        for (int i = 0; i < 3; ++i) {
            auto output = std::make_unique<DummyOutput>(names[i], journal, i == c.refusing);
            if (i == 0) first = output.get();
            runtime->AddOutput(std::move(output));
        }
        std::string error;
        EXPECT_EQ(runtime->Start(error), c.refusing < 0) << c.what;
        if (c.refusing >= 0) {
            EXPECT_EQ(error, "b refuses to start") << c.what;
            EXPECT_TRUE(runtime->outputs().empty()) << c.what;
        } else {
            // The line runs: its port does not exist, so it is lost at once.
            EXPECT_TRUE(WaitFor([&] { return first->Heard().lineLostStates > 0; }, 5s)) << c.what;
        }
        runtime->Stop();
        EXPECT_EQ(journal->Entries(), c.journal) << c.what;
    }
}

TEST_F(OutputSeam, ADummyOutputHearsTheLineAndShowsInMetricsAndTheLiveJson) {
    const std::string link = dir_ / "line";
    auto sim = servicetest::StartSim(link, {"1"});
    auto runtime = Runtime(LineOn(link));
    ASSERT_NE(runtime, nullptr);
    service::HttpConfig http;
    http.port = service::testing::FreeLoopbackPort();
    runtime->AddOutput(std::make_unique<service::HttpServer>(http));
    auto journal = std::make_shared<Journal>();
    // The one line a new output needs.
    runtime->AddOutput(std::make_unique<DummyOutput>("dummy", journal));
    auto* dummy = static_cast<DummyOutput*>(runtime->outputs().back().get());
    std::string error;
    ASSERT_TRUE(runtime->Start(error)) << error;

    ASSERT_TRUE(WaitFor([&] { return dummy->Heard().polled >= 2; }, 5s));
    EXPECT_GE(dummy->Heard().lineUp, 1u);
    // SP is register 13 in the default model's table.
    const service::WriteResult written = runtime->Gateway(0).Write(1, 13, 7.5, "the test");
    ASSERT_EQ(written.outcome, service::WriteOutcome::kDone);
    EXPECT_EQ(dummy->Heard().writesDone, 1u);
    EXPECT_EQ(dummy->Heard().lastWriteWho, "the test");
    runtime->Gateway(0).Write(1, 4, 1.0, "the test");  // PV: not configured writable
    EXPECT_EQ(dummy->Heard().writesDone, 1u) << "a refused write is not a done one";

    httplib::Client client("127.0.0.1", http.port);
    const auto metrics = client.Get("/metrics");
    ASSERT_TRUE(metrics) << httplib::to_string(metrics.error());
    EXPECT_NE(metrics->body.find("# TYPE qm4720_dummy_readings_total counter\n"), std::string::npos)
        << metrics->body;
    EXPECT_NE(metrics->body.find("\nqm4720_dummy_readings_total "), std::string::npos);
    const auto values = client.Get("/api/v1/values");
    ASSERT_TRUE(values) << httplib::to_string(values.error());
    const nlohmann::json root = nlohmann::json::parse(values->body);
    EXPECT_EQ(root["dummy"]["writes_done"], 1) << values->body;
    EXPECT_FALSE(root.contains("history")) << "no history output was added";
    runtime->Stop();
}

TEST_F(OutputSeam, ALineThatCannotBeOpenedWritesFailedRowsToTheHistory) {
    const std::string db = dir_ / "history.db";
    std::string error;
    std::shared_ptr<service::HistoryWriter> writer =
        service::HistoryWriter::Open(db, 24h, error, 10ms);
    ASSERT_NE(writer, nullptr) << error;
    auto runtime = Runtime(LineOn("/dev/qm4720-none"));
    ASSERT_NE(runtime, nullptr);
    runtime->AddOutput(std::make_unique<service::HistoryOutput>(writer));
    ASSERT_TRUE(runtime->Start(error)) << error;
    // Both polled registers, failed with the driver's open error; never a value.
    const std::string failed = "SELECT COUNT(*) FROM " + servicetest::kHistoryRows +
                               " WHERE line = 'a' AND station = 1 "
                               "AND value IS NULL AND quality = 0 AND error_code = " +
                               std::to_string(contract::kErrorOpen);
    EXPECT_TRUE(WaitFor([&] { return servicetest::QueryNumber(db, failed) >= 2; }, 5s))
        << servicetest::QueryNumber(db, failed);
    runtime->Stop();
    EXPECT_EQ(servicetest::QueryNumber(db, "SELECT COUNT(*) FROM samples WHERE value IS NOT NULL"),
              0);
    EXPECT_EQ(servicetest::QueryNumber(db, "SELECT COUNT(DISTINCT register) FROM " +
                                               servicetest::kHistoryRows +
                                               " WHERE register IN ('PV', 'SP')"),
              2);
}

}  // namespace
