// Sparkplug B payloads as qm4720d uses them, encoded and decoded by the code that protoc-c makes
// from sparkplug_b.proto (nothing of the wire format is written here by hand): a timestamp, a
// sequence number and metrics that carry a name and/or an alias, a datatype, a value or null, and
// a property set of strings and 32-bit integers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace service::sparkplug {

// The wire's numbers of the datatypes qm4720d sends or takes.
enum class DataType : std::uint32_t {
    kInt8 = 1,
    kInt16 = 2,
    kInt32 = 3,
    kInt64 = 4,
    kUInt8 = 5,
    kUInt16 = 6,
    kUInt32 = 7,
    kUInt64 = 8,
    kFloat = 9,
    kDouble = 10,
    kBoolean = 11,
    kString = 12,
};

// A metric's or a property's value: none (null), a whole number, a number, a truth, a text.
using Value = std::variant<std::monostate, std::int64_t, double, bool, std::string>;

struct Property {
    std::string key;
    DataType type = DataType::kString;
    Value value;
};

struct Metric {
    std::string name;  // "" when only the alias names it
    std::optional<std::uint64_t> alias;
    std::optional<std::uint64_t> timestamp;  // ms since 1970-01-01 UTC
    DataType type = DataType::kFloat;
    Value value;  // monostate: is_null
    std::vector<Property> properties;
};

struct Payload {
    std::optional<std::uint64_t> timestamp;
    std::optional<std::uint64_t> seq;
    std::vector<Metric> metrics;
};

// The bytes of `payload`; a value that does not fit its datatype is sent as the datatype's
// wire field holds it (an Int32 as its two's complement, a Float rounded to 32 bits).
std::string Encode(const Payload& payload);

// `bytes` read back; nullopt when they are not a Sparkplug B payload. Whole numbers come back
// signed for the signed datatypes (an Int32 of -5 is -5) and as sent for the others.
std::optional<Payload> Decode(std::string_view bytes);

}  // namespace service::sparkplug
