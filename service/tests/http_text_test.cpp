// The pieces of qm4720d's HTTP answers that are plain functions: label values escaped as the
// Prometheus text format asks, a failed reading kept out of the value gauges, the MQTT publisher's
// counters under their documented names, and the write token compared without an early exit.
#include <gtest/gtest.h>

#include "service/core/write_outcomes.h"
#include "service/http/http_access.h"
#include "service/http/http_write.h"
#include "service/http/metrics_text.h"
#include "service/mqtt/mqtt_output.h"

namespace {

struct EscapeCase {
    const char* what;
    std::string_view text;
    std::string_view escaped;
};

TEST(MetricsText, EscapesLabelValuesAsTheFormatSays) {
    const EscapeCase cases[] = {
        {"plain", "line1", "line1"},
        {"backslash", R"(C:\tmp)", R"(C:\\tmp)"},
        {"double quote", R"(say "hi")", R"(say \"hi\")"},
        {"line feed", "a\nb", R"(a\nb)"},
        {"all three, each once", "\\\"\n", R"(\\\"\n)"},
        {"tab and UTF-8 left as they are", "\t\u00B0C", "\t\u00B0C"},
    };
    for (const EscapeCase& c : cases) {
        EXPECT_EQ(service::EscapeLabelValue(c.text), c.escaped) << c.what;
    }
}

TEST(MetricsText, ServesOnlyGoodValuesWithEscapedLabels) {
    service::ServiceConfig config;
    service::LineConfig line;
    line.name = "we\"ird\\line";
    service::MeterConfig meter;
    meter.station = 1;
    for (const auto& [mnemonic, index] : {std::pair{"PV", 4}, std::pair{"SP", 13}}) {
        service::PolledRegister polled;
        polled.reg.mnemonic = mnemonic;
        polled.reg.index = static_cast<std::int16_t>(index);
        meter.polled.push_back(polled);
    }
    line.meters.push_back(meter);
    config.lines.push_back(line);
    service::LiveTable live(config);
    service::LineTable& table = *live.Lines()[0];

    const auto now = std::chrono::steady_clock::now();
    qm4720::Reading good;
    good.value = static_cast<double>(100.03F);  // a meter's float32, as the driver widens it
    good.quality = 192;
    good.latency = std::chrono::milliseconds(30);
    qm4720::Reading failed;
    failed.error = {qm4720::ErrorCode::kRegisterRange, "read: timeout", "", "timeout"};
    failed.latency = std::chrono::milliseconds(200);
    table.StoreRead(table.Slot(1, 4), good, 0, now);
    table.StoreRead(table.Slot(1, 13), failed, 0, now);
    table.Count(good, false);
    table.Count(failed, false);

    const std::string text = service::MetricsText(live, {}, now);
    const std::string labels = R"(line="we\"ird\\line",station="1",register=)";
    EXPECT_NE(text.find("qm4720_register_value{" + labels +
                        R"("PV",model="default"} 100.03)"
                        "\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("qm4720_register_value{" + labels + R"("SP")"), std::string::npos)
        << "a failed read served as a value:\n"
        << text;
    EXPECT_NE(text.find("qm4720_register_up{" + labels +
                        R"("SP",model="default"} 0)"
                        "\n"),
              std::string::npos)
        << text;
    // 30 ms falls in the 0.05 bucket, 200 ms first in 0.25; the sum in seconds.
    for (const char* sample :
         {R"(_bucket{line="we\"ird\\line",le="0.025"} 0)",
          R"(_bucket{line="we\"ird\\line",le="0.05"} 1)",
          R"(_bucket{line="we\"ird\\line",le="0.25"} 2)",
          R"(_bucket{line="we\"ird\\line",le="+Inf"} 2)", R"(_sum{line="we\"ird\\line"} 0.23)"}) {
        EXPECT_NE(text.find(std::string("qm4720_exchange_latency_seconds") + sample + "\n"),
                  std::string::npos)
            << sample << " missing from\n"
            << text;
    }
    EXPECT_EQ(text.find("qm4720_history_"), std::string::npos) << "no history is kept";
    EXPECT_EQ(text.find("qm4720_mqtt_"), std::string::npos) << "no MQTT is configured";
}

TEST(MetricsText, ServesTheMqttCounters) {
    service::MqttCounters counters;
    counters.connected = true;
    counters.published = 12;
    counters.dropped = 3;
    counters.queued = 7;
    std::string text;
    service::AppendMqttMetrics(text, counters);
    for (const char* sample :
         {"qm4720_mqtt_connected 1\n", "qm4720_mqtt_messages_published_total 12\n",
          "qm4720_mqtt_messages_dropped_total 3\n", "qm4720_mqtt_messages_queued 7\n",
          "qm4720_mqtt_reconnects_total 0\n", "# TYPE qm4720_mqtt_messages_queued gauge\n"}) {
        EXPECT_NE(text.find(sample), std::string::npos) << sample << " missing from\n" << text;
    }
}

struct OutcomeCase {
    service::WriteOutcome outcome;
    std::string_view words;   // the log and HTTP
    std::string_view hyphen;  // MQTT
};

TEST(WriteOutcomes, EveryOutcomeIsSpelledByEachFrontEnd) {
    using service::WriteOutcome;
    const OutcomeCase cases[] = {
        {WriteOutcome::kDone, "done", "done"},
        {WriteOutcome::kNotWritable, "not writable", "not-writable"},
        {WriteOutcome::kRefusedByDriver, "refused by driver", "refused-by-driver"},
        {WriteOutcome::kRefusedByMeter, "refused by meter", "refused-by-meter"},
        {WriteOutcome::kNoAnswer, "no answer", "no-answer"},
    };
    for (const OutcomeCase& c : cases) {
        // Found by its own entry, not by the fallback an outcome missing from the table gets.
        EXPECT_EQ(service::SpellingOf(c.outcome).outcome, c.outcome) << c.words;
        EXPECT_EQ(service::WriteOutcomeText(c.outcome), c.words);
        EXPECT_EQ(service::WriteOutcomeMqttText(c.outcome), c.hyphen);
    }
}

struct TokenCase {
    const char* what;
    std::string_view given;
    bool same;
};

TEST(HttpWrite, ComparesTheTokenWholly) {
    constexpr std::string_view kToken = "0123456789abcdef";
    const TokenCase cases[] = {
        {"equal", "0123456789abcdef", true},
        {"first byte differs", "X123456789abcdef", false},
        {"last byte differs", "0123456789abcdeX", false},
        {"a prefix", "0123456789abcde", false},
        {"a byte more", "0123456789abcdef0", false},
        {"the token twice", "0123456789abcdef0123456789abcdef", false},
        {"empty", "", false},
    };
    for (const TokenCase& c : cases) {
        EXPECT_EQ(service::SameToken(c.given, kToken), c.same) << c.what;
    }
    EXPECT_FALSE(service::SameToken("", "")) << "no token configured matches nothing";
}

}  // namespace

namespace {

struct AccessCase {
    const char* what;
    bool readsNeedToken;
    const char* method;
    const char* path;
    const char* authorization;
    int status;  // 0: let through
};

// Every route is guarded by the same check: a read or write token reads while read access needs
// one, only a write token writes, and a write needs one even while reads are open.
TEST(HttpAccess, RefusesByRoleAndTellsTheClientToBringABearerToken) {
    service::HttpConfig http;
    http.writes = true;
    service::HttpAccess& access = http.access;
    access.tokens = {{"reader-0123456789abc", service::TokenRole::kRead},
                     {"writer-0123456789abc", service::TokenRole::kWrite}};
    const AccessCase cases[] = {
        {"open reads need nothing", false, "GET", "/metrics", "", 0},
        {"open reads: a write still needs a token", false, "POST", "/api/v1/write", "", 401},
        {"read without a token", true, "GET", "/metrics", "", 401},
        {"health without a token", true, "GET", "/healthz", "", 401},
        {"the page without a token", true, "GET", "/", "", 401},
        {"read with a read token", true, "GET", "/api/v1/values", "Bearer reader-0123456789abc", 0},
        {"read with a write token", true, "GET", "/api/v1/values", "bearer writer-0123456789abc",
         0},
        {"read with an unknown token", true, "GET", "/metrics", "Bearer reader-0123456789abd", 401},
        {"read with a token's prefix", true, "GET", "/metrics", "Bearer reader-0123456789ab", 401},
        {"another scheme", true, "GET", "/metrics", "Basic reader-0123456789abc", 401},
        {"an empty bearer", true, "GET", "/metrics", "Bearer ", 401},
        {"write with a read token", false, "POST", "/api/v1/write", "Bearer reader-0123456789abc",
         403},
        {"write with a write token", true, "POST", "/api/v1/write", "Bearer writer-0123456789abc",
         0},
        {"a GET of the write path reads", true, "GET", "/api/v1/write",
         "Bearer reader-0123456789abc", 0},
    };
    for (const AccessCase& c : cases) {
        SCOPED_TRACE(c.what);
        access.readsNeedToken = c.readsNeedToken;
        const auto refusal = service::RefuseAccess(access, service::RoleFor(http, c.method, c.path),
                                                   c.authorization);
        EXPECT_EQ(refusal ? refusal->status : 0, c.status);
        if (!refusal) continue;
        const bool challenged = !refusal->headers.empty() &&
                                refusal->headers[0].first == "WWW-Authenticate" &&
                                refusal->headers[0].second.rfind("Bearer", 0) == 0;
        EXPECT_EQ(challenged, c.status == 401);
    }
    // Writes off: the write's own route says so (403), whoever asks.
    http.writes = false;
    access.readsNeedToken = false;
    EXPECT_EQ(service::RoleFor(http, "POST", "/api/v1/write"), service::NeededRole::kNone);
    service::HttpAccess none;
    EXPECT_EQ(service::RefuseAccess(none, service::NeededRole::kRead, "Bearer ")->status, 401)
        << "no token configured matches nothing";
}

}  // namespace
