// Result output of qm4720ctl: one table or record stream in the format the user chose. Results go
// to stdout; diagnostics go to stderr elsewhere.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace ctl {

enum class Format { kText, kCsv, kJson, kJsonl };

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

// Writes rows with fixed columns. Text: aligned columns with a header; csv: header then rows;
// json: one array of objects at the end; jsonl: one object a row as it comes.
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

// Shortest text that reads back as the same value (25.5, 120, -0.25).
std::string NumberText(double value);

// A file time (100 ns since 1601-01-01 UTC) as UTC ISO 8601 with milliseconds.
std::string FileTimeIso(std::uint64_t fileTime);

// The current time in the same form.
std::string NowIso();

}  // namespace ctl
