// The MQTT publisher's topics and payloads, and how a .../set message is read, without a broker.
#include "service/mqtt/mqtt_topics.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace service {
namespace {

using Json = nlohmann::json;

TEST(MqttTopics, ReadingTopicAndPayload) {
    EXPECT_EQ(ReadingTopic("plant/qm", "a", 12, "PV"), "plant/qm/a/12/PV");
    EXPECT_EQ(StatusTopic("plant/qm"), "plant/qm/status");
    EXPECT_EQ(SetSubscription("qm4720"), "qm4720/+/+/+/set");

    LiveCell good;
    good.ok = good.everGood = good.answered = true;
    good.value = 21.5;
    good.quality = 192;
    good.utcMs = 1796744400123;  // 2026-12-08T15:40:00.123Z
    const Json g = Json::parse(ReadingPayload(good));
    EXPECT_EQ(g, Json::parse(R"({"value": 21.5, "quality": 192, "state": "good",
                                 "time": "2026-12-08T15:40:00.123Z", "error_code": -1,
                                 "error": "", "gloss": ""})"));

    // A failure after a good read: the old value must not travel as the reading.
    LiveCell failed = good;
    failed.ok = false;
    failed.quality = 0;
    failed.errorCode = 5;
    failed.errorText =
        "Zeit\xc3\xbc"
        "berschreitung \xff";  // UTF-8, then one bad byte
    const Json f = Json::parse(ReadingPayload(failed));
    EXPECT_TRUE(f["value"].is_null());
    EXPECT_EQ(f["state"], "failed");
    EXPECT_EQ(f["error_code"], 5);
    EXPECT_EQ(f["error"],
              "Zeit\xc3\xbc"
              "berschreitung \xef\xbf\xbd");
}

TEST(MqttTopics, SetTopics) {
    struct Case {
        const char* topic;
        bool taken;
        const char* line;
        int station;
        const char* reg;
    };
    const Case cases[] = {
        {"qm/a/1/SP/set", true, "a", 1, "SP"},
        {"qm/line-2/32767/RT/set", true, "line-2", 32767, "RT"},
        {"qm/a/0/SP/set", true, "a", 0, "SP"},  // station 0, as Modbus unit 0 and HTTP reach it
        {"qm/a/-1/SP/set", false, "", 0, ""},
        {"qm/a/32768/SP/set", false, "", 0, ""},
        {"qm/a/x1/SP/set", false, "", 0, ""},
        {"qm/a/1x/SP/set", false, "", 0, ""},
        {"qm/a/1/SP/result", false, "", 0, ""},
        {"qm/a/1/SP/set/more", false, "", 0, ""},
        {"qm/a/1/set", false, "", 0, ""},
        {"qm/a//SP/set", false, "", 0, ""},
        {"qmx/a/1/SP/set", false, "", 0, ""},
        {"other/a/1/SP/set", false, "", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.topic);
        const auto target = ParseSetTopic("qm", c.topic);
        ASSERT_EQ(target.has_value(), c.taken);
        if (!c.taken) continue;
        EXPECT_EQ(target->line, c.line);
        EXPECT_EQ(target->station, c.station);
        EXPECT_EQ(target->mnemonic, c.reg);
        EXPECT_EQ(ResultTopic("qm", *target),
                  std::string(c.topic).substr(0, std::string(c.topic).size() - 3) + "result");
    }
}

TEST(MqttTopics, SetPayloadsAndResults) {
    using service::WriteResult;
    struct Case {
        const char* payload;
        std::optional<WriteResult> result;  // what the write came to, when it was made
        const char* answer;
    };
    const Case cases[] = {
        {"12.5", WriteResult{WriteOutcome::kDone, 12.5},
         R"({"ok": true, "outcome": "done", "value": 12.5, "requested": 12.5})"},
        // The answer carries what the meter was sent, beside what was asked.
        {"42.123456", WriteResult{WriteOutcome::kDone, 42.123},
         R"({"ok": true, "outcome": "done", "value": 42.123, "requested": 42.123456})"},
        {" -3 ", WriteResult{WriteOutcome::kNotWritable, std::nullopt},
         R"({"ok": false, "outcome": "not-writable", "value": null, "requested": -3})"},
        {R"({"value": 60, "id": "r-7"})", WriteResult{WriteOutcome::kRefusedByMeter, 60},
         R"({"ok": false, "outcome": "refused-by-meter", "value": 60, "requested": 60,
             "id": "r-7"})"},
        {R"({"value": 1e5, "id": {"n": 1}})",
         WriteResult{WriteOutcome::kRefusedByDriver, std::nullopt},
         R"({"ok": false, "outcome": "refused-by-driver", "value": null, "requested": 100000,
             "id": {"n": 1}})"},
        {R"({"value": 2})", WriteResult{WriteOutcome::kNoAnswer, 2},
         R"({"ok": false, "outcome": "no-answer", "value": 2, "requested": 2})"},
        {"", std::nullopt,
         R"({"ok": false, "outcome": "bad-request", "value": null, "requested": null})"},
        {"twelve", std::nullopt,
         R"({"ok": false, "outcome": "bad-request", "value": null, "requested": null})"},
        {"\"12\"", std::nullopt,
         R"({"ok": false, "outcome": "bad-request", "value": null, "requested": null})"},
        {"12 13", std::nullopt,
         R"({"ok": false, "outcome": "bad-request", "value": null, "requested": null})"},
        {R"({"value": "12", "id": 4})", std::nullopt,
         R"({"ok": false, "outcome": "bad-request", "value": null, "requested": null, "id": 4})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload);
        const SetRequest request = ParseSetPayload(c.payload);
        EXPECT_EQ(request.value.has_value(), c.result.has_value());
        EXPECT_EQ(Json::parse(ResultPayload(c.result, request)), Json::parse(c.answer));
    }
}

}  // namespace
}  // namespace service
