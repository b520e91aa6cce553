// Tag texts: ParseRegister over arbitrary TagSpec bytes (texts without their NUL included) and
// the station text. The binding's host bytes stay untouched, and an accepted register is exactly
// a table entry's mnemonic.
//
// Input: one selector byte, then the record's bytes.
#include <cstring>
#include <memory>
#include <string_view>

#include "catalogue/tag_validation.h"
#include "contract/register_tables.h"
#include "fuzz/fuzz_check.h"

namespace {

void CheckRegister(const std::uint8_t* data, std::size_t size) {
    // The record on the heap at its exact size: a read past it is caught.
    auto tag = std::make_unique<TagSpec>();
    std::memset(tag.get(), 0, sizeof(TagSpec));
    std::memcpy(tag.get(), data, std::min(size, sizeof(TagSpec)));

    TagBinding binding;
    std::memset(&binding, 0xC3, sizeof binding);
    TagBinding before;
    std::memcpy(&before, &binding, sizeof binding);

    const catalogue::RegisterVerdict verdict = catalogue::ParseRegister(*tag, binding);
    FUZZ_CHECK(verdict.result == catalogue::kRegisterAccepted ||
               verdict.result == catalogue::kRegisterRefused ||
               verdict.result == catalogue::kRegisterTypeRefused);
    FUZZ_CHECK(std::memcmp(binding.host0, before.host0, sizeof binding.host0) == 0);
    FUZZ_CHECK(std::memcmp(binding.host50, before.host50, sizeof binding.host50) == 0);
    if (verdict.result == catalogue::kRegisterRefused) {
        FUZZ_CHECK(
            std::memcmp(&binding.descriptor, &before.descriptor, sizeof binding.descriptor) == 0);
        FUZZ_CHECK(std::memcmp(&binding.suffix, &before.suffix, sizeof binding.suffix) == 0);
        return;
    }
    // Accepted or refused for its type: a table entry whose mnemonic is the trimmed text.
    FUZZ_CHECK(binding.suffix == -1);
    const std::string_view model(tag->modelName, strnlen(tag->modelName, sizeof tag->modelName));
    const auto table = contract::IsQM4720NModel(model) ? contract::QM4720NRegisterTable()
                                                       : contract::DefaultRegisterTable();
    FUZZ_CHECK(binding.registerIndex >= 0 &&
               static_cast<std::size_t>(binding.registerIndex) < table.size());
    FUZZ_CHECK(binding.descriptor == &table[static_cast<std::size_t>(binding.registerIndex)]);
    std::string_view text(tag->registerText, strnlen(tag->registerText, sizeof tag->registerText));
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    const auto& entry = *binding.descriptor;
    FUZZ_CHECK(text ==
               std::string_view(entry.mnemonic, strnlen(entry.mnemonic, sizeof entry.mnemonic)));
    const bool typeFits = (entry.dataType & tag->typeMask) != 0;
    FUZZ_CHECK(typeFits == (verdict.result == catalogue::kRegisterAccepted));
    if (!typeFits) FUZZ_CHECK(verdict.dataTypeMessage != nullptr);
}

void CheckStation(const std::uint8_t* data, std::size_t size) {
    // A NUL-terminated text in a buffer of exactly its length.
    const std::unique_ptr<char[]> text(new char[size + 1]);
    std::memcpy(text.get(), data, size);
    text[size] = '\0';
    const auto station = catalogue::ParseStation(text.get());
    const std::size_t length = strnlen(text.get(), size + 1);
    bool digits = length >= 1 && length <= 2;
    for (std::size_t i = 0; i < length && digits; ++i) digits = text[i] >= '0' && text[i] <= '9';
    FUZZ_CHECK(station.has_value() == digits);
    if (station) {
        FUZZ_CHECK(*station >= 0 && *station <= 99);
        const int expected = length == 1 ? text[0] - '0' : (text[0] - '0') * 10 + (text[1] - '0');
        FUZZ_CHECK(*station == expected);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    if ((data[0] & 1) == 0) {
        CheckRegister(data + 1, size - 1);
    } else {
        CheckStation(data + 1, size - 1);
    }
    return 0;
}
