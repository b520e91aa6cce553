#include "service/mqtt/sparkplug_format.h"

#include <chrono>

#include <nlohmann/json.hpp>

#include "service/core/service_log.h"

namespace service {
namespace {

using sparkplug::DataType;

constexpr std::string_view kNamespace = "spBv1.0";
constexpr const char* kRebirth = "Node Control/Rebirth";

// bdSeq over the whole process: the publisher that a reload makes goes on counting, so that a
// late will of the last connection can never be taken for the death of the new one.
std::atomic<std::uint64_t> NextSessionNumber{0};

std::uint64_t NowMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

// What the model's table says a register holds.
DataType MetricType(qm4720::DataType type) {
    switch (type) {
        case qm4720::DataType::kBit:
        case qm4720::DataType::kByte:
        case qm4720::DataType::kInt:
        case qm4720::DataType::kUint:
        case qm4720::DataType::kBcd:
            return DataType::kInt32;
        case qm4720::DataType::kLong:
        case qm4720::DataType::kLongBcd:
            return DataType::kInt64;
        default:
            return DataType::kFloat;
    }
}

// A device is born when one of its registers reads good, and not before every register has a
// result, so that its first birth does not tell of registers not yet read as failed.
bool Answers(const auto& device) {
    bool any = false;
    for (const auto& slot : device.slots) {
        if (!slot.known) return false;
        any = any || slot.ok;
    }
    return any;
}

std::string DeviceId(std::string_view line, std::int16_t station) {
    return std::string(line) + "-" + std::to_string(station);
}

// The primary host's STATE: {"online": true, ...} as hosts say it now, ONLINE/OFFLINE as older
// ones did; nullopt for anything else.
std::optional<bool> HostState(std::string_view payload) {
    if (payload == "ONLINE") return true;
    if (payload == "OFFLINE") return false;
    const auto j = nlohmann::json::parse(payload, nullptr, false);
    if (j.is_object() && j.contains("online") && j["online"].is_boolean()) {
        return j["online"].get<bool>();
    }
    return std::nullopt;
}

std::optional<double> WriteValue(const sparkplug::Value& value) {
    if (const auto* i = std::get_if<std::int64_t>(&value)) return static_cast<double>(*i);
    if (const auto* d = std::get_if<double>(&value)) return *d;
    if (const auto* b = std::get_if<bool>(&value)) return *b ? 1.0 : 0.0;
    return std::nullopt;
}

}  // namespace

SparkplugFormat::SparkplugFormat(const ServiceConfig& config) : mqtt_(config.mqtt) {
    std::uint64_t alias = 0;
    for (const LineConfig& line : config.lines) {
        for (const MeterConfig& meter : line.meters) {
            Device device{DeviceId(line.name, meter.station), line.name, meter.station, {}};
            for (const PolledRegister& polled : meter.polled) {
                const auto key = std::make_tuple(line.name, meter.station, polled.reg.mnemonic);
                if (where_.count(key) != 0) continue;  // polled twice, one metric
                Slot slot;
                slot.mnemonic = polled.reg.mnemonic;
                slot.alias = ++alias;
                slot.type = MetricType(polled.reg.type);
                if (const RegisterOptions* o = meter.Options(polled.reg.index)) {
                    slot.unit = o->unit;
                    slot.label = o->label;
                }
                where_.emplace(key, std::make_pair(devices_.size(), device.slots.size()));
                device.slots.push_back(std::move(slot));
            }
            devices_.push_back(std::move(device));
        }
    }
}

std::string SparkplugFormat::Topic(std::string_view type, std::string_view device) const {
    std::string topic(kNamespace);
    topic.append("/").append(mqtt_.sparkplug.groupId).append("/").append(type);
    topic.append("/").append(mqtt_.sparkplug.edgeNodeId);
    if (!device.empty()) topic.append("/").append(device);
    return topic;
}

std::uint64_t SparkplugFormat::NextSeq() {
    return ++seq_;  // wraps at 256 by its type
}

OutgoingMessage SparkplugFormat::Death() const {
    sparkplug::Payload p;
    p.timestamp = NowMs();
    p.metrics.push_back({"bdSeq",
                         std::nullopt,
                         std::nullopt,
                         DataType::kUInt64,
                         static_cast<std::int64_t>(bdSeq_.load()),
                         {}});
    return {Topic("NDEATH"), sparkplug::Encode(p), false, true};
}

OutgoingMessage SparkplugFormat::Will() {
    // A new session only after one came up: attempts that failed never showed their will.
    if (sessionUp_.exchange(false) || !willSet_.exchange(true)) {
        bdSeq_ = NextSessionNumber.fetch_add(1) % 256;
    }
    return Death();
}

OutgoingMessage SparkplugFormat::Goodbye() {
    return Death();
}

std::vector<std::string> SparkplugFormat::Subscriptions() const {
    std::vector<std::string> topics{Topic("NCMD")};
    if (mqtt_.writes) topics.push_back(Topic("DCMD", "+"));
    if (!mqtt_.sparkplug.primaryHostId.empty()) {
        topics.push_back(std::string(kNamespace) + "/STATE/" + mqtt_.sparkplug.primaryHostId);
    }
    return topics;
}

MqttCommand SparkplugFormat::Parse(std::string_view topic, std::string_view payload,
                                   bool retain) const {
    MqttCommand command;
    const std::string& host = mqtt_.sparkplug.primaryHostId;
    if (!host.empty() && topic == std::string(kNamespace) + "/STATE/" + host) {
        // Retained on purpose: how a host that is up tells a node that connects.
        command.hostOnline = HostState(payload);
        return command;
    }
    // A retained command is one of the past, never acted on again.
    if (retain) return command;
    const std::string dcmd = Topic("DCMD") + "/";
    const bool isNcmd = topic == Topic("NCMD");
    const bool isDcmd = mqtt_.writes && topic.substr(0, dcmd.size()) == dcmd;
    if (!isNcmd && !isDcmd) return command;
    const std::optional<sparkplug::Payload> decoded = sparkplug::Decode(payload);
    if (!decoded) {
        Log(LogLevel::kWarning, "MQTT: " + std::string(topic) + " is not a Sparkplug B payload");
        return command;
    }
    if (isNcmd) {
        for (const sparkplug::Metric& m : decoded->metrics) {
            const bool* yes = std::get_if<bool>(&m.value);
            if (m.name == kRebirth && yes != nullptr && *yes) command.rebirth = true;
        }
        return command;
    }
    const std::string_view id = topic.substr(dcmd.size());
    const Device* device = nullptr;
    for (const Device& d : devices_) {
        if (d.id == id) device = &d;
    }
    if (device == nullptr) {
        Log(LogLevel::kWarning, "MQTT: a command for " + std::string(id) + ", no such device");
        return command;
    }
    for (const sparkplug::Metric& m : decoded->metrics) {
        std::string mnemonic = m.name;
        for (const Slot& slot : device->slots) {
            if (m.alias && slot.alias == *m.alias) mnemonic = slot.mnemonic;
        }
        // A name the configuration does not know is refused by the write rule, and logged.
        if (mnemonic.empty()) mnemonic = "alias " + std::to_string(m.alias.value_or(0));
        command.writes.push_back({SetTarget{device->line, device->station, std::move(mnemonic)},
                                  SetRequest{WriteValue(m.value), ""}});
    }
    return command;
}

sparkplug::Metric SparkplugFormat::SlotMetric(const Slot& slot, bool named) const {
    sparkplug::Metric m;
    if (named) m.name = slot.mnemonic;
    m.alias = slot.alias;
    m.type = slot.type;
    if (slot.known) m.timestamp = static_cast<std::uint64_t>(slot.utcMs);
    // A failed reading is null: the latest good value is never sent as if it were the reading.
    if (slot.ok) m.value = slot.value;
    m.properties.push_back({"Quality", DataType::kInt32, std::int64_t{slot.quality}});
    if (named && !slot.unit.empty()) m.properties.push_back({"unit", DataType::kString, slot.unit});
    if (named && !slot.label.empty()) {
        m.properties.push_back({"label", DataType::kString, slot.label});
    }
    return m;
}

OutgoingMessage SparkplugFormat::DeviceBirth(Device& device) {
    sparkplug::Payload p;
    p.timestamp = NowMs();
    p.seq = NextSeq();
    for (Slot& slot : device.slots) {
        p.metrics.push_back(SlotMetric(slot, true));
        slot.sentOk = slot.ok;
        slot.sentValue = slot.value;
        slot.sentQuality = slot.quality;
    }
    device.born = true;
    return {Topic("DBIRTH", device.id), sparkplug::Encode(p), false, true};
}

void SparkplugFormat::Births(std::vector<OutgoingMessage>& out) {
    sparkplug::Payload p;
    p.timestamp = NowMs();
    seq_ = 0;
    p.seq = 0;
    p.metrics.push_back({"bdSeq",
                         std::nullopt,
                         std::nullopt,
                         DataType::kUInt64,
                         static_cast<std::int64_t>(bdSeq_.load()),
                         {}});
    p.metrics.push_back({kRebirth, std::nullopt, std::nullopt, DataType::kBoolean, false, {}});
    out.push_back({Topic("NBIRTH"), sparkplug::Encode(p), false, true});
    born_ = true;
    for (Device& device : devices_) {
        device.born = false;
        if (Answers(device)) out.push_back(DeviceBirth(device));
    }
}

void SparkplugFormat::Connected(std::vector<OutgoingMessage>& out) {
    sessionUp_ = true;
    born_ = false;
    // With a primary host, its retained STATE comes right after the subscription.
    hostOnline_ = mqtt_.sparkplug.primaryHostId.empty();
    if (hostOnline_) Births(out);
}

void SparkplugFormat::Command(const MqttCommand& command, std::vector<OutgoingMessage>& out) {
    if (command.hostOnline) {
        hostOnline_ = *command.hostOnline;
        if (!hostOnline_) born_ = false;  // what it missed comes with the next births
        if (hostOnline_ && !born_) Births(out);
        return;
    }
    if (command.rebirth && hostOnline_) Births(out);
}

void SparkplugFormat::Reading(std::string_view line, const LiveCell& cell,
                              std::vector<OutgoingMessage>& out) {
    const auto it = where_.find(std::make_tuple(std::string(line), cell.station, cell.mnemonic));
    if (it == where_.end()) return;
    Device& device = devices_[it->second.first];
    Slot& slot = device.slots[it->second.second];
    slot.known = true;
    slot.ok = cell.ok;
    slot.value = cell.value;
    slot.quality = cell.quality;
    slot.utcMs = cell.utcMs;
    if (!born_) return;
    if (!device.born) {
        if (Answers(device)) out.push_back(DeviceBirth(device));
        return;
    }
    bool answers = false;
    for (const Slot& s : device.slots) answers = answers || s.ok;
    if (!answers) {
        sparkplug::Payload p;
        p.timestamp = NowMs();
        p.seq = NextSeq();
        out.push_back({Topic("DDEATH", device.id), sparkplug::Encode(p), false, true});
        device.born = false;
        return;
    }
    if (slot.ok == slot.sentOk && slot.quality == slot.sentQuality &&
        (!slot.ok || slot.value == slot.sentValue)) {
        return;
    }
    slot.sentOk = slot.ok;
    slot.sentValue = slot.value;
    slot.sentQuality = slot.quality;
    sparkplug::Payload p;
    p.timestamp = NowMs();
    p.seq = NextSeq();
    p.metrics.push_back(SlotMetric(slot, false));
    out.push_back({Topic("DDATA", device.id), sparkplug::Encode(p), false, true});
}

}  // namespace service
