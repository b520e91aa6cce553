#include "catalogue/tag_validation.h"

#include <cstring>
#include <span>
#include <string_view>

#include "contract/data_type_messages.h"
#include "contract/register_tables.h"

namespace catalogue {
namespace {

// A host text field that may lack its NUL: read no further than the field.
std::string_view FieldText(const char* field, std::size_t width) {
    return std::string_view(field, strnlen(field, width));
}

std::string_view TrimSpaces(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

}  // namespace

RegisterVerdict ParseRegister(const TagSpec& tag, TagBinding& binding) {
    const RegisterVerdict refused{kRegisterRefused};

    const std::string_view model = FieldText(tag.modelName, sizeof tag.modelName);
    const std::span<const RegisterDescriptor> table = contract::IsQM4720NModel(model)
                                                          ? contract::QM4720NRegisterTable()
                                                          : contract::DefaultRegisterTable();

    // The working copy holds 31 characters; a longer text cannot be a register name.
    const std::string_view raw = FieldText(tag.registerText, sizeof tag.registerText);
    if (raw.size() > kRegisterTextCapacity) return refused;
    const std::string_view text = TrimSpaces(raw);
    if (text.empty()) return refused;

    // The first entry whose mnemonic begins the text. PT stands twice in the default table; the
    // lower index wins.
    for (std::size_t index = 0; index < table.size(); ++index) {
        const RegisterDescriptor& entry = table[index];
        const std::string_view mnemonic = FieldText(entry.mnemonic, sizeof entry.mnemonic);
        if (!text.starts_with(mnemonic)) continue;

        binding.registerIndex = static_cast<std::int16_t>(index);
        if (text != mnemonic) return refused;  // the text goes on after the mnemonic

        binding.descriptor = &entry;
        binding.suffix = -1;
        if ((entry.dataType & tag.typeMask) != 0) return {kRegisterAccepted};
        return {kRegisterTypeRefused, contract::DataTypeMessage(entry.dataType)};
    }
    return refused;
}

std::optional<std::int32_t> ParseStation(const char* text) {
    const std::size_t length = strnlen(text, 3);
    if (length < 1 || length > 2) return std::nullopt;
    std::int32_t number = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        number = number * 10 + (text[i] - '0');
    }
    return number;
}

}  // namespace catalogue
