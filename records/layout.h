// How the host records are laid out.
//
// On the 32-bit Windows build every record has exactly the host's byte offsets and widths; each
// record header checks them with static_asserts, so the cross build fails if a field moves.
//
// On 64-bit builds the same declarations apply unchanged: the same fields in the same order with
// the same widths, bytes that belong to the host declared as opaque byte arrays of the same
// widths, pointers widened to 8 bytes, and natural alignment. The resulting 64-bit offsets are
// checked too, so a host on Linux can rely on them. 8-byte time stamps are two 32-bit halves, so
// that they keep their 4-byte alignment (and their offset) on the 32-bit build.
#pragma once

#include <cstddef>

namespace records {
inline constexpr bool kPointers32 = sizeof(void*) == 4;
inline constexpr bool kPointers64 = sizeof(void*) == 8;
}  // namespace records

// Checks an offset against the 32-bit layout and the 64-bit layout.
#define QM_RECORD_OFFSET(type, field, off32, off64)                                    \
    static_assert(offsetof(type, field) == (records::kPointers32 ? (off32) : (off64)), \
                  #type "." #field " moved")
#define QM_RECORD_SIZE(type, size32, size64) \
    static_assert(sizeof(type) == (records::kPointers32 ? (size32) : (size64)), #type " resized")
