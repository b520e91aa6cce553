// Result output of qm4720ctl: one table or record stream in the format the user chose. Results go
// to stdout; diagnostics go to stderr elsewhere.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace ctl {

enum class Format { kText, kCsv, kJson, kJsonl };

// How times are written (--time): UTC ISO 8601 with milliseconds (2026-12-08T09:30:00.125Z),
// local ISO 8601 with the offset (2026-12-08T10:30:00.125+01:00), or seconds since 1970 with
// milliseconds (1796722200.125, a number in JSON).
enum class TimeStyle { kUtc, kLocal, kEpoch };

// One cell: a text, a number, a yes/no (JSON true/false), or nothing (printed empty / null, never
// as a made-up value).
struct Cell {
    enum class Kind { kText, kNumber, kBool, kNull } kind = Kind::kNull;
    std::string text;
    double number = 0;

    static Cell Text(std::string t) { return {Kind::kText, std::move(t), 0}; }
    static Cell Number(double n) { return {Kind::kNumber, {}, n}; }
    static Cell Bool(bool b) { return {Kind::kBool, b ? "yes" : "no", b ? 1.0 : 0.0}; }
    static Cell Null() { return {}; }
};

// Writes rows with fixed columns. Text: aligned columns with a header (LayOutTable); csv: header
// then rows; json: one array of objects at the end; jsonl: one object a row as it comes.
class RecordWriter {
public:
    RecordWriter(Format format, std::vector<std::string> columns, std::FILE* out = stdout);
    ~RecordWriter();
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    void Row(const std::vector<Cell>& cells);
    // Writes what is buffered (text and json are buffered to align or to close the array).
    void Finish();

private:
    Format format_;
    std::vector<std::string> columns_;
    std::FILE* out_;
    std::vector<std::vector<Cell>> buffered_;
    bool finished_ = false;
};

// A cell as text and CSV show it: numbers by NumberText, yes/no, nothing for null.
std::string CellText(const Cell& cell);

// Shortest text that reads back as the same value (25.5, 120, -0.25).
std::string NumberText(double value);

// A file time (100 ns since 1601-01-01 UTC) as UTC ISO 8601 with milliseconds.
std::string FileTimeIso(std::uint64_t fileTime);

// The current time in the same form.
std::string NowIso();

// The current time as a file time.
std::uint64_t NowFileTime();

// A time of the system clock as a file time.
std::uint64_t FileTimeOf(std::chrono::system_clock::time_point time);

// A file time as a cell in `style`; null for a time before 1970.
Cell TimeCell(std::uint64_t fileTime, TimeStyle style);

}  // namespace ctl
