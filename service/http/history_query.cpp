#include "service/http/history_query.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <set>

#include <nlohmann/json.hpp>

#include "service/core/history_params.h"
#include "service/core/history_points.h"
#include "service/core/cell_json.h"

namespace service {
namespace {

using Json = nlohmann::ordered_json;

template <typename Number>
bool ParseWhole(const std::string& text, Number& n) {
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, n);
    return !text.empty() && r.ec == std::errc() && r.ptr == end;
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c;
        if (c == '"') quoted += '"';
    }
    return quoted + "\"";
}

// Shortest text that reads back as the same double.
std::string NumberText(double value) {
    char text[32];
    const auto r = std::to_chars(text, text + sizeof text, value);
    return std::string(text, r.ptr);
}

}  // namespace

bool ParseHistoryQuery(const std::multimap<std::string, std::string>& params, std::int64_t nowMs,
                       HistoryQuery& query, std::string& error) {
    static const std::set<std::string> kKnown = {"line",  "station", "register", "since",
                                                 "until", "format",  "limit",    "points"};
    query = HistoryQuery{};
    query.filter.sinceMs = nowMs - 3'600'000;
    for (auto it = params.begin(); it != params.end(); it = params.upper_bound(it->first)) {
        const std::string& name = it->first;
        const std::string& value = it->second;
        if (kKnown.count(name) == 0) {
            error = "unknown parameter '" + name +
                    "': expected line, station, register, since, until, format, limit, points";
            return false;
        }
        if (params.count(name) > 1) {
            error = "parameter '" + name + "' given more than once";
            return false;
        }
        if (name == "line") {
            query.filter.line = value;
        } else if (name == "register") {
            if (!ParseHistoryRegister(value, query.filter.mnemonic, error)) {
                error = "register=" + value + ": " + error;
                return false;
            }
        } else if (name == "station") {
            int station = -1;
            if (!ParseWhole(value, station) || station < 0 || station > 99) {
                error = "station=" + value + ": expected a station number 0 .. 99";
                return false;
            }
            query.filter.stations = {station};
        } else if (name == "since" || name == "until") {
            std::int64_t& ms = name == "since" ? query.filter.sinceMs : query.filter.untilMs;
            if (!ParseHistoryTime(value, nowMs, ms, error)) {
                error = name + "=" + value + ": " + error;
                return false;
            }
            if (name == "until") query.untilGiven = true;
        } else if (name == "format") {
            if (value != "json" && value != "csv") {
                error = "format=" + value + ": expected json or csv";
                return false;
            }
            query.csv = value == "csv";
        } else if (name == "points") {
            if (!ParseWhole(value, query.points) || query.points < 1 ||
                query.points > kHistoryMaxPoints) {
                error = "points=" + value + ": expected a number of points 1 .. " +
                        std::to_string(kHistoryMaxPoints);
                return false;
            }
        } else if (name == "limit") {
            if (!ParseWhole(value, query.limit) || query.limit < 1 ||
                query.limit > kHistoryMaxLimit) {
                error = "limit=" + value + ": expected a number of rows 1 .. " +
                        std::to_string(kHistoryMaxLimit);
                return false;
            }
        }
    }
    if (query.points != 0) {
        if (query.filter.line.empty() || query.filter.stations.empty() ||
            query.filter.mnemonic.empty()) {
            error = "points: name one register with line, station and register";
            return false;
        }
        if (query.csv || params.count("limit") != 0) {
            error = "points: answered as JSON points, without format=csv or limit";
            return false;
        }
        if (!query.untilGiven) query.filter.untilMs = nowMs;
    }
    if (query.filter.sinceMs >= query.filter.untilMs) {
        error = "since must be before until";
        return false;
    }
    return true;
}

namespace {

Json NumberOrNull(const std::optional<double>& value) {
    return value ? Json(*value) : Json(nullptr);
}

HttpAnswer AnswerPoints(HistoryReader& reader, const HistoryQuery& query) {
    HttpAnswer answer;
    HistoryPoints points;
    std::string error;
    if (!ReadHistoryPoints(reader, query.filter, query.points, points, error)) {
        answer.status = 500;
        answer.contentType = "text/plain; charset=utf-8";
        answer.body = "history: " + error + "\n";
        return answer;
    }
    Json root;
    root["since"] = IsoUtc(query.filter.sinceMs);
    root["since_ms"] = query.filter.sinceMs;
    root["until"] = IsoUtc(query.filter.untilMs);
    root["until_ms"] = query.filter.untilMs;
    root["resolution"] = PointsResolutionName(points.resolution);
    root["bucket_ms"] = points.bucketMs;
    Json list = Json::array();
    for (const HistoryPoint& p : points.points) {
        Json point;
        point["time_ms"] = p.utcMs;
        point["min"] = NumberOrNull(p.min);
        point["max"] = NumberOrNull(p.max);
        point["mean"] = NumberOrNull(p.mean);
        point["count"] = p.count;
        point["failed"] = p.failed;
        list.push_back(std::move(point));
    }
    root["points"] = std::move(list);
    answer.contentType = "application/json";
    answer.body = root.dump(-1, ' ', false, Json::error_handler_t::replace);
    return answer;
}

}  // namespace

HttpAnswer AnswerHistory(const HistoryConfig& history,
                         const std::multimap<std::string, std::string>& params,
                         std::int64_t nowMs) {
    HttpAnswer answer;
    answer.contentType = "text/plain; charset=utf-8";
    HistoryQuery query;
    std::string error;
    if (!ParseHistoryQuery(params, nowMs, query, error)) {
        answer.status = 400;
        answer.body = error + "\n";
        return answer;
    }
    if (history.database.empty()) {
        answer.status = 404;
        answer.body = "no history is kept: the configuration has no [history] database\n";
        return answer;
    }
    auto reader = HistoryReader::Open(history.database, error);
    if (reader != nullptr && query.points != 0) return AnswerPoints(*reader, query);
    // One more row than the limit says whether the limit was hit.
    std::vector<HistoryRow> rows;
    if (reader == nullptr || !reader->Read(
                                 query.filter, [&](const HistoryRow& r) { rows.push_back(r); },
                                 error, query.limit + 1)) {
        answer.status = 500;
        answer.body = "history: " + error + "\n";
        return answer;
    }
    const bool truncated = rows.size() > query.limit;
    std::int64_t nextUntil = 0;
    if (truncated) {
        // Cut at a whole millisecond, so that until=next_until_ms reads on with no row missed or
        // twice; unless every row read shares that millisecond (more rows in one ms than the
        // limit): then the rest of it is skipped rather than asked for again and again.
        const std::int64_t cut = rows.back().utcMs;
        const auto first = std::find_if(rows.begin(), rows.end(),
                                        [&](const HistoryRow& r) { return r.utcMs == cut; });
        if (first != rows.begin()) {
            rows.erase(first, rows.end());
            nextUntil = cut + 1;
        } else {
            rows.pop_back();
            nextUntil = cut;
        }
    }
    std::reverse(rows.begin(), rows.end());

    if (query.csv) {
        answer.contentType = "text/csv; charset=utf-8";
        answer.body = "time,time_ms,line,station,register,value,quality,error_code\n";
        for (const HistoryRow& r : rows) {
            answer.body += IsoUtc(r.utcMs) + "," + std::to_string(r.utcMs) + "," +
                           CsvField(r.line) + "," + std::to_string(r.station) + "," +
                           CsvField(r.mnemonic) + "," + (r.value ? NumberText(*r.value) : "") +
                           "," + std::to_string(r.quality) + "," + std::to_string(r.errorCode) +
                           "\n";
        }
        if (truncated) {
            answer.headers.emplace_back("X-History-Truncated", "true");
            answer.headers.emplace_back("X-History-Next-Until-Ms", std::to_string(nextUntil));
        }
        return answer;
    }
    Json root;
    root["since"] = IsoUtc(query.filter.sinceMs);
    root["since_ms"] = query.filter.sinceMs;
    root["until"] = query.untilGiven ? Json(IsoUtc(query.filter.untilMs)) : Json(nullptr);
    root["until_ms"] = query.untilGiven ? Json(query.filter.untilMs) : Json(nullptr);
    root["truncated"] = truncated;
    if (truncated) root["next_until_ms"] = nextUntil;
    Json list = Json::array();
    for (const HistoryRow& r : rows) {
        Json row;
        row["time"] = IsoUtc(r.utcMs);
        row["time_ms"] = r.utcMs;
        row["line"] = r.line;
        row["station"] = r.station;
        row["register"] = r.mnemonic;
        row["value"] = r.value ? Json(*r.value) : Json(nullptr);
        row["quality"] = r.quality;
        row["error_code"] = r.errorCode;
        list.push_back(std::move(row));
    }
    root["rows"] = std::move(list);
    answer.contentType = "application/json";
    answer.body = root.dump(-1, ' ', false, Json::error_handler_t::replace);
    return answer;
}

}  // namespace service
