// The history's retention: rows older than it are deleted from the database, younger ones stay.
#include <gtest/gtest.h>

#include "service/history/history_writer.h"
#include "service/core/live_table.h"
#include "service/tests/service_fixture.h"

namespace {

TEST(HistoryRetention, RowsOlderThanTheRetentionAreDeletedOnOpen) {
    servicetest::ScratchDir dir;
    const std::string db = dir / "history.db";
    const std::int64_t now = service::UtcNowMs();
    std::string error;
    {
        // A long retention first: every row is written.
        auto writer = service::HistoryWriter::Open(db, std::chrono::hours(24 * 365), error);
        ASSERT_NE(writer, nullptr) << error;
        for (const std::int64_t age : {3 * 3600'000LL, 2 * 3600'000LL, 1800'000LL, 0LL}) {
            writer->Add({now - age, "a", 1, "PV", 1.5, 192, -1});
        }
        writer->Add({now, "a", 1, "OP", std::nullopt, 0, 7});
        writer->Flush();
        EXPECT_EQ(writer->Counters().rowsWritten, 5u);
    }
    EXPECT_EQ(servicetest::QueryNumber(db, "SELECT count(*) FROM samples"), 5);
    EXPECT_EQ(servicetest::QueryNumber(
                  db, "SELECT count(*) FROM samples WHERE value IS NULL AND error_code = 7"),
              1);

    auto writer = service::HistoryWriter::Open(db, std::chrono::hours(1), error);
    ASSERT_NE(writer, nullptr) << error;
    writer->Flush();
    EXPECT_EQ(servicetest::QueryNumber(db, "SELECT count(*) FROM samples"), 3);
    EXPECT_EQ(servicetest::QueryNumber(db, "SELECT min(time_ms) FROM samples"), now - 1800'000);
    EXPECT_TRUE(std::filesystem::exists(db + "-wal"));  // readers read beside the writer
}

}  // namespace
