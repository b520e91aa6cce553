// What guards the service's network interfaces, as read from [http] and [mqtt]: TLS files,
// bearer tokens and their roles, and the explicit keys that allow something plain
// (access_config.h reads them).
#pragma once

#include <string>
#include <vector>

namespace service {

enum class TokenRole { kRead, kWrite };  // a write token reads as well

struct AccessToken {
    std::string token;
    TokenRole role = TokenRole::kRead;
};

// [http]: TLS from a certificate and key; tokens from the file itself and from token_file.
struct HttpAccess {
    std::string tlsCertificate;  // "" : plain HTTP
    std::string tlsKey;
    bool plainOnNetwork = false;  // plain HTTP on an address other than loopback
    bool readsNeedToken = false;  // read_access = "token"
    std::vector<AccessToken> tokens;

    bool Tls() const { return !tlsCertificate.empty(); }
};

// [mqtt]: TLS to the broker, checked against `tlsCaFile`; a client certificate when the broker
// asks for one.
struct MqttAccess {
    std::string tlsCaFile;  // "" : plain MQTT
    std::string tlsCertificate;
    std::string tlsKey;
    bool allowPlainPassword = false;

    bool Tls() const { return !tlsCaFile.empty(); }
};

}  // namespace service
