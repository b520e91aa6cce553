// Validation of the two texts that address a tag on the instrument: the register text, against
// the register table of the tag's model, and the station text.
#pragma once

#include <cstdint>
#include <optional>

#include "records/tag.h"

namespace catalogue {

// Results of ParseRegister, a 16-bit status.
inline constexpr std::uint16_t kRegisterAccepted = 0;
inline constexpr std::uint16_t kRegisterRefused = 1;
inline constexpr std::uint16_t kRegisterTypeRefused = 0x8001;

// The register text is worked on in a private copy of 31 characters and its NUL.
inline constexpr std::size_t kRegisterTextCapacity = 31;

struct RegisterVerdict {
    std::uint16_t result;
    // For a data-type refusal: the message naming the type the tag ought to have chosen.
    const char* dataTypeMessage = nullptr;
};

// Looks the register text of `tag` up in its model's table and fills `binding` as far as the
// verdict allows: registerIndex once a mnemonic begins the text; descriptor and suffix (-1) once
// the text is exactly that mnemonic. Leading and trailing spaces (0x20 only) are ignored; the
// comparison is case-sensitive; a text longer than the working copy is refused. No other byte of
// `binding` is written.
RegisterVerdict ParseRegister(const TagSpec& tag, TagBinding& binding);

// The number of a station text of one or two ASCII decimal digits (0..99), else nothing.
std::optional<std::int32_t> ParseStation(const char* text);

}  // namespace catalogue
