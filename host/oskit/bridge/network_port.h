// A line reached over the network through a serial device server: "tcp://HOST:PORT" passes the
// bytes as they are, "rfc2217://HOST:PORT" speaks telnet with the serial port options, so that
// the line's settings reach the server's port. Both qm4720ctl and qm4720d read a port's name
// here, so that they take and refuse the same names.
#pragma once

#include <string>
#include <string_view>

namespace host {

enum class NetworkScheme { kRawTcp, kRfc2217 };

struct NetworkPort {
    NetworkScheme scheme = NetworkScheme::kRawTcp;
    std::string host;  // a name or an address; an IPv6 address without its brackets
    int port = 0;      // 1..65535
};

enum class PortKind {
    kDevice,     // no scheme: a device or a link to one
    kNetwork,    // a network port, read into `network`
    kMalformed,  // a scheme of ours with a host or port that cannot be used (`error` says why)
};

// What `name` names. Only the two schemes above are network ports; any other "x://" is refused,
// since a device path never looks like that and a typo would otherwise be opened as a file.
PortKind ReadPortName(std::string_view name, NetworkPort& network, std::string& error);

// "rfc2217://HOST:PORT" as a user would write it again (brackets around an IPv6 address).
std::string NetworkPortName(const NetworkPort& port);

// The server's end, whatever the scheme: one device server port is one line, so tcp://h:p and
// rfc2217://h:p are the same line. The host's name in lower case.
std::string NetworkPortIdentity(const NetworkPort& port);

}  // namespace host
