// GET /api/v1/history: its parameters, and its answers from a database written by the service's
// own writer; the times and register names that it and qm4720ctl history both take. Expected
// times were worked out with Python's datetime, not with our parser.
#include <gtest/gtest.h>

#include <limits>
#include <nlohmann/json.hpp>

#include "host/oskit/child_process.h"
#include "contract/meter_values.h"
#include "service/history/history_writer.h"
#include "service/http/history_query.h"
#include "service/tests/service_fixture.h"

namespace {

using service::HistoryQuery;
using Params = std::multimap<std::string, std::string>;

constexpr std::int64_t kNow = 1796745600000;  // 2026-12-08T16:00:00Z
constexpr std::int64_t kNoBound = std::numeric_limits<std::int64_t>::max();
// A retention that keeps rows of kNow whenever the test runs: the writer prunes against the clock.
constexpr std::chrono::hours kYears{24 * 3650};

TEST(HistoryQueryParameters, AcceptedForms) {
    struct Case {
        Params params;
        std::int64_t since, until;
        std::string line, mnemonic;
        int station;  // -1: any
        bool csv;
        std::size_t limit;
    };
    const Case cases[] = {
        {{}, kNow - 3600000, kNoBound, "", "", -1, false, 10000},
        {{{"since", "-15m"}}, kNow - 900000, kNoBound, "", "", -1, false, 10000},
        {{{"since", "-2d"}, {"until", "now"}},
         kNow - 2 * 86400000LL,
         kNow,
         "",
         "",
         -1,
         false,
         10000},
        {{{"since", "-90s"}, {"until", "-30s"}},
         kNow - 90000,
         kNow - 30000,
         "",
         "",
         -1,
         false,
         10000},
        {{{"since", "2026-12-08T12:00:00.5Z"}}, 1796731200500, kNoBound, "", "", -1, false, 10000},
        {{{"since", "2026-12-07"}, {"until", "1796731200500"}},
         1796601600000,
         1796731200500,
         "",
         "",
         -1,
         false,
         10000},
        {{{"line", "a"}, {"station", "12"}, {"register", "PV"}, {"format", "csv"}, {"limit", "5"}},
         kNow - 3600000,
         kNoBound,
         "a",
         "PV",
         12,
         true,
         5},
        {{{"format", "json"}, {"limit", "100000"}, {"station", "0"}},
         kNow - 3600000,
         kNoBound,
         "",
         "",
         0,
         false,
         100000},
    };
    for (const Case& c : cases) {
        const std::string name = ::testing::PrintToString(c.params);
        HistoryQuery q;
        std::string error;
        ASSERT_TRUE(service::ParseHistoryQuery(c.params, kNow, q, error)) << name << ": " << error;
        EXPECT_EQ(q.filter.sinceMs, c.since) << name;
        EXPECT_EQ(q.filter.untilMs, c.until) << name;
        EXPECT_EQ(q.filter.line, c.line) << name;
        EXPECT_EQ(q.filter.mnemonic, c.mnemonic) << name;
        EXPECT_EQ(q.filter.stations,
                  c.station < 0 ? std::vector<int>{} : std::vector<int>{c.station})
            << name;
        EXPECT_EQ(q.csv, c.csv) << name;
        EXPECT_EQ(q.limit, c.limit) << name;
    }
}

TEST(HistoryQueryParameters, RefusedWithTheParameterNamed) {
    const std::pair<Params, std::string> cases[] = {
        {{{"station", "100"}}, "station=100: expected a station number 0 .. 99"},
        {{{"station", "1,3"}}, "station=1,3"},
        {{{"format", "xml"}}, "format=xml: expected json or csv"},
        {{{"limit", "0"}}, "limit=0: expected a number of rows 1 .. 100000"},
        {{{"limit", "100001"}}, "limit=100001"},
        {{{"since", "yesterday"}}, "since=yesterday: expected a UTC time"},
        {{{"since", "-1w"}}, "since=-1w"},
        {{{"since", "-h"}}, "since=-h"},
        {{{"until", "2026-13-01T00:00:00Z"}}, "until=2026-13-01T00:00:00Z"},
        {{{"since", "2026-12-08T12:00:00."}}, "since=2026-12-08T12:00:00."},
        {{{"stations", "1"}}, "unknown parameter 'stations'"},
        {{{"station", "1"}, {"station", "2"}}, "parameter 'station' given more than once"},
        {{{"since", "-1h"}, {"until", "-2h"}}, "since must be before until"},
        {{{"since", "now"}, {"until", "now"}}, "since must be before until"},
        {{{"points", "0"}}, "points=0: expected a number of points 1 .. 10000"},
        {{{"points", "10001"}}, "points=10001"},
        {{{"points", "10"}, {"line", "a"}, {"station", "1"}},
         "points: name one register with line, station and register"},
        {{{"points", "10"}, {"line", "a"}, {"station", "1"}, {"register", "PV"}, {"limit", "5"}},
         "points: answered as JSON points"},
    };
    for (const auto& [params, expected] : cases) {
        HistoryQuery q;
        std::string error;
        EXPECT_FALSE(service::ParseHistoryQuery(params, kNow, q, error))
            << ::testing::PrintToString(params);
        EXPECT_NE(error.find(expected), std::string::npos)
            << ::testing::PrintToString(params) << ": " << error;
    }
}

// Each text in both front ends: the HTTP parameter and qm4720ctl history's option. A refused one
// is a 400 naming the parameter and a usage error (exit 2); a taken one is read as `ms`.
TEST(HistoryQueryParameters, TimesAndRegistersMeanTheSameToTheServiceAndToCtl) {
    constexpr std::int64_t kRefused = std::numeric_limits<std::int64_t>::min();
    const struct {
        const char* parameter;  // since, until or register
        const char* text;
        std::int64_t ms;  // kRefused, or what a time is read as (registers: 0)
    } cases[] = {
        {"since", "2026-12-08T12:00:00Z", 1796731200000},
        {"since", "2024-02-29", 1709164800000},
        {"since", "2000-02-29 23:59:59", 951868799000},
        {"until", "now", kNow},
        {"since", "-1m", kNow - 60000},
        {"since", "1796731200500", 1796731200500},
        {"since", "2026-02-31", kRefused},  // not a day: never moved into March
        {"since", "2026-02-29", kRefused},
        {"until", "2100-02-29T00:00:00Z", kRefused},
        {"since", "2026-04-31T00:00:00Z", kRefused},
        {"since", "2026-12-08T12:00:60Z", kRefused},
        {"since", "2026-12-08T24:00:00Z", kRefused},
        {"since", " 2026-12-08", kRefused},
        {"since", "2026-1-08", kRefused},
        {"since", "1969-12-31T23:59:59.999Z", kRefused},
        {"since", "-1", kRefused},  // neither ms (none before 1970) nor an age (no unit)
        {"since", "--5m", kRefused},
        {"since", "-+5m", kRefused},
        {"since", "- 5m", kRefused},
        {"since", "99999999999999999999", kRefused},
        {"register", "PV", 0},
        {"register", "XX", kRefused},
        {"register", "pv", kRefused},  // the tables' spelling is the history's
        {"register", "", kRefused},
    };
    servicetest::ScratchDir dir;
    const std::string db = dir / "history.db";
    std::string error;
    ASSERT_NE(service::HistoryWriter::Open(db, std::chrono::hours(1), error), nullptr) << error;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.parameter) + "=" + c.text);
        const bool refused = c.ms == kRefused;
        HistoryQuery q;
        EXPECT_EQ(service::ParseHistoryQuery({{c.parameter, c.text}}, kNow, q, error), !refused)
            << error;
        if (refused) {
            EXPECT_EQ(error.rfind(std::string(c.parameter) + "=" + c.text + ": ", 0), 0u) << error;
        } else if (std::string(c.parameter) == "since") {
            EXPECT_EQ(q.filter.sinceMs, c.ms);
        } else if (std::string(c.parameter) == "until") {
            EXPECT_EQ(q.filter.untilMs, c.ms);
        }

        const std::string option = std::string("--") + c.parameter + "=" + c.text;
        const std::string out = dir / "out.txt";
        auto ctl = host::StartChild({QM_CTL_PATH, "history", "--db", db, option}, error, {out});
        ASSERT_NE(ctl, nullptr) << error;
        EXPECT_EQ(ctl->Wait(10000), refused ? 2 : 0) << servicetest::ReadFile(out);
    }
}

class HistoryAnswers : public ::testing::Test {
protected:
    void SetUp() override {
        config_.database = dir_ / "history.db";
        std::string error;
        auto writer = service::HistoryWriter::Open(config_.database, kYears, error);
        ASSERT_NE(writer, nullptr) << error;
        // Two rows of station 1 share t0 + 1000, so that a page may end inside one millisecond.
        writer->Add({t0_, "a", 1, "PV", 21.5, 192, -1});
        writer->Add({t0_ + 1000, "a", 1, "PV", 21.75, 192, -1});
        writer->Add({t0_ + 1000, "a", 1, "OP", 22, 192, -1});
        writer->Add({t0_ + 2000, "a", 1, "PV", std::nullopt, 0, 3});
        writer->Add({t0_ + 2000, "a", 2, "PV", 5, 192, -1});
        writer->Add({t0_ + 2000, "b, \"east\"", 1, "PV", 7, 192, -1});
        writer->Flush();
    }

    nlohmann::json Json(const Params& params) {
        const auto answer = service::AnswerHistory(config_, params, t0_ + 10000);
        EXPECT_EQ(answer.status, 200) << answer.body;
        EXPECT_EQ(answer.contentType, "application/json");
        return nlohmann::json::parse(answer.body);
    }

    servicetest::ScratchDir dir_;
    service::HistoryConfig config_;
    const std::int64_t t0_ = kNow - 60000;
};

TEST_F(HistoryAnswers, RowsOfOneRegisterOldestFirstWithFailedReadsAsNull) {
    const auto body = Json({{"line", "a"}, {"station", "1"}, {"register", "PV"}});
    EXPECT_EQ(body["truncated"], false);
    ASSERT_EQ(body["rows"].size(), 3u);
    EXPECT_EQ(body["rows"][0]["time"], "2026-12-08T15:59:00.000Z");
    EXPECT_EQ(body["rows"][0]["time_ms"], t0_);
    EXPECT_EQ(body["rows"][0]["value"], 21.5);
    EXPECT_EQ(body["rows"][1]["quality"], 192);
    EXPECT_EQ(body["rows"][1]["error_code"], -1);
    EXPECT_EQ(body["rows"][2]["value"], nullptr);
    EXPECT_EQ(body["rows"][2]["quality"], 0);
    EXPECT_EQ(body["rows"][2]["error_code"], 3);
    EXPECT_EQ(body["until"], nullptr);
}

TEST_F(HistoryAnswers, ALimitAnswersTheNewestRowsAndPagesBackWithoutGapOrRepeat) {
    std::vector<double> seen;
    Params params = {{"line", "a"}, {"station", "1"}, {"limit", "2"}};
    for (int page = 0; page < 5; ++page) {
        const auto body = Json(params);
        std::vector<double> values;
        for (const auto& r : body["rows"])
            values.push_back(r["value"].is_null() ? -1 : double(r["value"]));
        seen.insert(seen.begin(), values.begin(), values.end());
        if (!body["truncated"]) break;
        params.erase("until");
        params.emplace("until", std::to_string(std::int64_t(body["next_until_ms"])));
    }
    EXPECT_EQ(seen, (std::vector<double>{21.5, 21.75, 22, -1}));
}

TEST_F(HistoryAnswers, CsvQuotesFieldsLeavesFailedValuesEmptyAndSaysTruncatedInHeaders) {
    auto answer = service::AnswerHistory(
        config_, {{"format", "csv"}, {"since", "-30s"}, {"until", "now"}}, t0_ + 1);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.contentType, "text/csv; charset=utf-8");
    EXPECT_EQ(answer.body,
              "time,time_ms,line,station,register,value,quality,error_code\n"
              "2026-12-08T15:59:00.000Z,1796745540000,a,1,PV,21.5,192,-1\n");
    answer = service::AnswerHistory(config_, {{"format", "csv"}, {"since", "-1m"}, {"limit", "3"}},
                                    t0_ + 2001);
    EXPECT_EQ(answer.body,
              "time,time_ms,line,station,register,value,quality,error_code\n"
              "2026-12-08T15:59:02.000Z,1796745542000,a,1,PV,,0,3\n"
              "2026-12-08T15:59:02.000Z,1796745542000,a,2,PV,5,192,-1\n"
              "2026-12-08T15:59:02.000Z,1796745542000,\"b, \"\"east\"\"\",1,PV,7,192,-1\n");
    using Header = std::pair<std::string, std::string>;
    EXPECT_EQ(answer.headers, (std::vector<Header>{{"X-History-Truncated", "true"},
                                                   {"X-History-Next-Until-Ms", "1796745541001"}}));
}

TEST_F(HistoryAnswers, AMetersFloatIsSaidAsTheMeterSentItInFilesOldAndNew) {
    std::string error;
    auto writer = service::HistoryWriter::Open(config_.database, kYears, error);
    ASSERT_NE(writer, nullptr) << error;
    // As files written before hold it (the float widened), and as a reading is stored now.
    writer->Add({t0_ + 3000, "c", 1, "PV", static_cast<double>(99.95F), 192, -1});
    writer->Add({t0_ + 4000, "c", 1, "PV", contract::MeterDecimal(48.815F), 192, -1});
    writer->Flush();
    for (const char* format : {"json", "csv"}) {
        SCOPED_TRACE(format);
        const auto answer =
            service::AnswerHistory(config_, {{"line", "c"}, {"format", format}}, t0_ + 10000);
        EXPECT_NE(answer.body.find("99.95"), std::string::npos) << answer.body;
        EXPECT_NE(answer.body.find("48.815"), std::string::npos) << answer.body;
        EXPECT_EQ(answer.body.find("99.949"), std::string::npos) << answer.body;
        EXPECT_EQ(answer.body.find("48.814"), std::string::npos) << answer.body;
    }
}

TEST_F(HistoryAnswers, NoHistoryBadParametersAndAMissingFileAreSaidPlainly) {
    const struct {
        std::string database;
        Params params;
        int status;
        std::string body;
    } cases[] = {
        {"", {}, 404, "no history is kept: the configuration has no [history] database\n"},
        {config_.database, {{"format", "xml"}}, 400, "format=xml: expected json or csv\n"},
        {dir_ / "none.db",
         {},
         500,
         "history: " + dir_ / "none.db" + ": unable to open database file\n"},
    };
    for (const auto& c : cases) {
        service::HistoryConfig config;
        config.database = c.database;
        const auto answer = service::AnswerHistory(config, c.params, kNow);
        EXPECT_EQ(answer.status, c.status) << c.database;
        EXPECT_EQ(answer.body, c.body) << c.database;
    }
}

// Two hours of one reading a second with one spike and failed readings, asked for as few points:
// never more than asked, the spike still the maximum of its bucket, every reading counted once.
TEST(HistoryPoints, NeverMoreThanAskedAndASpikeStaysVisible) {
    servicetest::ScratchDir dir;
    service::HistoryConfig config;
    config.database = dir / "history.db";
    constexpr std::int64_t kStart = kNow - 2 * 3600'000;
    constexpr int kReadings = 7200;
    constexpr int kSpikeAt = 4321;
    {
        std::string error;
        auto writer = service::HistoryWriter::Open(config.database, kYears, error);
        ASSERT_NE(writer, nullptr) << error;
        for (int i = 0; i < kReadings; ++i) {
            std::optional<double> value = 20.0 + (i % 7) * 0.25;
            if (i == kSpikeAt) value = 500.0;
            if (i % 1000 == 999) value.reset();
            writer->Add({kStart + i * 1000LL, "a", 1, "PV", value,
                         static_cast<std::int16_t>(value ? 192 : 0), value ? -1 : 4});
        }
    }
    const struct {
        const char* points;
        const char* resolution;
    } cases[] = {{"1", "hour"},     {"7", "minute"}, {"50", "minute"},
                 {"119", "minute"}, {"2", "hour"},   {"10000", "raw"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("points=") + c.points);
        const auto answer = service::AnswerHistory(config,
                                                   {{"line", "a"},
                                                    {"station", "1"},
                                                    {"register", "PV"},
                                                    {"since", std::to_string(kStart)},
                                                    {"until", std::to_string(kNow)},
                                                    {"points", c.points}},
                                                   kNow);
        ASSERT_EQ(answer.status, 200) << answer.body;
        const auto body = nlohmann::json::parse(answer.body);
        EXPECT_EQ(body["resolution"], c.resolution);
        EXPECT_EQ(body["until_ms"], kNow);
        const auto& points = body["points"];
        EXPECT_LE(points.size(), std::stoul(c.points));
        EXPECT_GT(points.size(), 0u);
        double highest = 0;
        std::uint64_t good = 0, failed = 0;
        std::int64_t previous = -1;
        for (const auto& p : points) {
            EXPECT_GT(std::int64_t(p["time_ms"]), previous);
            previous = p["time_ms"];
            if (!p["max"].is_null()) highest = std::max(highest, double(p["max"]));
            good += std::uint64_t(p["count"]);
            failed += std::uint64_t(p["failed"]);
        }
        EXPECT_EQ(highest, 500.0);
        EXPECT_EQ(good + failed, std::uint64_t(kReadings));
        EXPECT_EQ(failed, 7u);
        if (std::string(c.resolution) != "raw") {
            EXPECT_EQ(std::int64_t(body["bucket_ms"]) % 60000, 0);
            EXPECT_EQ(std::int64_t(points[0]["time_ms"]) % std::int64_t(body["bucket_ms"]), 0);
        } else {
            EXPECT_EQ(body["bucket_ms"], 0);
        }
    }

    // Minutes kept for less than the span reaches back: hours answer it whole.
    std::string error;
    auto writer = service::HistoryWriter::Open(config.database, kYears, error);
    ASSERT_NE(writer, nullptr) << error;
    service::HistorySettings settings;
    settings.minuteRetention = std::chrono::milliseconds(service::UtcNowMs() - (kNow - 3600'000));
    writer->SetSettings(settings);
    writer->Flush();
    const auto answer = service::AnswerHistory(config,
                                               {{"line", "a"},
                                                {"station", "1"},
                                                {"register", "PV"},
                                                {"since", std::to_string(kStart)},
                                                {"until", std::to_string(kNow)},
                                                {"points", "50"}},
                                               kNow);
    const auto body = nlohmann::json::parse(answer.body);
    EXPECT_EQ(body["resolution"], "hour") << answer.body;
    ASSERT_EQ(body["points"].size(), 2u) << answer.body;
    EXPECT_EQ(body["points"][0]["count"], 3600 - 3);
    EXPECT_EQ(body["points"][1]["max"], 500.0);
}

}  // namespace
