#include "tools/ctl/output.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>

#include <nlohmann/json.hpp>

#include "host/oskit/system_text.h"
#include "tools/ctl/table_layout.h"

namespace ctl {
namespace {

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

nlohmann::ordered_json RowObject(const std::vector<std::string>& columns,
                                 const std::vector<Cell>& cells) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (std::size_t i = 0; i < columns.size() && i < cells.size(); ++i) {
        const Cell& cell = cells[i];
        if (cell.kind == Cell::Kind::kText) {
            object[columns[i]] = cell.text;
        } else if (cell.kind == Cell::Kind::kBool) {
            object[columns[i]] = cell.number != 0;
        } else if (cell.kind == Cell::Kind::kNumber) {
            // Whole numbers (stations, indices, INT values, quality) as JSON integers.
            const bool whole = std::isfinite(cell.number) &&
                               cell.number == std::trunc(cell.number) &&
                               std::fabs(cell.number) < 9.0e15;
            if (whole) {
                object[columns[i]] = static_cast<std::int64_t>(cell.number);
            } else {
                // The writer prints the shortest text of a double, which for a FLOAT widened to
                // double shows the widening (98.50099945068359). Take the double nearest the
                // float's own shortest text so JSON shows the digits CSV and text show.
                const std::string text = NumberText(cell.number);
                double shortest = cell.number;
                std::from_chars(text.data(), text.data() + text.size(), shortest);
                object[columns[i]] = shortest;
            }
        } else {
            object[columns[i]] = nullptr;
        }
    }
    return object;
}

// Arguments and driver messages may hold any bytes; invalid UTF-8 becomes U+FFFD rather than an
// exception from the writer.
std::string Dump(const nlohmann::ordered_json& value, int indent) {
    return value.dump(indent, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace

std::string CellText(const Cell& cell) {
    switch (cell.kind) {
        case Cell::Kind::kText:
        case Cell::Kind::kBool:
            return cell.text;
        case Cell::Kind::kNumber:
            return NumberText(cell.number);
        case Cell::Kind::kNull:
            break;
    }
    return {};
}

RecordWriter::RecordWriter(Format format, std::vector<std::string> columns, std::FILE* out)
    : format_(format), columns_(std::move(columns)), out_(out) {
    if (format_ == Format::kCsv) {
        std::string header;
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            if (i) header += ',';
            header += CsvField(columns_[i]);
        }
        std::fprintf(out_, "%s\n", header.c_str());
    }
}

RecordWriter::~RecordWriter() {
    Finish();
}

void RecordWriter::Row(const std::vector<Cell>& cells) {
    switch (format_) {
        case Format::kCsv: {
            std::string line;
            for (std::size_t i = 0; i < cells.size(); ++i) {
                if (i) line += ',';
                line += CsvField(CellText(cells[i]));
            }
            std::fprintf(out_, "%s\n", line.c_str());
            break;
        }
        case Format::kJsonl:
            std::fprintf(out_, "%s\n", Dump(RowObject(columns_, cells), -1).c_str());
            break;
        case Format::kText:
        case Format::kJson:
            buffered_.push_back(cells);
            return;
    }
    std::fflush(out_);
}

void RecordWriter::Finish() {
    if (finished_) return;
    finished_ = true;
    if (format_ == Format::kJson) {
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        for (const auto& row : buffered_) array.push_back(RowObject(columns_, row));
        std::fprintf(out_, "%s\n", Dump(array, 2).c_str());
    } else if (format_ == Format::kText) {
        std::vector<std::vector<std::string>> rows;
        for (const auto& row : buffered_) {
            std::vector<std::string> texts;
            for (const Cell& cell : row) texts.push_back(CellText(cell));
            rows.push_back(std::move(texts));
        }
        for (const std::string& line : LayOutTable(columns_, rows))
            std::fprintf(out_, "%s\n", line.c_str());
    }
    std::fflush(out_);
}

std::string NumberText(double value) {
    char buffer[64];
    // Float values print as the float they are: 25.5, not 25.5000000001.
    const auto asFloat = static_cast<float>(value);
    const bool isFloat = static_cast<double>(asFloat) == value;
    const auto result = isFloat ? std::to_chars(buffer, buffer + sizeof buffer, asFloat)
                                : std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

namespace {

constexpr std::uint64_t kEpochDistance = 116444736000000000ULL;  // 1601 -> 1970 in 100 ns

// ISO 8601 with milliseconds of `unix100ns` (100 ns since 1970) moved by `offsetMinutes`, ending
// in Z for UTC and in the offset otherwise.
std::string IsoText(std::uint64_t unix100ns, int offsetMinutes, bool utc) {
    unix100ns += static_cast<std::uint64_t>(static_cast<std::int64_t>(offsetMinutes) * 600000000);
    const std::uint64_t seconds = unix100ns / 10000000ULL;
    const auto millis = static_cast<unsigned>((unix100ns / 10000ULL) % 1000ULL);
    // Civil date from days since 1970-01-01 (proleptic Gregorian), without the C library's
    // time-zone dependent calls.
    const auto days = static_cast<std::int64_t>(seconds / 86400);
    const std::int64_t z = days + 719468;
    const std::int64_t era = z / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const auto day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const auto month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const auto year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
    const auto secondOfDay = static_cast<int>(seconds % 86400);
    char zone[8] = "Z";
    if (!utc) {
        const int distance = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
        std::snprintf(zone, sizeof zone, "%c%02d:%02d", offsetMinutes < 0 ? '-' : '+',
                      distance / 60 % 100, distance % 60);
    }
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03u%s", year, month, day,
                  secondOfDay / 3600, secondOfDay / 60 % 60, secondOfDay % 60, millis, zone);
    return text;
}

}  // namespace

std::string FileTimeIso(std::uint64_t fileTime) {
    if (fileTime < kEpochDistance) return {};
    return IsoText(fileTime - kEpochDistance, 0, true);
}

Cell TimeCell(std::uint64_t fileTime, TimeStyle style) {
    if (fileTime < kEpochDistance) return Cell::Null();
    const std::uint64_t unix100ns = fileTime - kEpochDistance;
    switch (style) {
        case TimeStyle::kEpoch:
            // Whole milliseconds, so that the number prints with three decimals at most.
            return Cell::Number(static_cast<double>(unix100ns / 10000) / 1000.0);
        case TimeStyle::kLocal: {
            const auto seconds = static_cast<long long>(unix100ns / 10000000ULL);
            return Cell::Text(IsoText(unix100ns, host::LocalUtcOffsetMinutes(seconds), false));
        }
        case TimeStyle::kUtc:
            break;
    }
    return Cell::Text(IsoText(unix100ns, 0, true));
}

std::uint64_t FileTimeOf(std::chrono::system_clock::time_point time) {
    const auto since1970 = time.time_since_epoch();
    const auto ticks =
        std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100;
    return static_cast<std::uint64_t>(ticks) + kEpochDistance;
}

std::uint64_t NowFileTime() {
    return FileTimeOf(std::chrono::system_clock::now());
}

std::string NowIso() {
    return FileTimeIso(NowFileTime());
}

}  // namespace ctl
