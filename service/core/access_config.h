// The access keys of [http] and [mqtt], read and checked; the files they name are checked as the
// service would use them (tls_files.h), so that --check-config refuses what could not serve.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <toml++/toml.h>

#include "service/core/access_settings.h"

namespace service {

// A refusal of one key: its line in the file, its name within its table, why.
struct KeyRefusal {
    std::int64_t line;
    std::string key;
    std::string what;
};

// Reads the access keys of the [http] table `http` (named `key` in messages, e.g. "http"), whose
// `address` and `write_token` the loader has read already; `writeToken` joins the tokens as a
// write token. Files are checked at `now`.
std::optional<KeyRefusal> ReadHttpAccess(const toml::table& http, const std::string& address,
                                         const std::string& writeToken, bool writes,
                                         std::chrono::system_clock::time_point now,
                                         HttpAccess& access);

// Reads the access keys of [mqtt]; `hasPassword`: the loader read a password.
std::optional<KeyRefusal> ReadMqttAccess(const toml::table& mqtt, bool hasPassword,
                                         std::chrono::system_clock::time_point now,
                                         MqttAccess& access);

// A refusal when the file at `path`, whose parsed text is `root`, holds a token or a password and
// is readable by others than its owner and group. Its key is the full one (e.g.
// "http.read_tokens").
std::optional<KeyRefusal> ExposedSecret(const std::string& path, const toml::table& root);

// Why `token` cannot be a bearer token: too short to resist guessing, or holding what an
// Authorization header could not carry whole. Empty when it can.
std::string TokenProblem(const std::string& token);

// The warnings of certificates that expire within 30 days of `now`, each naming key and file.
std::vector<std::string> CertificateWarnings(const HttpAccess& http, const MqttAccess& mqtt,
                                             std::chrono::system_clock::time_point now);

}  // namespace service
