// The MQTT output's store-and-forward state: the acknowledged mark as acks come out of order and
// as the file is reopened, and what it reads back from the history.
#include "service/mqtt/mqtt_forward.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "service/history/history_writer.h"
#include "service/tests/service_fixture.h"

namespace {

using service::MqttForward;

constexpr std::int64_t kStart = 1'800'000'000'000;

service::ServiceConfig ForwardConfig(const std::string& db) {
    service::ServiceConfig config;
    config.history.database = db;
    config.mqtt.host = "127.0.0.1";
    config.mqtt.clientId = "fwd";
    return config;
}

class MqttForwardTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        writer_ = service::HistoryWriter::Open(db_, std::chrono::hours(24 * 365 * 100), error);
        ASSERT_NE(writer_, nullptr) << error;
    }
    void AddRow(std::int64_t utcMs, const char* mnemonic) {
        writer_->Add({utcMs, "a", 1, mnemonic, 1.5, 192, -1});
    }

    servicetest::ScratchDir dir_;
    const std::string db_ = dir_ / "history.db";
    std::unique_ptr<service::HistoryWriter> writer_;
};

TEST_F(MqttForwardTest, MarkIsTheOldestUnacknowledgedAndSurvivesReopening) {
    std::string error;
    {
        MqttForward forward(ForwardConfig(db_), kStart);
        ASSERT_TRUE(forward.Open(error)) << error;
        forward.TakeStoredMark();
        EXPECT_EQ(forward.Mark(std::nullopt), kStart);  // nothing seen: from this run on
        forward.Sent(1, kStart + 100);
        forward.Sent(2, kStart + 200);
        forward.Sent(3, kStart + 300);
        // Acknowledged out of order: the oldest still counts.
        forward.Acked(3);
        forward.Acked(2);
        EXPECT_EQ(forward.Mark(std::nullopt), kStart + 100);
        // A queued reading older than any in flight holds the mark back.
        EXPECT_EQ(forward.Mark(kStart + 50), kStart + 50);
        forward.Acked(1);
        forward.Acked(1);  // a repeated acknowledgement changes nothing
        EXPECT_EQ(forward.Mark(std::nullopt), kStart + 301);
        forward.Sent(4, kStart + 400);
        ASSERT_TRUE(forward.SaveMark(forward.Mark(std::nullopt), error)) << error;
    }
    // A new run, started later: what the last one had not had acknowledged is read back from
    // the history, up to this run's start.
    AddRow(kStart + 300, "PV");  // acknowledged, before the mark: never sent again
    AddRow(kStart + 400, "PV");
    AddRow(kStart + 400, "SP");
    AddRow(kStart + 900, "PV");
    AddRow(kStart + 5000, "PV");  // this run's own, sent live
    writer_->Flush();
    MqttForward forward(ForwardConfig(db_), kStart + 1000);
    ASSERT_TRUE(forward.Open(error)) << error;
    forward.TakeStoredMark();
    EXPECT_EQ(forward.Mark(std::nullopt), kStart + 301);
    EXPECT_TRUE(forward.LeftToHistory(kStart + 400));
    EXPECT_FALSE(forward.LeftToHistory(kStart + 1000));

    std::vector<std::pair<std::int64_t, std::string>> sent;
    for (int batch = 0; batch < 100; ++batch) {
        auto window = forward.NextWindow(kStart + 60'000);
        if (!window) break;
        std::vector<service::HistoryRow> rows;
        std::uint64_t skipped = 0;
        ASSERT_TRUE(forward.ReadRows(*window, rows, skipped, error)) << error;
        EXPECT_EQ(skipped, 0u);
        for (const auto& row : rows) sent.emplace_back(row.utcMs, row.mnemonic);
        forward.Advance(*window, rows.size(), skipped);
    }
    const std::vector<std::pair<std::int64_t, std::string>> expected = {
        {kStart + 400, "PV"}, {kStart + 400, "SP"}, {kStart + 900, "PV"}};
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(forward.replayed(), 3u);
    // All read back: the mark is this run's start until a live reading is acknowledged.
    EXPECT_EQ(forward.Mark(std::nullopt), kStart + 1000);
}

TEST_F(MqttForwardTest, OlderThanTheMaxAgeCountedNotSentTheRestInBatchesOfTheRate) {
    std::string error;
    service::ServiceConfig config = ForwardConfig(db_);
    config.mqtt.replay.maxAge = std::chrono::seconds(10);
    config.mqtt.replay.rate = 30;  // 3 a batch: windows cut between two registers' times
    for (int i = 0; i < 20; ++i) {
        AddRow(kStart + i * 1000, "PV");
        AddRow(kStart + i * 1000, "SP");
    }
    writer_->Flush();
    MqttForward forward(config, kStart + 20'000);
    ASSERT_TRUE(forward.Open(error)) << error;
    forward.Dropped(kStart);  // the memory queue's oldest dropped: all of it from the history
    for (int i = 1; i < 20; ++i) forward.Dropped(kStart + i * 1000);
    std::vector<std::pair<std::int64_t, std::string>> sent;
    for (int batch = 0; batch < 100; ++batch) {
        // As if read back at kStart + 24 s: readings before kStart + 14 s are too old.
        auto window = forward.NextWindow(kStart + 24'000);
        if (!window) break;
        std::vector<service::HistoryRow> rows;
        std::uint64_t skipped = 0;
        ASSERT_TRUE(forward.ReadRows(*window, rows, skipped, error)) << error;
        EXPECT_LE(rows.size(), 3u);
        for (const auto& row : rows) sent.emplace_back(row.utcMs, row.mnemonic);
        forward.Advance(*window, rows.size(), skipped);
    }
    EXPECT_EQ(forward.skipped(), 28u);
    std::vector<std::pair<std::int64_t, std::string>> expected;
    for (int i = 14; i < 20; ++i) {
        expected.emplace_back(kStart + i * 1000, "PV");
        expected.emplace_back(kStart + i * 1000, "SP");
    }
    EXPECT_EQ(sent, expected);
}

TEST(MqttForward, OffWithoutHistoryOrWithSparkplug) {
    service::ServiceConfig config = ForwardConfig("");
    EXPECT_FALSE(MqttForward(config, kStart).Enabled());
    config.history.database = "/nonexistent/history.db";
    config.mqtt.sparkplug.enabled = true;
    EXPECT_FALSE(MqttForward(config, kStart).Enabled());
}

}  // namespace
