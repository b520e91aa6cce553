// The history writer when the disk fails it: a full disk is logged once with its own reason, every
// row not written is counted, /metrics and the page say the history is failing, and writing
// resumes when space returns; a database deleted or replaced while open is noticed and made anew.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>

#include "service/history/history_output.h"
#include "service/core/live_table.h"
#include "service/history/history_writer.h"
#include "service/http/history_query.h"
#include "service/core/service_log.h"
#include "service/tests/service_fixture.h"

namespace {

using namespace std::chrono_literals;

// The log lines of the service while it lives, instead of stderr.
class LogCapture {
public:
    LogCapture() {
        service::SetLogSink([this](service::LogLevel, const std::string& text) {
            std::lock_guard lock(mutex_);
            text_ += text + "\n";
        });
    }
    ~LogCapture() { service::SetLogSink({}); }
    std::string Text() const {
        std::lock_guard lock(mutex_);
        return text_;
    }

private:
    mutable std::mutex mutex_;
    std::string text_;
};

// A tmpfs of `size` mounted at `path` for as long as it lives; `error` says why not when it
// cannot be (mounting needs root).
class SmallDisk {
public:
    SmallDisk(const std::string& path, const std::string& size) : path_(path) {
        std::filesystem::create_directory(path);
        const std::string options = "size=" + size;
        if (::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0) {
            mounted_ = true;
        } else {
            error_ = std::string("cannot mount a tmpfs to fill: ") + std::strerror(errno);
        }
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }

private:
    std::string path_;
    bool mounted_ = false;
    std::string error_;
};

// Writes `path` until the disk is full.
void FillDisk(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    const std::string block(4096, 'x');
    while (std::fwrite(block.data(), 1, block.size(), file) == block.size()) {
    }
    std::fclose(file);
}

// Each reading a millisecond after the one before: the history keeps one of a register a ms.
void AddRows(service::HistoryWriter& writer, int count, std::size_t lineNameBytes = 1) {
    static std::int64_t next = service::UtcNowMs();
    const std::string line(lineNameBytes, 'a');
    for (int i = 0; i < count; ++i) writer.Add({next++, line, 1, "PV", i, 192, -1});
}

std::string Metrics(const service::HistoryWriter& writer) {
    std::string text;
    service::AppendHistoryMetrics(text, writer);
    return text;
}

nlohmann::json PageHistory(const service::HistoryWriter& writer) {
    return nlohmann::json::parse(service::HistoryStatusJson(&writer));
}

TEST(HistoryWriterFailures, AFullDiskIsSaidOnceCountedShownAndOutlived) {
    servicetest::ScratchDir dir;
    const SmallDisk disk(dir / "disk", "1m");
    if (!disk.mounted()) {
        // Under CI the machine is known to allow it: a skip there would hide the test.
        if (const char* ci = std::getenv("CI"); ci != nullptr && std::string(ci) == "true") {
            FAIL() << disk.error();
        }
        GTEST_SKIP() << disk.error();
    }
    const LogCapture log;
    const std::string db = dir / "disk/history.db";
    std::string error;
    auto writer = service::HistoryWriter::Open(db, 24h, error, 10ms);
    ASSERT_NE(writer, nullptr) << error;
    AddRows(*writer, 10);
    writer->Flush();
    ASSERT_EQ(writer->Counters().rowsWritten, 10u);

    FillDisk(dir / "disk/filler");
    // Two batches, each far larger than what is left.
    for (int batch = 0; batch < 2; ++batch) {
        AddRows(*writer, 100, 8192);
        writer->Flush();
    }
    service::HistoryCounters c = writer->Counters();
    EXPECT_TRUE(c.failing);
    EXPECT_EQ(c.rowsWritten, 10u);
    EXPECT_EQ(c.rowsDropped, 200u);
    EXPECT_NE(c.error.find("database or disk is full"), std::string::npos) << c.error;
    const std::string said = log.Text();
    EXPECT_EQ(servicetest::Count(said, "database or disk is full"), 1) << said;
    EXPECT_EQ(said.find("no transaction is active"), std::string::npos) << said;
    EXPECT_NE(Metrics(*writer).find("qm4720_history_failing 1\n"), std::string::npos);
    EXPECT_NE(Metrics(*writer).find("qm4720_history_rows_dropped_total 200\n"), std::string::npos);
    EXPECT_EQ(PageHistory(*writer)["state"], "failing");

    std::filesystem::remove(dir / "disk/filler");
    AddRows(*writer, 5);
    writer->Flush();
    c = writer->Counters();
    EXPECT_FALSE(c.failing);
    EXPECT_EQ(c.rowsWritten, 15u);
    EXPECT_NE(log.Text().find("writing to " + db + " again"), std::string::npos) << log.Text();
    EXPECT_NE(Metrics(*writer).find("qm4720_history_failing 0\n"), std::string::npos);
    EXPECT_EQ(PageHistory(*writer)["state"], "writing");
    writer.reset();
    EXPECT_EQ(servicetest::QueryNumber(db, "SELECT count(*) FROM samples"), 15);
}

TEST(HistoryWriterFailures, ADatabaseDeletedOrReplacedWhileOpenIsMadeAnew) {
    const struct {
        const char* name;
        bool replaced;  // another file renamed over it, rather than deleted
        const char* said;
    } cases[] = {{"deleted", false, "was deleted while open"},
                 {"replaced", true, "is no longer the file that was open"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        servicetest::ScratchDir dir;
        const LogCapture log;
        const std::string db = dir / "history.db";
        std::string error;
        auto writer = service::HistoryWriter::Open(db, 24h, error, 10ms);
        ASSERT_NE(writer, nullptr) << error;
        AddRows(*writer, 3);
        writer->Flush();

        if (c.replaced) {
            auto other = service::HistoryWriter::Open(dir / "other.db", 24h, error);
            ASSERT_NE(other, nullptr) << error;
            other.reset();
            std::filesystem::rename(dir / "other.db", db);
        } else {
            std::filesystem::remove(db);
        }
        AddRows(*writer, 4);
        writer->Flush();
        EXPECT_NE(log.Text().find(db + " " + c.said), std::string::npos) << log.Text();
        // The rows after it are in the file the path names, which readers find.
        EXPECT_EQ(servicetest::QueryNumber(db, "SELECT count(*) FROM samples"), 4);
        service::HistoryConfig config;
        config.database = db;
        const auto answer = service::AnswerHistory(config, {}, service::UtcNowMs() + 1);
        EXPECT_EQ(answer.status, 200) << answer.body;
        EXPECT_EQ(nlohmann::json::parse(answer.body)["rows"].size(), 4u);
    }
}

}  // namespace
