// The live table as the web page and /api/v1/values see it: a value is served only while it is
// good, and a meter's state follows its registers and its line.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "contract/messages.h"
#include "service/core/cell_json.h"
#include "service/http/live_json.h"

namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

service::ServiceConfig OneMeter() {
    service::MeterConfig meter;
    meter.station = 7;
    meter.polled = {{{"PV", 4, qm4720::DataType::kFloat, true}, 1000ms, 3000ms},
                    {{"SP", 13, qm4720::DataType::kFloat, false}, 1000ms, 3000ms}};
    service::RegisterOptions setPoint;
    setPoint.reg = {"SP", 13, qm4720::DataType::kFloat, false};
    setPoint.label = "Oven 3 set point";
    setPoint.unit = "°C";
    meter.options = {setPoint};
    service::MeterConfig writeOnly;  // a meter that is only written to
    writeOnly.station = 8;
    service::LineConfig line;
    line.name = "hall";
    line.port = "/dev/ttyUSB0";
    line.meters = {meter, writeOnly};
    service::ServiceConfig config;
    config.lines = {line};
    return config;
}

qm4720::Reading Good(double value) {
    qm4720::Reading r;
    r.value = value;
    r.quality = 192;
    r.latency = std::chrono::milliseconds(30);
    return r;
}

qm4720::Reading TimedOut() {
    qm4720::Reading r;
    r.error = {qm4720::ErrorCode::kTimeout, "read: meter did not answer", "",
               "meter did not answer"};
    return r;
}

struct Case {
    const char* name;
    bool pvGood;                      // PV read well (else it timed out)
    bool spAnswered;                  // SP has a result at all (good)
    std::chrono::milliseconds since;  // how long ago the results came
    bool lineLost;
    bool silent;  // taken for silent after its last results
    const char* meterState;
    const char* pvState;
    const char* pvQuality;  // in words
};

const Case kCases[] = {
    {"every register good", true, true, 100ms, false, false, "answering", "good", "good"},
    {"one register not read yet", true, false, 100ms, false, false, "stale", "good", "good"},
    {"values older than their allowed age", true, true, 5000ms, false, false, "stale", "stale",
     "stale"},
    {"the meter does not answer", false, false, 100ms, false, false, "failed", "failed",
     "bad: timeout"},
    {"the meter is silent", true, true, 100ms, false, true, "silent", "failed", "bad: no answer"},
    {"the line is lost", true, true, 100ms, true, false, "line lost", "failed", "bad: line lost"},
    {"the line is lost, the meter silent", true, true, 100ms, true, true, "line lost", "failed",
     "bad: line lost"},
};

TEST(LiveJson, ValuesAreServedOnlyWhileGoodAndMetersTakeTheirState) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const service::ServiceConfig config = OneMeter();
        service::LiveTable live(config);
        service::LineTable& line = *live.Lines()[0];
        const auto now = std::chrono::steady_clock::now();
        const std::int64_t utc = 1'765'000'000'000;
        line.SetState(service::LineState::kUp);
        line.StoreRead(line.Slot(7, 4), c.pvGood ? Good(21.5) : TimedOut(), utc, now - c.since);
        if (c.spAnswered) line.StoreRead(line.Slot(7, 13), Good(40), utc, now - c.since);
        if (c.silent) line.SetMeterSilent(7, true, TimedOut(), utc + 1);
        if (c.lineLost) {
            line.FailAll("line lost: nothing answers", contract::kErrorOpen, utc + 1);
            line.SetState(service::LineState::kLost, "line lost: nothing answers");
        }

        const Json j = Json::parse(service::LiveJson(config, live, now, utc + 2));
        const Json& meter = j["lines"][0]["meters"][0];
        EXPECT_EQ(j["lines"][0]["state"], c.lineLost ? "lost" : "up");
        EXPECT_EQ(j["lines"][0].value("reason", ""),
                  c.lineLost ? "line lost: nothing answers" : "");
        EXPECT_EQ(meter["state"], c.meterState);
        const Json& pv = meter["registers"][0];
        EXPECT_EQ(pv["register"], "PV");
        EXPECT_EQ(pv["state"], c.pvState);
        EXPECT_EQ(pv.value("quality_text", ""), std::string(c.pvQuality));
        if (!c.spAnswered && !c.lineLost && !c.silent) {
            EXPECT_EQ(meter["registers"][1]["quality_text"], "bad: no reading yet");
        }
        // A stale or failed value is never served as a number.
        if (std::string(c.pvState) == "good") {
            EXPECT_EQ(pv["value"], 21.5);
            EXPECT_EQ(pv["quality"], 192);
        } else {
            EXPECT_TRUE(pv["value"].is_null());
        }
        if (c.silent && !c.lineLost) {
            // Every register of a silent meter fails with the error that made it silent.
            EXPECT_EQ(pv["error"], "meter did not answer");
            EXPECT_EQ(meter["registers"][1]["error"], "meter did not answer");
        } else if (c.pvGood) {
            EXPECT_GE(pv["age_ms"].get<std::int64_t>(), c.since.count());
        } else {
            EXPECT_TRUE(pv["age_ms"].is_null());
            EXPECT_EQ(pv["error"], "meter did not answer");
            EXPECT_NE(pv["gloss"].get<std::string>().find("timeout"), std::string::npos);
        }
        if (c.lineLost) {
            EXPECT_NE(pv["gloss"].get<std::string>().find("serial port"), std::string::npos);
        }
        EXPECT_EQ(meter["registers"][1]["time"].is_null(), !c.spAnswered && !c.lineLost);
        EXPECT_EQ(j["lines"][0]["meters"][1]["state"], c.lineLost ? "line lost" : "not polled");
    }
}

// A label and unit where the file gives them, none where it does not, and the model's table's
// account of every register either way (the page shows it where no label is configured).
TEST(LiveJson, RegistersCarryTheirLabelUnitAndTableDescription) {
    service::ServiceConfig config = OneMeter();
    config.lines[0].meters[0].model = "QM4720N";
    service::LiveTable live(config);
    const Json j =
        Json::parse(service::LiveJson(config, live, std::chrono::steady_clock::now(), 0));
    const Json& pv = j["lines"][0]["meters"][0]["registers"][0];
    const Json& sp = j["lines"][0]["meters"][0]["registers"][1];
    EXPECT_EQ(pv["label"], "");
    EXPECT_EQ(pv["unit"], "");
    EXPECT_EQ(pv["description"], "FLOAT register 4 of the QM4720N model's table, read-only");
    EXPECT_EQ(sp["label"], "Oven 3 set point");
    EXPECT_EQ(sp["unit"], "°C");
    EXPECT_EQ(sp["description"], "FLOAT register 13 of the QM4720N model's table, writable");
}

TEST(LiveJson, TimesAreUtcWithMilliseconds) {
    EXPECT_EQ(service::IsoUtc(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(service::IsoUtc(1'765'207'200'123), "2025-12-08T15:20:00.123Z");
}

}  // namespace

namespace {

// What the Driver says of an exchange becomes the cell's code and text (the driver's own text, not
// the library's message around it) and lands in one counter of the line.
TEST(LineTableOutcomes, EachResultOfTheDriverKeepsItsCodeTextAndCounter) {
    using qm4720::ErrorCode;
    using Counter = std::uint64_t service::LineCounters::*;
    struct Case {
        const char* name;
        ErrorCode code;
        bool write;
        Counter counter;
        std::int32_t cellCode;  // what a read shows in its cell
        const char* cellText;
    };
    const Case cases[] = {
        {"good read", ErrorCode::kNone, false, &service::LineCounters::ok, -1, ""},
        {"timeout", ErrorCode::kTimeout, false, &service::LineCounters::timeout, 7, "driver text"},
        {"garbled reply", ErrorCode::kReply, false, &service::LineCounters::replyError, 15,
         "driver text"},
        {"port failed", ErrorCode::kOpen, false, &service::LineCounters::otherError, 10,
         "driver text"},
        // A failure the driver gave no reason for is no code of the driver's.
        {"no reason", ErrorCode::kOther, false, &service::LineCounters::otherError, -1, ""},
        {"write the meter refused (NAK)", ErrorCode::kRefused, true,
         &service::LineCounters::refused, 0, ""},
        {"write timed out", ErrorCode::kTimeout, true, &service::LineCounters::timeout, 0, ""},
        // Refused before the line: the client's mistake, not the line's.
        {"write out of the field", ErrorCode::kUsage, true, &service::LineCounters::writeRefusals,
         0, ""},
        {"write of a value out of range", ErrorCode::kValueRange, true,
         &service::LineCounters::writeRefusals, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const service::ServiceConfig config = OneMeter();
        service::LiveTable live(config);
        service::LineTable& line = *live.Lines()[0];
        qm4720::Reading reading = c.code == ErrorCode::kNone ? Good(1.5) : qm4720::Reading{};
        if (c.code != ErrorCode::kNone) {
            const bool driverGaveText =
                c.code != ErrorCode::kOther && c.code != ErrorCode::kRefused;
            reading.error = {c.code, "read 7: library words", "English reason",
                             driverGaveText ? "driver text" : ""};
        }
        line.Count(reading, c.write);
        const service::LineCounters counters = line.Counters();
        EXPECT_EQ(counters.*c.counter, 1u);
        const std::uint64_t total = counters.ok + counters.timeout + counters.replyError +
                                    counters.refused + counters.otherError + counters.writeRefusals;
        EXPECT_EQ(total, 1u);
        EXPECT_EQ(counters.latencyCount,
                  c.counter == &service::LineCounters::writeRefusals ? 0u : 1u);
        if (c.write) continue;
        line.StoreRead(line.Slot(7, 4), reading, 1000, std::chrono::steady_clock::now());
        const service::LiveCell cell = *line.Find(7, 4);
        EXPECT_EQ(cell.ok, c.code == ErrorCode::kNone);
        EXPECT_EQ(cell.errorCode, c.cellCode);
        EXPECT_EQ(cell.errorText, c.cellText);
        EXPECT_EQ(cell.latencyMs, reading.latency.count());
    }
}

}  // namespace
