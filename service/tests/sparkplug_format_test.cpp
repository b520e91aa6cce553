// The Sparkplug B payload of the MQTT output without a broker: what the format says on a
// connection, on readings and on commands, decoded back with protobuf-c's own unpack of the
// generated code rather than with our decoder alone.
#include "service/mqtt/sparkplug_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "service/mqtt/sparkplug_payload.h"
#include "sparkplug_b.pb-c.h"

namespace service {
namespace {

using sparkplug::DataType;
using Unpacked = std::unique_ptr<Qm4720__Sparkplug__Payload, void (*)(Qm4720__Sparkplug__Payload*)>;

Unpacked Unpack(const std::string& bytes) {
    return Unpacked(qm4720__sparkplug__payload__unpack(
                        nullptr, bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data())),
                    [](Qm4720__Sparkplug__Payload* p) {
                        qm4720__sparkplug__payload__free_unpacked(p, nullptr);
                    });
}

// Line "a": station 1 with PV (FLOAT, unit and label) and SP (INT); station 2 with PV.
ServiceConfig Plant(bool writes = true, std::string primaryHost = "") {
    ServiceConfig config;
    config.mqtt.writes = writes;
    config.mqtt.sparkplug = {true, "plant", "node1", std::move(primaryHost)};
    LineConfig line;
    line.name = "a";
    MeterConfig one;
    one.station = 1;
    one.polled.push_back({qm4720::Register{"PV", 0, qm4720::DataType::kFloat, true}});
    one.polled.push_back({qm4720::Register{"SP", 1, qm4720::DataType::kInt, false}});
    RegisterOptions oven;
    oven.reg = qm4720::Register{"PV", 0, qm4720::DataType::kFloat, true};
    oven.label = "Oven";
    oven.unit = "degC";
    one.options.push_back(oven);
    MeterConfig two;
    two.station = 2;
    two.polled.push_back({qm4720::Register{"PV", 0, qm4720::DataType::kFloat, true}});
    line.meters = {one, two};
    config.lines.push_back(line);
    return config;
}

LiveCell Cell(std::int16_t station, const char* mnemonic, double value, bool ok = true) {
    LiveCell cell;
    cell.station = station;
    cell.mnemonic = mnemonic;
    cell.ok = ok;
    cell.value = value;
    cell.quality = ok ? 192 : 0;
    cell.utcMs = 1796744400123;
    return cell;
}

std::vector<OutgoingMessage> Read(SparkplugFormat& f, std::int16_t station, const char* mnemonic,
                                  double value, bool ok = true) {
    std::vector<OutgoingMessage> out;
    f.Reading("a", Cell(station, mnemonic, value, ok), out);
    return out;
}

std::string Command(const char* name, std::optional<std::uint64_t> alias, sparkplug::Value value,
                    DataType type) {
    sparkplug::Payload p;
    p.metrics.push_back({name, alias, std::nullopt, type, std::move(value), {}});
    return sparkplug::Encode(p);
}

TEST(SparkplugFormat, BirthsCarryEveryMetricWithAliasTypeAndProperties) {
    SparkplugFormat f(Plant());
    const OutgoingMessage will = f.Will();
    EXPECT_EQ(will.topic, "spBv1.0/plant/NDEATH/node1");
    EXPECT_FALSE(will.retain);
    std::vector<OutgoingMessage> out;
    f.Connected(out);
    ASSERT_EQ(out.size(), 1u);  // no meter has answered: no device is born
    EXPECT_EQ(out[0].topic, "spBv1.0/plant/NBIRTH/node1");
    const Unpacked nbirth = Unpack(out[0].payload);
    ASSERT_NE(nbirth, nullptr);
    EXPECT_TRUE(nbirth->has_seq);
    EXPECT_EQ(nbirth->seq, 0u);
    ASSERT_EQ(nbirth->n_metrics, 2u);
    EXPECT_STREQ(nbirth->metrics[0]->name, "bdSeq");
    EXPECT_EQ(nbirth->metrics[0]->long_value, Unpack(will.payload)->metrics[0]->long_value);
    EXPECT_STREQ(nbirth->metrics[1]->name, "Node Control/Rebirth");

    // Station 1 is born once each register has a result and one is good: SP failed, null.
    EXPECT_TRUE(Read(f, 1, "PV", 21.3).empty());
    out = Read(f, 1, "SP", 0, false);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].topic, "spBv1.0/plant/DBIRTH/node1/a-1");
    const Unpacked dbirth = Unpack(out[0].payload);
    ASSERT_NE(dbirth, nullptr);
    EXPECT_EQ(dbirth->seq, 1u);
    ASSERT_EQ(dbirth->n_metrics, 2u);
    const auto& pv = *dbirth->metrics[0];
    EXPECT_STREQ(pv.name, "PV");
    EXPECT_EQ(pv.alias, 1u);
    EXPECT_EQ(pv.datatype, 9u);  // Float
    EXPECT_EQ(pv.value_case, QM4720__SPARKPLUG__PAYLOAD__METRIC__VALUE_FLOAT_VALUE);
    EXPECT_EQ(pv.float_value, 21.3f);
    ASSERT_NE(pv.properties, nullptr);
    ASSERT_EQ(pv.properties->n_keys, 3u);
    EXPECT_STREQ(pv.properties->keys[0], "Quality");
    EXPECT_EQ(pv.properties->values[0]->int_value, 192u);
    EXPECT_STREQ(pv.properties->keys[1], "unit");
    EXPECT_STREQ(pv.properties->values[1]->string_value, "degC");
    EXPECT_STREQ(pv.properties->keys[2], "label");
    EXPECT_STREQ(pv.properties->values[2]->string_value, "Oven");
    const auto& sp = *dbirth->metrics[1];
    EXPECT_STREQ(sp.name, "SP");
    EXPECT_EQ(sp.alias, 2u);
    EXPECT_EQ(sp.datatype, 3u);  // Int32: the model's table says INT
    EXPECT_TRUE(sp.has_is_null && sp.is_null);
    ASSERT_NE(sp.properties, nullptr);
    EXPECT_EQ(sp.properties->n_keys, 1u);  // Quality alone: no unit or label configured

    // Station 2's alias follows station 1's: unique over the edge node.
    out = Read(f, 2, "PV", 5);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(Unpack(out[0].payload)->metrics[0]->alias, 3u);
}

// After the births, one message per change, alias only; a silent meter dies and is born again.
TEST(SparkplugFormat, DataOnChangeDeathAndBirthAgain) {
    SparkplugFormat f(Plant());
    std::vector<OutgoingMessage> out;
    f.Connected(out);
    Read(f, 1, "SP", -7, false);
    ASSERT_EQ(Read(f, 1, "PV", 1).size(), 1u);  // DBIRTH
    struct Step {
        const char* mnemonic;
        double value;
        bool ok;
        const char* topic;  // "" for nothing sent
        bool null;
    };
    const Step steps[] = {
        {"PV", 1, true, "", false},                                  // unchanged
        {"SP", -7, true, "spBv1.0/plant/DDATA/node1/a-1", false},    // SP good after failing
        {"PV", 2.5, true, "spBv1.0/plant/DDATA/node1/a-1", false},   // changed
        {"PV", 2.5, false, "spBv1.0/plant/DDATA/node1/a-1", true},   // failed: null, SP still good
        {"SP", -7, false, "spBv1.0/plant/DDEATH/node1/a-1", false},  // every register fails
        {"PV", 0, false, "", false},                                 // dead: nothing
        {"PV", 3, true, "spBv1.0/plant/DBIRTH/node1/a-1", false},    // answers again
    };
    std::uint64_t seq = 1;
    for (const Step& s : steps) {
        SCOPED_TRACE(std::string(s.mnemonic) + " " + std::to_string(s.value));
        out = Read(f, 1, s.mnemonic, s.value, s.ok);
        if (*s.topic == '\0') {
            EXPECT_TRUE(out.empty());
            continue;
        }
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].topic, s.topic);
        const Unpacked p = Unpack(out[0].payload);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->seq, ++seq);
        if (out[0].topic.find("DDATA") == std::string::npos) continue;
        ASSERT_EQ(p->n_metrics, 1u);
        const auto& m = *p->metrics[0];
        EXPECT_EQ(m.name, nullptr);  // aliases only after birth
        EXPECT_TRUE(m.has_alias);
        EXPECT_EQ(m.has_is_null && m.is_null, s.null);
        if (std::string(s.mnemonic) == "SP" && !s.null) {
            EXPECT_EQ(m.int_value, static_cast<std::uint32_t>(-7));
            EXPECT_EQ(std::get<std::int64_t>(sparkplug::Decode(out[0].payload)->metrics[0].value),
                      -7);
        }
    }
}

// One counter over every message of the node, 0 to 255 and round again; bdSeq a new one per
// connection that came up, the same in the will and in that connection's NBIRTH.
TEST(SparkplugFormat, SequenceWrapsAndBdSeqFollowsConnections) {
    SparkplugFormat f(Plant());
    // Counted over the process: each format, as a reload makes, goes on from the last one.
    const std::uint64_t first = Unpack(f.Will().payload)->metrics[0]->long_value;
    EXPECT_EQ(Unpack(SparkplugFormat(Plant()).Will().payload)->metrics[0]->long_value,
              (first + 1) % 256);
    const std::uint64_t bdSeq = Unpack(f.Will().payload)->metrics[0]->long_value;
    EXPECT_EQ(bdSeq, first);  // never came up: the same session number
    std::vector<OutgoingMessage> out;
    f.Connected(out);
    Read(f, 1, "SP", 0, false);
    for (int i = 0; i < 300; ++i) {
        const auto more = Read(f, 1, "PV", i);
        out.insert(out.end(), more.begin(), more.end());
    }
    ASSERT_EQ(out.size(), 301u);
    for (std::size_t i = 0; i < out.size(); ++i) {
        ASSERT_EQ(Unpack(out[i].payload)->seq, i % 256) << i;
    }
    const std::uint64_t next = Unpack(f.Will().payload)->metrics[0]->long_value;
    EXPECT_EQ(next, (first + 2) % 256);
    out.clear();
    f.Connected(out);
    ASSERT_GE(out.size(), 2u);  // NBIRTH and station 1's DBIRTH: it answers
    EXPECT_EQ(Unpack(out[0].payload)->seq, 0u);
    EXPECT_EQ(Unpack(out[0].payload)->metrics[0]->long_value, next);
    EXPECT_EQ(Unpack(f.Goodbye().payload)->metrics[0]->long_value, next);
}

TEST(SparkplugFormat, CommandsFromTheHost) {
    const SparkplugFormat f(Plant());
    struct Case {
        const char* name;
        std::string topic;
        std::string payload;
        bool retain;
        bool rebirth;
        std::optional<bool> hostOnline;
        const char* writeTo;  // mnemonic of the one write, "" for none
        double value;
    };
    const Case cases[] = {
        {"rebirth", "spBv1.0/plant/NCMD/node1",
         Command("Node Control/Rebirth", std::nullopt, true, DataType::kBoolean), false, true,
         std::nullopt, "", 0},
        {"rebirth = false", "spBv1.0/plant/NCMD/node1",
         Command("Node Control/Rebirth", std::nullopt, false, DataType::kBoolean), false, false,
         std::nullopt, "", 0},
        {"another node's", "spBv1.0/plant/NCMD/node2",
         Command("Node Control/Rebirth", std::nullopt, true, DataType::kBoolean), false, false,
         std::nullopt, "", 0},
        {"retained rebirth", "spBv1.0/plant/NCMD/node1",
         Command("Node Control/Rebirth", std::nullopt, true, DataType::kBoolean), true, false,
         std::nullopt, "", 0},
        {"write by alias", "spBv1.0/plant/DCMD/node1/a-1",
         Command("", 2, std::int64_t{-12}, DataType::kInt32), false, false, std::nullopt, "SP",
         -12},
        {"write by name", "spBv1.0/plant/DCMD/node1/a-1",
         Command("SP", std::nullopt, 4.25, DataType::kFloat), false, false, std::nullopt, "SP",
         4.25},
        {"write to no such device", "spBv1.0/plant/DCMD/node1/a-9",
         Command("SP", std::nullopt, 1.0, DataType::kFloat), false, false, std::nullopt, "", 0},
        {"not a payload", "spBv1.0/plant/DCMD/node1/a-1", "\xff\xff\xff", false, false,
         std::nullopt, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const MqttCommand command = f.Parse(c.topic, c.payload, c.retain);
        EXPECT_EQ(command.rebirth, c.rebirth);
        EXPECT_EQ(command.hostOnline, c.hostOnline);
        if (*c.writeTo == '\0') {
            EXPECT_TRUE(command.writes.empty());
            continue;
        }
        ASSERT_EQ(command.writes.size(), 1u);
        EXPECT_EQ(command.writes[0].target.line, "a");
        EXPECT_EQ(command.writes[0].target.station, 1);
        EXPECT_EQ(command.writes[0].target.mnemonic, c.writeTo);
        EXPECT_EQ(command.writes[0].request.value, c.value);
    }
    // Without [mqtt] writes, DCMD is neither subscribed nor taken.
    const SparkplugFormat readOnly(Plant(false));
    EXPECT_EQ(readOnly.Subscriptions(), std::vector<std::string>{"spBv1.0/plant/NCMD/node1"});
    EXPECT_TRUE(readOnly
                    .Parse("spBv1.0/plant/DCMD/node1/a-1",
                           Command("SP", std::nullopt, 1.0, DataType::kFloat), false)
                    .writes.empty());
}

// With a primary host, nothing is born before it is online, nothing sent while it is away, and
// births come again when it is back.
TEST(SparkplugFormat, PrimaryHostGatesTheSession) {
    SparkplugFormat f(Plant(true, "scada"));
    EXPECT_EQ(f.Subscriptions().back(), "spBv1.0/STATE/scada");
    std::vector<OutgoingMessage> out;
    f.Connected(out);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(Read(f, 1, "PV", 1).empty());
    EXPECT_TRUE(Read(f, 1, "SP", 1).empty());

    for (const char* online : {R"({"online": true, "timestamp": 1})", "ONLINE"}) {
        const MqttCommand command = f.Parse("spBv1.0/STATE/scada", online, true);
        ASSERT_EQ(command.hostOnline, std::optional<bool>(true)) << online;
    }
    f.Command(f.Parse("spBv1.0/STATE/scada", R"({"online": true})", true), out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].topic, "spBv1.0/plant/NBIRTH/node1");
    EXPECT_EQ(out[1].topic, "spBv1.0/plant/DBIRTH/node1/a-1");

    out.clear();
    f.Command(f.Parse("spBv1.0/STATE/scada", R"({"online": false})", true), out);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(Read(f, 1, "PV", 2).empty());
    f.Command(f.Parse("spBv1.0/STATE/scada", "ONLINE", true), out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(Unpack(out[1].payload)->metrics[0]->float_value, 2.0f);  // what it missed
}

// Values through Encode and back through Decode for each datatype we send or take.
TEST(SparkplugPayload, ValuesRoundTripByDatatype) {
    struct Case {
        DataType type;
        sparkplug::Value in;
        sparkplug::Value out;
    };
    const Case cases[] = {
        {DataType::kInt32, std::int64_t{-5}, std::int64_t{-5}},
        {DataType::kInt32, 7.6, std::int64_t{8}},  // a double to an integer metric: rounded
        {DataType::kInt16, std::int64_t{-300}, std::int64_t{-300}},
        {DataType::kUInt32, std::int64_t{4000000000}, std::int64_t{4000000000}},
        {DataType::kInt64, std::int64_t{-9000000000}, std::int64_t{-9000000000}},
        {DataType::kFloat, 0.1, static_cast<double>(0.1f)},
        {DataType::kDouble, 0.1, 0.1},
        {DataType::kBoolean, true, true},
        {DataType::kString, std::string("x"), std::string("x")},
        {DataType::kFloat, std::monostate{}, std::monostate{}},
    };
    for (const Case& c : cases) {
        sparkplug::Payload p;
        p.seq = 255;
        p.metrics.push_back({"m", 9, 1, c.type, c.in, {}});
        const auto back = sparkplug::Decode(sparkplug::Encode(p));
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->seq, 255u);
        ASSERT_EQ(back->metrics.size(), 1u);
        EXPECT_EQ(back->metrics[0].type, c.type);
        EXPECT_EQ(back->metrics[0].alias, 9u);
        EXPECT_EQ(back->metrics[0].value, c.out) << static_cast<int>(c.type);
    }
}

}  // namespace
}  // namespace service
