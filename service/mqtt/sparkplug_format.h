// The Sparkplug B payload of qm4720d's MQTT output. This service is one edge node
// (spBv1.0/GROUP/.../EDGE from [mqtt] group_id and edge_node_id); each configured meter is a
// device named LINE-STATION ("boiler-3"), whose metrics are its polled registers by their
// mnemonics, with aliases 1, 2, ... in the order of the file, fixed for as long as it runs.
//
//   NBIRTH  seq 0: bdSeq (UInt64) and Node Control/Rebirth (Boolean, false)
//   DBIRTH  every metric of a device that answers (once every register has a result), by name
//           and alias: datatype Int32 for the
//           model's whole-number registers (Int64 for its long ones), Float for the others; the
//           value, or null while its last reading failed; properties Quality (Int32, the
//           driver's: 192 good), unit and label (String) where the file gives them
//   DDATA   a metric whose value or quality changed, by alias only
//   DDEATH  a device all of whose readings fail (a silent meter, a lost line); DBIRTH again at
//           its first good reading
//   NDEATH  bdSeq: the last will of each connection, and sent on a clean stop
//   NCMD    Node Control/Rebirth = true: NBIRTH and every DBIRTH again
//   DCMD    with [mqtt] writes: each metric (by name or alias) a write, under the rule of every
//           front end; nothing is answered: the new value comes as DDATA when it was taken
//   spBv1.0/STATE/HOST  with primary_host_id: nothing is born or sent while that host is not
//           online; births again when it comes back
//
// seq counts 0..255 and round again over every message but NDEATH; bdSeq counts the connections
// that came up (modulo 256), from 0 at each start of the process and on over reloads.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "service/mqtt/mqtt_payload_format.h"
#include "service/mqtt/sparkplug_payload.h"

namespace service {

class SparkplugFormat final : public MqttPayloadFormat {
public:
    explicit SparkplugFormat(const ServiceConfig& config);

    OutgoingMessage Will() override;
    std::vector<std::string> Subscriptions() const override;
    MqttCommand Parse(std::string_view topic, std::string_view payload, bool retain) const override;
    std::optional<OutgoingMessage> Answer(const MqttWrite&,
                                          const std::optional<WriteResult>&) const override {
        return std::nullopt;
    }
    void Connected(std::vector<OutgoingMessage>& out) override;
    void Reading(std::string_view line, const LiveCell& cell,
                 std::vector<OutgoingMessage>& out) override;
    void Command(const MqttCommand& command, std::vector<OutgoingMessage>& out) override;
    OutgoingMessage Goodbye() override;

private:
    struct Slot {
        std::string mnemonic;
        std::uint64_t alias = 0;
        sparkplug::DataType type = sparkplug::DataType::kFloat;
        std::string unit;
        std::string label;
        bool known = false;  // a result has come
        bool ok = false;
        double value = 0;
        std::int16_t quality = 0;
        std::int64_t utcMs = 0;
        // What the host was last told of it.
        bool sentOk = false;
        double sentValue = 0;
        std::int16_t sentQuality = 0;
    };
    struct Device {
        std::string id;
        std::string line;
        std::int16_t station = 0;
        std::vector<Slot> slots;
        bool born = false;  // a DBIRTH in this birth, and no DDEATH since
    };

    std::string Topic(std::string_view type, std::string_view device = {}) const;
    std::uint64_t NextSeq();
    void Births(std::vector<OutgoingMessage>& out);
    OutgoingMessage DeviceBirth(Device& device);
    sparkplug::Metric SlotMetric(const Slot& slot, bool named) const;
    OutgoingMessage Death() const;

    MqttConfig mqtt_;
    std::vector<Device> devices_;
    std::map<std::tuple<std::string, std::int16_t, std::string>,
             std::pair<std::size_t, std::size_t>>
        where_;  // (line, station, mnemonic) -> (device, slot)
    bool hostOnline_ = true;
    bool born_ = false;  // NBIRTH sent and the host has not gone since
    std::uint8_t seq_ = 0;
    std::atomic<std::uint64_t> bdSeq_{0};
    std::atomic<bool> sessionUp_{false};  // Connected since the last Will
    std::atomic<bool> willSet_{false};
};

}  // namespace service
