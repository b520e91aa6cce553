// [mqtt]'s choice of payload and, for Sparkplug B, the names the plant's SCADA host knows this
// service by: read apart from the rest of [mqtt] so that the JSON reader stays as it was.
#pragma once

#include <string>

namespace service {

class Section;

// [mqtt] payload = "sparkplug-b", with group_id and edge_node_id (and primary_host_id when the
// edge node is to publish only while that host says it is online).
struct SparkplugConfig {
    bool enabled = false;       // false: payload = "json", the default
    std::string groupId;        // spBv1.0/GROUP/...
    std::string edgeNodeId;     // .../NBIRTH/EDGE
    std::string primaryHostId;  // "": no primary host (publish whenever connected)
};

// Reads [mqtt]'s payload, group_id, edge_node_id, primary_host_id. Throws the Section's refusal for
// a payload that is neither "json" nor "sparkplug-b", a missing group_id or edge_node_id with
// "sparkplug-b", an id that is not a topic level (empty, or with / + #), or Sparkplug's ids given
// with "json".
SparkplugConfig ReadSparkplug(const Section& mqtt);

}  // namespace service
