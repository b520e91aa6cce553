#include "service/core/client_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace service {
namespace {

// `text` in double quotes, built by appending (GCC 12's -Wrestrict misjudges "\"" + string).
std::string Quoted(std::string_view text) {
    return std::string(1, '"').append(text).append(1, '"');
}

constexpr std::array<std::uint8_t, 12> kMappedPrefix{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

// ::ffff:a.b.c.d as a.b.c.d; any other address as it is.
AddressRange Unmapped(const AddressRange& address) {
    if (address.family != AF_INET6 || address.prefixBits != 128 ||
        !std::equal(kMappedPrefix.begin(), kMappedPrefix.end(), address.bytes.begin())) {
        return address;
    }
    AddressRange v4;
    std::copy_n(address.bytes.begin() + 12, 4, v4.bytes.begin());
    return v4;
}

bool BitsMatch(const std::array<std::uint8_t, 16>& a, const std::array<std::uint8_t, 16>& b,
               int bits) {
    const int whole = bits / 8;
    if (!std::equal(a.begin(), a.begin() + whole, b.begin())) return false;
    if (bits % 8 == 0) return true;
    const auto mask = static_cast<std::uint8_t>(0xFF << (8 - bits % 8));
    return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

std::optional<AddressRange> ParseAddressRange(std::string_view text, std::string& why) {
    const std::size_t slash = text.find('/');
    const std::string host(text.substr(0, slash));
    AddressRange range;
    if (inet_pton(AF_INET, host.c_str(), range.bytes.data()) == 1) {
        range.family = AF_INET;
        range.prefixBits = 32;
    } else if (inet_pton(AF_INET6, host.c_str(), range.bytes.data()) == 1) {
        range.family = AF_INET6;
        range.prefixBits = 128;
    } else {
        why = Quoted(text) +
              " is no numeric IPv4 or IPv6 address (ADDRESS or ADDRESS/PREFIX is expected)";
        return std::nullopt;
    }
    if (slash == std::string_view::npos) return range;
    const std::string_view bits = text.substr(slash + 1);
    int prefix = -1;
    const auto [end, error] = std::from_chars(bits.data(), bits.data() + bits.size(), prefix);
    if (bits.empty() || error != std::errc() || end != bits.data() + bits.size() || prefix < 0 ||
        prefix > range.prefixBits) {
        why = Quoted(text) + ": the prefix must be a length from 0 to " +
              std::to_string(range.prefixBits);
        return std::nullopt;
    }
    // A host part past the prefix says that the writer meant something else than the network.
    for (int bit = prefix; bit < range.prefixBits; ++bit) {
        if (range.bytes[bit / 8] & (0x80 >> (bit % 8))) {
            why = Quoted(text) + " has bits set past its /" + std::to_string(prefix) +
                  " (write the network's first address, or the host alone)";
            return std::nullopt;
        }
    }
    range.prefixBits = prefix;
    return range;
}

bool RangeHolds(const AddressRange& range, const AddressRange& address) {
    const AddressRange host = Unmapped(address);
    return host.family == range.family && BitsMatch(range.bytes, host.bytes, range.prefixBits);
}

std::optional<AddressRange> HostOf(const sockaddr_storage& peer) {
    AddressRange host;
    if (peer.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(peer);
        std::memcpy(host.bytes.data(), &in.sin_addr, 4);
        return host;
    }
    if (peer.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(peer);
        host.family = AF_INET6;
        host.prefixBits = 128;
        std::memcpy(host.bytes.data(), &in6.sin6_addr, 16);
        return Unmapped(host);
    }
    return std::nullopt;
}

bool AnyRangeHolds(std::span<const AddressRange> ranges, const AddressRange& address) {
    return std::any_of(ranges.begin(), ranges.end(),
                       [&](const AddressRange& range) { return RangeHolds(range, address); });
}

}  // namespace service
