// Which client addresses a write_clients list lets write: a host alone, a network by its prefix,
// IPv4 and IPv6, and an IPv4 client that an IPv6 listener sees as ::ffff:a.b.c.d.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include "service/core/client_address.h"

namespace {

using service::AddressRange;

struct Match {
    const char* range;
    const char* client;
    bool holds;
};

const Match kMatches[] = {
    {"127.0.0.1", "127.0.0.1", true},
    {"127.0.0.1", "127.0.0.2", false},
    {"10.0.0.0/24", "10.0.0.255", true},
    {"10.0.0.0/24", "10.0.1.0", false},
    {"10.0.0.0/25", "10.0.0.127", true},
    {"10.0.0.0/25", "10.0.0.128", false},  // a prefix inside a byte
    {"10.0.0.0/9", "10.127.1.1", true},
    {"10.0.0.0/9", "10.128.0.1", false},
    {"0.0.0.0/0", "192.168.1.1", true},
    {"0.0.0.0/0", "::1", false},  // an IPv4 range holds no IPv6 client
    {"::1", "::1", true},
    {"::1", "::2", false},
    {"fd00::/8", "fdab:cd::1", true},
    {"fd00::/8", "fe80::1", false},
    {"10.0.0.0/24", "::ffff:10.0.0.7", true},  // IPv4 through an IPv6 listener
    {"10.0.0.0/24", "::ffff:10.0.1.7", false},
    {"::/0", "::ffff:10.0.0.7", false},  // taken as IPv4, which no IPv6 range holds
};

AddressRange Parse(const char* text) {
    std::string why;
    const auto range = service::ParseAddressRange(text, why);
    EXPECT_TRUE(range) << text << ": " << why;
    return range.value_or(AddressRange{});
}

TEST(ClientAddress, ARangeHoldsExactlyTheAddressesOfItsPrefix) {
    for (const Match& m : kMatches) {
        SCOPED_TRACE(std::string(m.range) + " / " + m.client);
        EXPECT_EQ(service::RangeHolds(Parse(m.range), Parse(m.client)), m.holds);
    }
}

TEST(ClientAddress, WhatIsNoAddressOrNetworkIsRefused) {
    for (const char* text : {"", "localhost", "10.0.0", "10.0.0.0/", "10.0.0.0/33", "10.0.0.0/-1",
                             "10.0.0.0/2x", "::1/129", "10.0.0.1/24", "fd00::1/8"}) {
        SCOPED_TRACE(text);
        std::string why;
        EXPECT_FALSE(service::ParseAddressRange(text, why));
        EXPECT_FALSE(why.empty());
    }
}

// What getpeername gives for a client of an IPv4 and of an IPv6 listener.
TEST(ClientAddress, APeersSocketAddressIsJudgedAsItsHost) {
    sockaddr_storage v4{};
    auto& in = reinterpret_cast<sockaddr_in&>(v4);
    in.sin_family = AF_INET;
    inet_pton(AF_INET, "10.0.0.7", &in.sin_addr);
    sockaddr_storage mapped{};
    auto& in6 = reinterpret_cast<sockaddr_in6&>(mapped);
    in6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "::ffff:10.0.0.7", &in6.sin6_addr);
    const AddressRange ranges[] = {Parse("192.168.0.0/16"), Parse("10.0.0.0/24")};
    for (const sockaddr_storage* peer : {&v4, &mapped}) {
        const auto host = service::HostOf(*peer);
        ASSERT_TRUE(host);
        EXPECT_TRUE(service::AnyRangeHolds(ranges, *host));
        EXPECT_FALSE(service::AnyRangeHolds(std::span(ranges, 1), *host));
    }
    sockaddr_storage unix{};
    unix.ss_family = AF_UNIX;
    EXPECT_FALSE(service::HostOf(unix));
}

}  // namespace
