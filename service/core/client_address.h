// The client addresses a listener lets do something (Modbus TCP writes): single addresses and
// networks in CIDR notation, IPv4 and IPv6, as the configuration writes them ("127.0.0.1",
// "10.0.0.0/24", "::1", "fd00::/8").
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace service {

struct AddressRange {
    int family = AF_INET;                  // AF_INET or AF_INET6
    std::array<std::uint8_t, 16> bytes{};  // the first 4 for IPv4
    int prefixBits = 32;
};

// `text` as a range; nullopt with `why` set when it is no numeric address, its prefix is out of
// range, or it has bits set past its prefix ("10.0.0.1/24": 10.0.0.0/24 is meant, or the host
// alone).
std::optional<AddressRange> ParseAddressRange(std::string_view text, std::string& why);

// Whether `address` (a host, as ParseAddressRange takes one) lies in `range`. An IPv4 client that
// reaches an IPv6 listener (::ffff:a.b.c.d) is judged as its IPv4 address.
bool RangeHolds(const AddressRange& range, const AddressRange& address);

// The address of a connected peer as getpeername gives it; nullopt for another family.
std::optional<AddressRange> HostOf(const sockaddr_storage& peer);

bool AnyRangeHolds(std::span<const AddressRange> ranges, const AddressRange& address);

}  // namespace service
