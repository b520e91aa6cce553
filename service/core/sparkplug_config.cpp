#include "service/core/sparkplug_config.h"

#include "service/core/config_section.h"

namespace service {
namespace {

// Sparkplug's ids are topic levels: never empty, never MQTT's separator or wildcards.
void RefuseUnlessTopicLevel(const Section& mqtt, std::string_view key, const std::string& id) {
    if (id.empty() || id.find_first_of("/+#") != std::string::npos) {
        mqtt.Refuse(key, "expected a name without / + or #, got \"" + id + "\"");
    }
}

}  // namespace

SparkplugConfig ReadSparkplug(const Section& mqtt) {
    SparkplugConfig s;
    const std::string payload = mqtt.String("payload", "json", false);
    if (payload != "json" && payload != "sparkplug-b") {
        mqtt.Refuse("payload", "expected \"json\" or \"sparkplug-b\", got \"" + payload + "\"");
    }
    s.enabled = payload == "sparkplug-b";
    if (!s.enabled) {
        // A SCADA host waiting for this node would wait in vain: said now, not after a start.
        for (const char* key : {"group_id", "edge_node_id", "primary_host_id"}) {
            if (mqtt.Find(key) != nullptr) mqtt.Refuse(key, "only with payload = \"sparkplug-b\"");
        }
        return s;
    }
    s.groupId = mqtt.String("group_id", "", true);
    RefuseUnlessTopicLevel(mqtt, "group_id", s.groupId);
    s.edgeNodeId = mqtt.String("edge_node_id", "", true);
    RefuseUnlessTopicLevel(mqtt, "edge_node_id", s.edgeNodeId);
    if (mqtt.Find("primary_host_id") != nullptr) {
        s.primaryHostId = mqtt.String("primary_host_id", "", true);
        RefuseUnlessTopicLevel(mqtt, "primary_host_id", s.primaryHostId);
    }
    return s;
}

}  // namespace service
