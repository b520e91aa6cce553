#include "service/core/forward_marks.h"

namespace service {
namespace {

// The history writer commits about once a second, briefly: waiting this long for it is enough.
constexpr int kBusyTimeoutMs = 2000;

struct Statement {
    sqlite3_stmt* s = nullptr;
    ~Statement() { sqlite3_finalize(s); }
};

}  // namespace

std::unique_ptr<ForwardMarks> ForwardMarks::Open(const std::string& path, std::string& error) {
    std::unique_ptr<ForwardMarks> marks(new ForwardMarks());
    marks->path_ = path;
    const int rc = sqlite3_open_v2(path.c_str(), &marks->db_, SQLITE_OPEN_READWRITE, nullptr);
    if (rc != SQLITE_OK) {
        error =
            path + ": " + (marks->db_ != nullptr ? sqlite3_errmsg(marks->db_) : "out of memory");
        return nullptr;
    }
    sqlite3_busy_timeout(marks->db_, kBusyTimeoutMs);
    if (sqlite3_exec(marks->db_,
                     "CREATE TABLE IF NOT EXISTS forward_marks(consumer TEXT PRIMARY KEY, "
                     "acked_until_ms INTEGER NOT NULL)",
                     nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = path + ": " + sqlite3_errmsg(marks->db_);
        return nullptr;
    }
    return marks;
}

ForwardMarks::~ForwardMarks() {
    sqlite3_close(db_);
}

bool ForwardMarks::Read(std::string_view consumer, std::optional<std::int64_t>& ackedUntilMs,
                        std::string& error) {
    ackedUntilMs.reset();
    Statement st;
    if (sqlite3_prepare_v2(db_, "SELECT acked_until_ms FROM forward_marks WHERE consumer = ?1", -1,
                           &st.s, nullptr) != SQLITE_OK) {
        error = path_ + ": " + sqlite3_errmsg(db_);
        return false;
    }
    sqlite3_bind_text(st.s, 1, consumer.data(), static_cast<int>(consumer.size()),
                      SQLITE_TRANSIENT);
    const int step = sqlite3_step(st.s);
    if (step == SQLITE_ROW) {
        ackedUntilMs = sqlite3_column_int64(st.s, 0);
    } else if (step != SQLITE_DONE) {
        error = path_ + ": " + sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

bool ForwardMarks::Write(std::string_view consumer, std::int64_t ackedUntilMs, std::string& error) {
    Statement st;
    if (sqlite3_prepare_v2(
            db_,
            "INSERT INTO forward_marks(consumer, acked_until_ms) VALUES(?1, ?2) "
            "ON CONFLICT(consumer) DO UPDATE SET acked_until_ms = excluded.acked_until_ms",
            -1, &st.s, nullptr) != SQLITE_OK) {
        error = path_ + ": " + sqlite3_errmsg(db_);
        return false;
    }
    sqlite3_bind_text(st.s, 1, consumer.data(), static_cast<int>(consumer.size()),
                      SQLITE_TRANSIENT);
    sqlite3_bind_int64(st.s, 2, ackedUntilMs);
    if (sqlite3_step(st.s) != SQLITE_DONE) {
        error = path_ + ": " + sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

}  // namespace service
