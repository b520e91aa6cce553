// The register catalogue slots of the driver object: the register tables, and tag validation
// (ParseRegister, CheckStation) reported through the result and m_nError.
#include "catalogue/tag_validation.h"
#include "contract/register_tables.h"
#include "driver/ver4720ezo.h"

namespace driver {

std::int32_t VER4720Ezo::GetRegisterTable(const char* modelName, const RegisterDescriptor** table,
                                          std::int32_t* count) {
    if (table == nullptr || count == nullptr) return 0;
    const std::span<const RegisterDescriptor> chosen = contract::RegisterTableFor(modelName);
    *table = chosen.data();
    *count = static_cast<std::int32_t>(chosen.size());
    return 1;
}

std::uint16_t VER4720Ezo::ParseRegister(const TagSpec* tag, TagBinding* binding) {
    if (tag == nullptr || binding == nullptr) return catalogue::kRegisterRefused;
    const catalogue::RegisterVerdict verdict = catalogue::ParseRegister(*tag, *binding);
    if (verdict.result == catalogue::kRegisterRefused) {
        RecordError(contract::kErrorRegisterName);
    } else if (verdict.result == catalogue::kRegisterTypeRefused) {
        // The data-type message becomes entry 3 of the module's table before the error points
        // at it, so the host reads the message for the register it just tried.
        ReplaceDataTypeMessage(verdict.dataTypeMessage);
        RecordError(contract::kErrorDataType);
    }
    return verdict.result;
}

std::int32_t VER4720Ezo::CheckStation(const char* stationText, std::int32_t* station) {
    if (stationText == nullptr || station == nullptr) return 0;
    const std::optional<std::int32_t> number = catalogue::ParseStation(stationText);
    if (!number) {
        RecordError(contract::kErrorStation);
        return 0;
    }
    *station = *number;
    return 1;
}

}  // namespace driver
