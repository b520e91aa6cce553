#include "service/mqtt/sparkplug_payload.h"

#include <cmath>
#include <memory>

#include "sparkplug_b.pb-c.h"

namespace service::sparkplug {
namespace {

using PbPayload = Qm4720__Sparkplug__Payload;
using PbMetric = Qm4720__Sparkplug__Payload__Metric;
using PbPropertySet = Qm4720__Sparkplug__Payload__PropertySet;
using PbPropertyValue = Qm4720__Sparkplug__Payload__PropertyValue;

// protoc-c's structs take char*, which packing only reads.
char* Text(const std::string& text) {
    return const_cast<char*>(text.c_str());
}

bool Signed(DataType type) {
    return type == DataType::kInt8 || type == DataType::kInt16 || type == DataType::kInt32 ||
           type == DataType::kInt64;
}

bool NarrowInteger(DataType type) {
    return type == DataType::kInt8 || type == DataType::kInt16 || type == DataType::kInt32 ||
           type == DataType::kUInt8 || type == DataType::kUInt16 || type == DataType::kUInt32;
}

std::int64_t WholeOf(const Value& value) {
    if (const auto* i = std::get_if<std::int64_t>(&value)) return *i;
    if (const auto* d = std::get_if<double>(&value)) return std::llround(*d);
    if (const auto* b = std::get_if<bool>(&value)) return *b ? 1 : 0;
    return 0;
}

double NumberOf(const Value& value) {
    if (const auto* d = std::get_if<double>(&value)) return *d;
    if (const auto* i = std::get_if<std::int64_t>(&value)) return static_cast<double>(*i);
    if (const auto* b = std::get_if<bool>(&value)) return *b ? 1 : 0;
    return 0;
}

// Sets one of the wire's value fields of a metric or a property, which protoc-c makes alike.
template <typename Pb, typename Case>
void SetValue(Pb& pb, DataType type, const Value& value, const std::string* text, Case intCase,
              Case longCase, Case floatCase, Case doubleCase, Case boolCase, Case stringCase) {
    if (NarrowInteger(type)) {
        pb.value_case = intCase;
        pb.int_value = static_cast<std::uint32_t>(WholeOf(value));
    } else if (type == DataType::kInt64 || type == DataType::kUInt64) {
        pb.value_case = longCase;
        pb.long_value = static_cast<std::uint64_t>(WholeOf(value));
    } else if (type == DataType::kFloat) {
        pb.value_case = floatCase;
        pb.float_value = static_cast<float>(NumberOf(value));
    } else if (type == DataType::kDouble) {
        pb.value_case = doubleCase;
        pb.double_value = NumberOf(value);
    } else if (type == DataType::kBoolean) {
        pb.value_case = boolCase;
        pb.boolean_value = WholeOf(value) != 0;
    } else if (text != nullptr) {
        pb.value_case = stringCase;
        pb.string_value = Text(*text);
    }
}

// Reads back what SetValue wrote, whichever field the sender chose.
template <typename Pb, typename Case>
Value GetValue(const Pb& pb, DataType type, Case intCase, Case longCase, Case floatCase,
               Case doubleCase, Case boolCase, Case stringCase) {
    const Case c = pb.value_case;
    if (c == intCase) {
        if (type == DataType::kInt8) return std::int64_t{static_cast<std::int8_t>(pb.int_value)};
        if (type == DataType::kInt16) return std::int64_t{static_cast<std::int16_t>(pb.int_value)};
        if (Signed(type)) return std::int64_t{static_cast<std::int32_t>(pb.int_value)};
        return std::int64_t{pb.int_value};
    }
    if (c == longCase) return static_cast<std::int64_t>(pb.long_value);
    if (c == floatCase) return static_cast<double>(pb.float_value);
    if (c == doubleCase) return pb.double_value;
    if (c == boolCase) return pb.boolean_value != 0;
    if (c == stringCase && pb.string_value != nullptr) return std::string(pb.string_value);
    return std::monostate{};
}

// Everything a packed payload points into, kept alive until it is packed.
struct Storage {
    std::vector<PbMetric> metrics;
    std::vector<PbMetric*> metricPointers;
    std::vector<PbPropertySet> sets;
    std::vector<std::vector<char*>> keys;
    std::vector<std::vector<PbPropertyValue>> values;
    std::vector<std::vector<PbPropertyValue*>> valuePointers;
};

void Fill(PbMetric& pb, const Metric& m) {
    pb = QM4720__SPARKPLUG__PAYLOAD__METRIC__INIT;
    if (!m.name.empty()) pb.name = Text(m.name);
    pb.has_alias = m.alias.has_value();
    pb.alias = m.alias.value_or(0);
    pb.has_timestamp = m.timestamp.has_value();
    pb.timestamp = m.timestamp.value_or(0);
    pb.has_datatype = true;
    pb.datatype = static_cast<std::uint32_t>(m.type);
    if (std::holds_alternative<std::monostate>(m.value)) {
        pb.has_is_null = true;
        pb.is_null = true;
        return;
    }
    const auto* text = std::get_if<std::string>(&m.value);
    using C = Qm4720__Sparkplug__Payload__Metric__ValueCase;
    SetValue(pb, m.type, m.value, text, C::QM4720__SPARKPLUG__PAYLOAD__METRIC__VALUE_INT_VALUE,
             C::QM4720__SPARKPLUG__PAYLOAD__METRIC__VALUE_LONG_VALUE,
             C::QM4720__SPARKPLUG__PAYLOAD__METRIC__VALUE_FLOAT_VALUE,
             C::QM4720__SPARKPLUG__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE,
             C::QM4720__SPARKPLUG__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE,
             C::QM4720__SPARKPLUG__PAYLOAD__METRIC__VALUE_STRING_VALUE);
}

void FillProperties(Storage& s, std::size_t i, const Metric& m) {
    std::vector<char*>& keys = s.keys[i];
    std::vector<PbPropertyValue>& values = s.values[i];
    std::vector<PbPropertyValue*>& pointers = s.valuePointers[i];
    values.resize(m.properties.size());
    for (std::size_t k = 0; k < m.properties.size(); ++k) {
        const Property& p = m.properties[k];
        PbPropertyValue& pb = values[k];
        pb = QM4720__SPARKPLUG__PAYLOAD__PROPERTY_VALUE__INIT;
        pb.has_type = true;
        pb.type = static_cast<std::uint32_t>(p.type);
        if (std::holds_alternative<std::monostate>(p.value)) {
            pb.has_is_null = true;
            pb.is_null = true;
        } else {
            using C = Qm4720__Sparkplug__Payload__PropertyValue__ValueCase;
            SetValue(pb, p.type, p.value, std::get_if<std::string>(&p.value),
                     C::QM4720__SPARKPLUG__PAYLOAD__PROPERTY_VALUE__VALUE_INT_VALUE,
                     C::QM4720__SPARKPLUG__PAYLOAD__PROPERTY_VALUE__VALUE_LONG_VALUE,
                     C::QM4720__SPARKPLUG__PAYLOAD__PROPERTY_VALUE__VALUE_FLOAT_VALUE,
                     C::QM4720__SPARKPLUG__PAYLOAD__PROPERTY_VALUE__VALUE_DOUBLE_VALUE,
                     C::QM4720__SPARKPLUG__PAYLOAD__PROPERTY_VALUE__VALUE_BOOLEAN_VALUE,
                     C::QM4720__SPARKPLUG__PAYLOAD__PROPERTY_VALUE__VALUE_STRING_VALUE);
        }
        keys.push_back(Text(p.key));
        pointers.push_back(&pb);
    }
    PbPropertySet& set = s.sets[i];
    set = QM4720__SPARKPLUG__PAYLOAD__PROPERTY_SET__INIT;
    set.n_keys = keys.size();
    set.keys = keys.data();
    set.n_values = pointers.size();
    set.values = pointers.data();
    s.metrics[i].properties = &set;
}

}  // namespace

std::string Encode(const Payload& payload) {
    Storage s;
    const std::size_t n = payload.metrics.size();
    s.metrics.resize(n);
    s.sets.resize(n);
    s.keys.resize(n);
    s.values.resize(n);
    s.valuePointers.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        Fill(s.metrics[i], payload.metrics[i]);
        if (!payload.metrics[i].properties.empty()) FillProperties(s, i, payload.metrics[i]);
        s.metricPointers.push_back(&s.metrics[i]);
    }
    PbPayload pb = QM4720__SPARKPLUG__PAYLOAD__INIT;
    pb.has_timestamp = payload.timestamp.has_value();
    pb.timestamp = payload.timestamp.value_or(0);
    pb.has_seq = payload.seq.has_value();
    pb.seq = payload.seq.value_or(0);
    pb.n_metrics = n;
    pb.metrics = s.metricPointers.data();
    std::string bytes(qm4720__sparkplug__payload__get_packed_size(&pb), '\0');
    qm4720__sparkplug__payload__pack(&pb, reinterpret_cast<std::uint8_t*>(bytes.data()));
    return bytes;
}

std::optional<Payload> Decode(std::string_view bytes) {
    const auto Free = [](PbPayload* p) { qm4720__sparkplug__payload__free_unpacked(p, nullptr); };
    const std::unique_ptr<PbPayload, decltype(Free)> pb(
        qm4720__sparkplug__payload__unpack(nullptr, bytes.size(),
                                           reinterpret_cast<const std::uint8_t*>(bytes.data())),
        Free);
    if (pb == nullptr) return std::nullopt;
    Payload out;
    if (pb->has_timestamp) out.timestamp = pb->timestamp;
    if (pb->has_seq) out.seq = pb->seq;
    for (std::size_t i = 0; i < pb->n_metrics; ++i) {
        const PbMetric& m = *pb->metrics[i];
        Metric metric;
        if (m.name != nullptr) metric.name = m.name;
        if (m.has_alias) metric.alias = m.alias;
        if (m.has_timestamp) metric.timestamp = m.timestamp;
        metric.type = static_cast<DataType>(m.has_datatype ? m.datatype : 0);
        if (!(m.has_is_null && m.is_null)) {
            using C = Qm4720__Sparkplug__Payload__Metric__ValueCase;
            metric.value =
                GetValue(m, metric.type, C::QM4720__SPARKPLUG__PAYLOAD__METRIC__VALUE_INT_VALUE,
                         C::QM4720__SPARKPLUG__PAYLOAD__METRIC__VALUE_LONG_VALUE,
                         C::QM4720__SPARKPLUG__PAYLOAD__METRIC__VALUE_FLOAT_VALUE,
                         C::QM4720__SPARKPLUG__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE,
                         C::QM4720__SPARKPLUG__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE,
                         C::QM4720__SPARKPLUG__PAYLOAD__METRIC__VALUE_STRING_VALUE);
        }
        if (m.properties != nullptr) {
            const PbPropertySet& set = *m.properties;
            for (std::size_t k = 0; k < set.n_keys && k < set.n_values; ++k) {
                const PbPropertyValue& v = *set.values[k];
                Property p;
                p.key = set.keys[k];
                p.type = static_cast<DataType>(v.has_type ? v.type : 0);
                if (!(v.has_is_null && v.is_null)) {
                    using C = Qm4720__Sparkplug__Payload__PropertyValue__ValueCase;
                    p.value = GetValue(
                        v, p.type, C::QM4720__SPARKPLUG__PAYLOAD__PROPERTY_VALUE__VALUE_INT_VALUE,
                        C::QM4720__SPARKPLUG__PAYLOAD__PROPERTY_VALUE__VALUE_LONG_VALUE,
                        C::QM4720__SPARKPLUG__PAYLOAD__PROPERTY_VALUE__VALUE_FLOAT_VALUE,
                        C::QM4720__SPARKPLUG__PAYLOAD__PROPERTY_VALUE__VALUE_DOUBLE_VALUE,
                        C::QM4720__SPARKPLUG__PAYLOAD__PROPERTY_VALUE__VALUE_BOOLEAN_VALUE,
                        C::QM4720__SPARKPLUG__PAYLOAD__PROPERTY_VALUE__VALUE_STRING_VALUE);
                }
                metric.properties.push_back(std::move(p));
            }
        }
        out.metrics.push_back(std::move(metric));
    }
    return out;
}

}  // namespace service::sparkplug
