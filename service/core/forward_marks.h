// How far a consumer of the history (the MQTT output) has had every reading acknowledged, kept in
// the history database itself so that a restart of the service carries on from there: one row of
// forward_marks(consumer, acked_until_ms) per consumer, every reading before acked_until_ms
// acknowledged.
//
// Written through a connection of its own, short transactions with a busy timeout, rather than
// handed to the history writer: the mark changes on the MQTT output's acknowledgements, not on
// readings, and the writer's batches must not wait for a broker, nor the output for a commit.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace service {

class ForwardMarks {
public:
    // Opens the history database at `path` (never creates the file: the history writer does) and
    // makes the table when it is missing; null with `error` = "PATH: what SQLite said".
    static std::unique_ptr<ForwardMarks> Open(const std::string& path, std::string& error);
    ~ForwardMarks();
    ForwardMarks(const ForwardMarks&) = delete;
    ForwardMarks& operator=(const ForwardMarks&) = delete;

    // The mark of `consumer`; nullopt when none was ever written. False with `error` on a failure.
    bool Read(std::string_view consumer, std::optional<std::int64_t>& ackedUntilMs,
              std::string& error);
    // Sets the mark of `consumer`; false with `error` when it could not be committed.
    bool Write(std::string_view consumer, std::int64_t ackedUntilMs, std::string& error);

private:
    ForwardMarks() = default;

    sqlite3* db_ = nullptr;
    std::string path_;
};

}  // namespace service
