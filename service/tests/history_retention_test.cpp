// The history's retention: rows older than it are deleted from the database, younger ones stay;
// beyond the size bound the oldest rows are deleted and the file stops growing.
#include <gtest/gtest.h>
#include <sqlite3.h>

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

// Over its size bound the oldest rows go first, and the file stops growing: over repeated fills
// and prunes its page count stays about where the first prunes left it, in a new file (whose pages
// go back with incremental_vacuum) and in one moved from the earlier table (whose pages are
// reused).
TEST(HistoryRetention, BeyondItsSizeTheOldestRowsGoAndTheFileStopsGrowing) {
    for (const bool earlier : {false, true}) {
        SCOPED_TRACE(earlier ? "moved from the earlier table" : "new file");
        servicetest::ScratchDir dir;
        const std::string db = dir / "history.db";
        if (earlier) {
            sqlite3* handle = nullptr;
            ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(handle,
                                   "CREATE TABLE readings(time_ms INTEGER NOT NULL, line TEXT NOT "
                                   "NULL, station INTEGER NOT NULL, register TEXT NOT NULL, value "
                                   "REAL, quality INTEGER NOT NULL, error_code INTEGER NOT NULL)",
                                   nullptr, nullptr, nullptr),
                      SQLITE_OK);
            sqlite3_close(handle);
        }
        std::string error;
        auto writer = service::HistoryWriter::Open(db, std::chrono::hours(24 * 3650), error);
        ASSERT_NE(writer, nullptr) << error;
        service::HistorySettings settings;
        settings.maxBytes = 1 << 20;
        settings.minuteRetention = settings.hourRetention = std::chrono::hours(24 * 3650);
        const std::int64_t start = service::UtcNowMs() - 24 * 3600'000LL;
        std::int64_t t = start;
        std::vector<long long> pages;
        // A round of rows alone is over the bound (a row takes about 18 bytes); 4 a second, so
        // that the aggregates stay a small part of the bound.
        constexpr int kRound = 70'000;
        constexpr std::int64_t kStepMs = 250;
        for (int round = 0; round < 6; ++round) {
            for (int i = 0; i < kRound; ++i, t += kStepMs) {
                writer->Add({t, "a", static_cast<std::int16_t>(1 + i % 4), "PV", i * 0.5, 192, -1});
            }
            writer->SetSettings(settings);  // prunes at once
            writer->Flush();
            pages.push_back(servicetest::QueryNumber(db, "PRAGMA page_count"));
            const long long used =
                (pages.back() - servicetest::QueryNumber(db, "PRAGMA freelist_count")) *
                servicetest::QueryNumber(db, "PRAGMA page_size");
            EXPECT_LE(used, 1 << 20) << round;
            // The newest rows are kept, the oldest gone.
            EXPECT_EQ(servicetest::QueryNumber(db, "SELECT max(time_ms) FROM samples"),
                      t - kStepMs);
            EXPECT_GT(servicetest::QueryNumber(db, "SELECT min(time_ms) FROM samples"),
                      start + round * kRound * kStepMs);
        }
        // A round of rows alone takes about as many pages as the bound; the aggregates, kept
        // here for years, grow by a few.
        for (std::size_t round = 2; round < pages.size(); ++round) {
            EXPECT_LE(pages[round], pages[1] * 11 / 10) << ::testing::PrintToString(pages);
        }
    }
}

}  // namespace
