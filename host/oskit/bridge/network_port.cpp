#include "host/oskit/bridge/network_port.h"

#include <algorithm>
#include <charconv>

namespace host {
namespace {

constexpr struct {
    std::string_view prefix;
    NetworkScheme scheme;
} kSchemes[] = {{"tcp://", NetworkScheme::kRawTcp}, {"rfc2217://", NetworkScheme::kRfc2217}};

bool HostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

}  // namespace

PortKind ReadPortName(std::string_view name, NetworkPort& network, std::string& error) {
    const std::size_t schemeEnd = name.find("://");
    if (schemeEnd == std::string_view::npos) return PortKind::kDevice;
    const auto scheme = std::find_if(std::begin(kSchemes), std::end(kSchemes), [&](const auto& s) {
        return name.substr(0, s.prefix.size()) == s.prefix;
    });
    if (scheme == std::end(kSchemes)) {
        error = "port '" + std::string(name) +
                "': expected tcp://HOST:PORT or rfc2217://HOST:PORT, or a device";
        return PortKind::kMalformed;
    }
    const std::string_view rest = name.substr(scheme->prefix.size());
    const auto malformed = [&](const std::string& why) {
        error = "port '" + std::string(name) + "': " + why;
        return PortKind::kMalformed;
    };
    std::string_view host;
    std::string_view port;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos || rest.substr(close + 1, 1) != ":") {
            return malformed("expected [IPv6-ADDRESS]:PORT after the scheme");
        }
        host = rest.substr(1, close - 1);
        port = rest.substr(close + 2);
        if (host.empty() || host.find_first_not_of("0123456789abcdefABCDEF:.") != host.npos) {
            return malformed("expected an IPv6 address between the brackets");
        }
    } else {
        const std::size_t colon = rest.rfind(':');
        if (colon == std::string_view::npos)
            return malformed("expected HOST:PORT after the scheme");
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (host.empty() || !std::all_of(host.begin(), host.end(), HostCharacter)) {
            return malformed("expected a host name or address before the ':'");
        }
    }
    int number = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (port.empty() || ec != std::errc() || end != port.data() + port.size() || number < 1 ||
        number > 65535) {
        return malformed("expected a TCP port 1..65535 after the host");
    }
    network = NetworkPort{scheme->scheme, std::string(host), number};
    return PortKind::kNetwork;
}

std::string NetworkPortName(const NetworkPort& port) {
    const bool ipv6 = port.host.find(':') != std::string::npos;
    const std::string host = ipv6 ? "[" + port.host + "]" : port.host;
    const std::string_view scheme =
        port.scheme == NetworkScheme::kRfc2217 ? "rfc2217://" : "tcp://";
    return std::string(scheme) + host + ":" + std::to_string(port.port);
}

std::string NetworkPortIdentity(const NetworkPort& port) {
    std::string host = port.host;
    std::transform(host.begin(), host.end(), host.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    return "network " + host + " port " + std::to_string(port.port);
}

}  // namespace host
