#include "host/value_field.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "protocol/value_fields.h"
#include "records/data_type.h"

namespace host {

std::optional<double> SentFieldValue(std::uint16_t type, double value) {
    if (type != kTypeFloat) return value;
    ValueSlot slot{};
    slot.asFloat = static_cast<float>(value);
    protocol::DataField field{};
    if (protocol::EncodeDataField(type, slot, field) != protocol::EncodeRefusal::kNone) {
        return std::nullopt;
    }
    const auto decoded =
        protocol::DecodeDataField(type, std::string_view(field.data(), field.size()));
    if (!decoded) return std::nullopt;
    return decoded->AsNumber();
}

bool ReadBackMatches(double readBack, double sent) {
    return std::fabs(readBack - sent) <= 1e-6 * std::max(1.0, std::fabs(sent));
}

}  // namespace host
