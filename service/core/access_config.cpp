#include "service/core/access_config.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string_view>

#include "service/core/tls_files.h"

namespace service {
namespace {

constexpr std::size_t kShortestToken = 16;

// A refusal, thrown inside this file only and returned from its entry points.
struct Refused {
    KeyRefusal refusal;
};

// The keys of one table, read with their lines for refusals.
class Keys {
public:
    Keys(const toml::table& table, std::string prefix)
        : table_(table), prefix_(std::move(prefix)) {}

    [[noreturn]] void Refuse(std::string_view name, std::string what) const {
        const toml::node* node = table_.get(name);
        const std::int64_t line = (node != nullptr ? node->source() : table_.source()).begin.line;
        throw Refused{{line, std::string(name), std::move(what)}};
    }
    std::string Full(std::string_view name) const { return prefix_ + "." + std::string(name); }

    std::string String(std::string_view name) const {
        const toml::node* node = table_.get(name);
        if (node == nullptr) return {};
        if (!node->is_string()) Refuse(name, "expected a string");
        return std::string(*node->value<std::string_view>());
    }
    bool Boolean(std::string_view name) const {
        const toml::node* node = table_.get(name);
        if (node == nullptr) return false;
        if (!node->is_boolean()) Refuse(name, "expected true or false");
        return *node->value<bool>();
    }
    std::vector<std::string> Strings(std::string_view name) const {
        std::vector<std::string> out;
        const toml::node* node = table_.get(name);
        if (node == nullptr) return out;
        const toml::array* array = node->as_array();
        if (array == nullptr) Refuse(name, "expected an array of strings");
        for (const toml::node& item : *array) {
            if (!item.is_string()) Refuse(name, "expected an array of strings");
            out.emplace_back(*item.value<std::string_view>());
        }
        return out;
    }
    bool Has(std::string_view name) const { return table_.contains(name); }

private:
    const toml::table& table_;
    std::string prefix_;
};

bool Loopback(const std::string& address) {
    return address == "localhost" || address == "::1" || address.rfind("127.", 0) == 0;
}

// A certificate and key named together, both or neither; refused when they cannot serve.
void CheckPair(const Keys& keys, const std::string& certificate, const std::string& key,
               std::chrono::system_clock::time_point now) {
    if (certificate.empty() != key.empty()) {
        keys.Refuse(certificate.empty() ? "tls_key" : "tls_certificate",
                    "tls_certificate and tls_key go together: set both or neither");
    }
    if (certificate.empty()) return;
    const std::string problem = CertificatePairProblem({keys.Full("tls_certificate"), certificate},
                                                       {keys.Full("tls_key"), key}, now);
    if (!problem.empty()) {
        keys.Refuse(problem.find(keys.Full("tls_key")) == 0 ? "tls_key" : "tls_certificate",
                    problem);
    }
}

void AddToken(const Keys& keys, std::string_view key, const std::string& token, TokenRole role,
              HttpAccess& access) {
    if (const std::string problem = TokenProblem(token); !problem.empty()) {
        keys.Refuse(key, problem);
    }
    access.tokens.push_back({token, role});
}

// "read TOKEN" or "write TOKEN" a line; blank lines and lines starting with # are skipped. The
// file must not be readable by others: a token there is a password.
void ReadTokenFile(const Keys& keys, const std::string& path, HttpAccess& access) {
    const std::string named = keys.Full("token_file") + ": " + path;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        keys.Refuse("token_file", named + ": " + std::strerror(errno));
    if (!S_ISREG(info.st_mode)) keys.Refuse("token_file", named + ": not a plain file");
    if ((info.st_mode & (S_IROTH | S_IWOTH)) != 0) {
        keys.Refuse("token_file", named +
                                      ": readable or writable by others; give it to the "
                                      "service's group only (chmod 640 or 600)");
    }
    std::ifstream file(path);
    if (!file) keys.Refuse("token_file", named + ": " + std::strerror(errno));
    std::string text;
    int number = 0;
    while (std::getline(file, text)) {
        ++number;
        const std::string at = named + ":" + std::to_string(number) + ": ";
        const auto first = text.find_first_not_of(" \t\r");
        if (first == std::string::npos || text[first] == '#') continue;
        const auto space = text.find_first_of(" \t", first);
        const std::string role = text.substr(first, space - first);
        std::string token = space == std::string::npos ? "" : text.substr(space);
        token.erase(0, token.find_first_not_of(" \t"));
        while (!token.empty() &&
               (token.back() == '\r' || token.back() == ' ' || token.back() == '\t')) {
            token.pop_back();
        }
        if (role != "read" && role != "write") {
            keys.Refuse("token_file", at + "expected \"read TOKEN\" or \"write TOKEN\"");
        }
        if (const std::string problem = TokenProblem(token); !problem.empty()) {
            keys.Refuse("token_file", at + "token " + problem);
        }
        access.tokens.push_back({token, role == "write" ? TokenRole::kWrite : TokenRole::kRead});
    }
    if (file.bad()) keys.Refuse("token_file", named + ": cannot be read");
}

}  // namespace

std::string TokenProblem(const std::string& token) {
    if (token.size() < kShortestToken) {
        return "expected at least " + std::to_string(kShortestToken) +
               " characters: a short token is guessed";
    }
    // An HTTP header's value loses its blanks at both ends, and no header carries a control
    // character: such a token could never be matched.
    for (unsigned char c : token) {
        if (c <= ' ' || c == 0x7F) {
            return "expected no blank or control character: an Authorization header could never "
                   "carry it whole";
        }
    }
    return {};
}

std::optional<KeyRefusal> ReadHttpAccess(const toml::table& http, const std::string& address,
                                         const std::string& writeToken, bool writes,
                                         std::chrono::system_clock::time_point now,
                                         HttpAccess& access) {
    const Keys keys(http, "http");
    try {
        access = HttpAccess{};
        access.tlsCertificate = keys.String("tls_certificate");
        access.tlsKey = keys.String("tls_key");
        CheckPair(keys, access.tlsCertificate, access.tlsKey, now);
        access.plainOnNetwork = keys.Boolean("plain_on_network");
        if (!access.Tls() && !access.plainOnNetwork && !Loopback(address)) {
            keys.Refuse("address",
                        "plain HTTP on " + address +
                            " would carry the page, the values and any token in clear to the "
                            "network: set tls_certificate and tls_key, or plain_on_network = true");
        }
        if (!writeToken.empty()) access.tokens.push_back({writeToken, TokenRole::kWrite});
        for (const std::string& token : keys.Strings("read_tokens")) {
            AddToken(keys, "read_tokens", token, TokenRole::kRead, access);
        }
        for (const std::string& token : keys.Strings("write_tokens")) {
            AddToken(keys, "write_tokens", token, TokenRole::kWrite, access);
        }
        if (const std::string file = keys.String("token_file"); !file.empty()) {
            ReadTokenFile(keys, file, access);
        }
        const std::string readAccess =
            keys.Has("read_access") ? keys.String("read_access") : std::string("open");
        if (readAccess != "open" && readAccess != "token") {
            keys.Refuse("read_access",
                        "expected \"open\" or \"token\", got \"" + readAccess + "\"");
        }
        access.readsNeedToken = readAccess == "token";
        bool anyRead = false;
        bool anyWrite = false;
        for (const AccessToken& t : access.tokens) {
            (t.role == TokenRole::kWrite ? anyWrite : anyRead) = true;
        }
        if (access.readsNeedToken && access.tokens.empty()) {
            keys.Refuse("read_access",
                        "read_access = \"token\" needs at least one token (read_tokens, "
                        "write_tokens or token_file)");
        }
        if (anyRead && !access.readsNeedToken) {
            keys.Refuse(keys.Has("read_tokens") ? "read_tokens" : "token_file",
                        "read tokens guard nothing while read_access is \"open\": set "
                        "read_access = \"token\"");
        }
        if (writes && !anyWrite) {
            keys.Refuse("writes",
                        "writes = true needs a write token: write_token, write_tokens or a "
                        "\"write TOKEN\" line of token_file");
        }
    } catch (const Refused& r) {
        return r.refusal;
    }
    return std::nullopt;
}

std::optional<KeyRefusal> ReadMqttAccess(const toml::table& mqtt, bool hasPassword,
                                         std::chrono::system_clock::time_point now,
                                         MqttAccess& access) {
    const Keys keys(mqtt, "mqtt");
    try {
        access = MqttAccess{};
        access.tlsCaFile = keys.String("tls_ca_file");
        access.tlsCertificate = keys.String("tls_certificate");
        access.tlsKey = keys.String("tls_key");
        access.allowPlainPassword = keys.Boolean("allow_plain_password");
        if (access.Tls()) {
            if (const std::string problem =
                    CaFileProblem({keys.Full("tls_ca_file"), access.tlsCaFile}, now);
                !problem.empty()) {
                keys.Refuse("tls_ca_file", problem);
            }
        } else if (!access.tlsCertificate.empty() || !access.tlsKey.empty()) {
            keys.Refuse(access.tlsCertificate.empty() ? "tls_key" : "tls_certificate",
                        "a client certificate is used over TLS only: set tls_ca_file too");
        }
        CheckPair(keys, access.tlsCertificate, access.tlsKey, now);
        if (hasPassword && !access.Tls() && !access.allowPlainPassword) {
            keys.Refuse("password",
                        "a password would travel to the broker in clear: set tls_ca_file, or "
                        "allow_plain_password = true");
        }
    } catch (const Refused& r) {
        return r.refusal;
    }
    return std::nullopt;
}

std::optional<KeyRefusal> ExposedSecret(const std::string& path, const toml::table& root) {
    struct Secret {
        const char* table;
        const char* key;
    };
    constexpr Secret kSecrets[] = {{"http", "write_token"},
                                   {"http", "read_tokens"},
                                   {"http", "write_tokens"},
                                   {"mqtt", "password"}};
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || (info.st_mode & S_IROTH) == 0) return std::nullopt;
    for (const Secret& secret : kSecrets) {
        const toml::table* table = root[secret.table].as_table();
        const toml::node* node = table != nullptr ? table->get(secret.key) : nullptr;
        if (node == nullptr) continue;
        return KeyRefusal{node->source().begin.line, std::string(secret.table) + "." + secret.key,
                          "the file is readable by everyone and holds a secret: give it to the "
                          "service's group only (chmod 640), or move tokens to a token_file"};
    }
    return std::nullopt;
}

std::vector<std::string> CertificateWarnings(const HttpAccess& http, const MqttAccess& mqtt,
                                             std::chrono::system_clock::time_point now) {
    const NamedFile files[] = {{"http.tls_certificate", http.tlsCertificate},
                               {"mqtt.tls_ca_file", mqtt.tlsCaFile},
                               {"mqtt.tls_certificate", mqtt.tlsCertificate}};
    std::vector<std::string> warnings;
    for (const NamedFile& file : files) {
        if (file.path.empty()) continue;
        if (std::string warning = ExpiryWarning(file, now); !warning.empty()) {
            warnings.push_back(std::move(warning));
        }
    }
    return warnings;
}

}  // namespace service
