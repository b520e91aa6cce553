// What the service's tests share: a scratch folder, simulators on links of their own, qm4720d as
// a child process, and reads of the history database as any other reader would make them.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/oskit/child_process.h"
#include "service/core/service_log.h"
#include "service/core/service_runtime.h"
#include "tests/support/sim_process.h"

namespace servicetest {

using namespace std::chrono_literals;

// A folder under /tmp, removed with everything in it at the end.
class ScratchDir {
public:
    ScratchDir() {
        char name[] = "/tmp/qm4720d-test-XXXXXX";
        path_ = mkdtemp(name);
    }
    ~ScratchDir() { std::filesystem::remove_all(path_); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::trunc) << text;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Polls `done` every 50 ms until it holds or `limit` passes; whether it held.
inline bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// A simulator serving `stations` on the symbolic link `link`, which a restart keeps.
inline std::unique_ptr<simtest::SimProcess> StartSim(const std::string& link,
                                                     std::vector<std::string> stations) {
    std::vector<std::string> args{"--link", link};
    for (const std::string& s : stations) {
        args.push_back("--station");
        args.push_back(s);
    }
    auto sim = std::make_unique<simtest::SimProcess>();
    if (!sim->Start(args)) ADD_FAILURE() << "the simulator did not start: " << sim->Stderr();
    return sim;
}

// qm4720d --config `config`, its stderr into `logPath`.
inline std::unique_ptr<host::ChildProcess> StartService(const std::string& config,
                                                        const std::string& logPath) {
    std::string error;
    auto child = host::StartChild({QM_SERVICE_PATH, "--config", config, "--module", QM_MODULE_PATH},
                                  error, {logPath});
    if (child == nullptr) ADD_FAILURE() << error;
    return child;
}

// One number from the history database, read-only as qm4720ctl reads it; -1 when it cannot be
// read (no file yet, no table yet).
// The history's rows as one table of the columns readers see (line, station, register, value,
// quality 192 good, error_code -1 none), for a test's SQL: FROM ` + kHistoryRows + `.
inline const std::string kHistoryRows =
    "(SELECT time_ms, line, station, register, value, coalesce(quality, 192) AS quality, "
    "coalesce(error_code, -1) AS error_code FROM samples JOIN series ON series.id = "
    "samples.series)";

inline long long QueryNumber(const std::string& db, const std::string& sql) {
    sqlite3* handle = nullptr;
    long long result = -1;
    if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(handle, 2000);
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW) {
            result = sqlite3_column_int64(stmt, 0);
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(handle);
    return result;
}

// A runtime made in the test's process from a configuration text: the module loaded once, the
// log kept in the test (not printed) and readable with Log().
class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        const qm4720::Error loaded = driver_.Load(QM_MODULE_PATH, "");
        ASSERT_FALSE(loaded) << loaded.message;
        service::SetLogSink([this](service::LogLevel, const std::string& text) {
            std::lock_guard lock(logMutex_);
            log_ += text + "\n";
        });
    }
    void TearDown() override { service::SetLogSink({}); }

    // The runtime of `toml`, not started (outputs may still be added); null after a failure.
    std::unique_ptr<service::ServiceRuntime> Runtime(const std::string& toml) {
        const std::string path = dir_ / "qm4720d.toml";
        WriteFile(path, toml);
        service::ServiceConfig config;
        std::string error;
        if (!service::LoadConfig(path, driver_, QM_MODULE_PATH, config, error)) {
            ADD_FAILURE() << error;
            return nullptr;
        }
        return std::make_unique<service::ServiceRuntime>(config, QM_MODULE_PATH);
    }
    // The runtime of `toml`, started; null after a failure.
    std::unique_ptr<service::ServiceRuntime> Start(const std::string& toml) {
        auto runtime = Runtime(toml);
        std::string error;
        if (runtime != nullptr && !runtime->Start(error)) {
            ADD_FAILURE() << error;
            return nullptr;
        }
        return runtime;
    }
    std::string Log() {
        std::lock_guard lock(logMutex_);
        return log_;
    }

    ScratchDir dir_;
    qm4720::Driver driver_;

private:
    std::mutex logMutex_;
    std::string log_;
};

// Occurrences of `word` in `text`.
inline int Count(const std::string& text, const std::string& word) {
    int n = 0;
    for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
    return n;
}

}  // namespace servicetest
