// The access keys of [http] and [mqtt]: every file that could not serve, every secret left where
// others read it and every plain interface that was not asked for is refused with the file, the
// line and the key; a certificate close to its end is said by --check-config.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "service/core/service_config.h"
#include "service/tests/service_fixture.h"

namespace {

using servicetest::ScratchDir;
using servicetest::WriteFile;

constexpr const char* kLines =
    "[[line]]\nname = \"a\"\nport = \"/tmp/qm-a\"\n[[line.meter]]\nstation = 1\n"
    "[[line.meter.poll]]\nregisters = [\"PV\"]\ninterval_s = 1\n";  // 8 lines
constexpr const char* kToken = "0123456789abcdef-token";

std::string Replaced(std::string text, const std::string& dir) {
    for (std::size_t at; (at = text.find("{dir}")) != std::string::npos;) {
        text.replace(at, 5, dir);
    }
    return text;
}

class AccessConfig : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        certificates_ = new ScratchDir;
        std::string error;
        auto made =
            host::StartChild({"/bin/sh", QM_SOURCE_DIR "/service/tests/make_test_certificates.sh",
                              *certificates_ / ""},
                             error);
        ASSERT_NE(made, nullptr) << error;
        ASSERT_EQ(made->Wait(60000), 0) << "openssl could not make the test's certificates";
    }
    static void TearDownTestSuite() { delete certificates_; }
    void SetUp() override {
        const qm4720::Error loaded = driver_.Load(QM_MODULE_PATH, "");
        ASSERT_FALSE(loaded) << loaded.message;
    }

    // Loads kLines and `tail` ({dir}: the certificates' folder) from a file of `mode`.
    bool Load(const std::string& tail, mode_t mode, service::ServiceConfig& config,
              std::string& error) {
        const std::string path = dir_ / "access.toml";
        WriteFile(path, kLines + Replaced(tail, *certificates_ / ""));
        chmod(path.c_str(), mode);
        return service::LoadConfig(path, driver_, QM_MODULE_PATH, config, error);
    }

    static ScratchDir* certificates_;
    qm4720::Driver driver_;
    ScratchDir dir_;
};
ScratchDir* AccessConfig::certificates_ = nullptr;

struct Refused {
    const char* name;
    std::string tail;
    int line;
    const char* key;
    const char* what;  // a piece of the reason (for a file: its name)
    mode_t mode = 0600;
};

const std::string kHttp = "[http]\nport = 8443\n";  // lines 9 and 10
const std::string kTls =
    "tls_certificate = \"{dir}server.pem\"\ntls_key = \"{dir}server.key\"\n";  // 11 and 12
const std::string kMqtt = "[mqtt]\nhost = \"127.0.0.1\"\n";                    // 9 and 10

const Refused kRefused[] = {
    {"certificate missing",
     kHttp + "tls_certificate = \"{dir}none.pem\"\ntls_key = \"{dir}server.key\"\n", 11,
     "http.tls_certificate", "none.pem: No such file or directory"},
    {"certificate not PEM",
     kHttp + "tls_certificate = \"{dir}server.key\"\ntls_key = \"{dir}server.key\"\n", 11,
     "http.tls_certificate", "server.key: no PEM certificate"},
    {"certificate a folder", kHttp + "tls_certificate = \"{dir}\"\ntls_key = \"{dir}server.key\"\n",
     11, "http.tls_certificate", "not a plain file"},
    {"key of another certificate",
     kHttp + "tls_certificate = \"{dir}server.pem\"\ntls_key = \"{dir}other.key\"\n", 12,
     "http.tls_key", "other.key: the key does not belong to the certificate"},
    {"key missing", kHttp + "tls_certificate = \"{dir}server.pem\"\ntls_key = \"{dir}no.key\"\n",
     12, "http.tls_key", "no.key: No such file"},
    {"certificate expired",
     kHttp + "tls_certificate = \"{dir}expired.pem\"\ntls_key = \"{dir}expired.key\"\n", 11,
     "http.tls_certificate", "expired.pem: the certificate has expired"},
    {"certificate without key", kHttp + "tls_certificate = \"{dir}server.pem\"\n", 11,
     "http.tls_certificate", "set both or neither"},
    {"plain HTTP on every address", kHttp + "address = \"0.0.0.0\"\n", 11, "http.address",
     "plain_on_network = true"},
    {"read tokens while reads are open", kHttp + "read_tokens = [\"" + kToken + "\"]\n", 11,
     "http.read_tokens", "read_access = \"token\""},
    {"read access by token without a token", kHttp + "read_access = \"token\"\n", 11,
     "http.read_access", "at least one token"},
    {"read access misspelt", kHttp + "read_access = \"tokens\"\n", 11, "http.read_access",
     "\"open\" or \"token\""},
    {"writes with a read token only",
     kHttp + "writes = true\nread_access = \"token\"\nread_tokens = [\"" + kToken + "\"]\n", 11,
     "http.writes", "write token"},
    {"short write token in the list", kHttp + "write_tokens = [\"short\"]\n", 11,
     "http.write_tokens", "16 characters"},
    {"token in a world-readable file", kHttp + "write_token = \"" + kToken + "\"\n", 11,
     "http.write_token", "readable by everyone", 0644},
    {"token file missing", kHttp + "token_file = \"{dir}tokens-none\"\n", 11, "http.token_file",
     "tokens-none: No such file"},
    {"token file readable by others", kHttp + "token_file = \"{dir}tokens-open\"\n", 11,
     "http.token_file", "tokens-open: readable or writable by others"},
    {"token file with a line of another role", kHttp + "token_file = \"{dir}tokens-bad\"\n", 11,
     "http.token_file", "tokens-bad:2: expected \"read TOKEN\" or \"write TOKEN\""},
    {"MQTT password in clear", kMqtt + "username = \"u\"\npassword = \"p\"\n", 12, "mqtt.password",
     "allow_plain_password = true"},
    {"MQTT CA file missing", kMqtt + "tls_ca_file = \"{dir}none.pem\"\n", 11, "mqtt.tls_ca_file",
     "none.pem: No such file"},
    {"MQTT client certificate without TLS",
     kMqtt + "tls_certificate = \"{dir}client.pem\"\ntls_key = \"{dir}client.key\"\n", 11,
     "mqtt.tls_certificate", "set tls_ca_file too"},
    {"MQTT client key of another certificate",
     kMqtt + "tls_ca_file = \"{dir}ca.pem\"\ntls_certificate = \"{dir}client.pem\"\n"
             "tls_key = \"{dir}server.key\"\n",
     13, "mqtt.tls_key", "does not belong"},
    {"MQTT password in a world-readable file",
     kMqtt + "tls_ca_file = \"{dir}ca.pem\"\nusername = \"u\"\npassword = \"p\"\n", 13,
     "mqtt.password", "readable by everyone", 0604},
};

TEST_F(AccessConfig, EachFileThatCannotServeIsRefusedWithFileLineAndKey) {
    WriteFile(*certificates_ / "tokens-open", std::string("read ") + kToken + "\n");
    chmod((*certificates_ / "tokens-open").c_str(), 0644);
    WriteFile(*certificates_ / "tokens-bad",
              std::string("read ") + kToken + "\nadmin " + kToken + "\n");
    chmod((*certificates_ / "tokens-bad").c_str(), 0640);
    for (const Refused& c : kRefused) {
        SCOPED_TRACE(c.name);
        service::ServiceConfig config;
        std::string error;
        EXPECT_FALSE(Load(c.tail, c.mode, config, error));
        const std::string where =
            dir_ / "access.toml:" + std::to_string(c.line) + ": " + c.key + ": ";
        EXPECT_EQ(error.rfind(where, 0), 0u) << error;
        EXPECT_NE(error.find(c.what), std::string::npos) << error;
    }
}

// What a good file gives: TLS files, and every token with its role from the file and the token
// file (a write token reads as well; the old write_token is one of the write tokens).
TEST_F(AccessConfig, AGoodFileGivesTlsAndEveryTokenWithItsRole) {
    const std::string tokens = *certificates_ / "tokens-good";
    WriteFile(tokens,
              "# readers\nread  reader-token-0123456789 \n\nwrite writer-token-0123456789\n");
    chmod(tokens.c_str(), 0640);
    service::ServiceConfig config;
    std::string error;
    ASSERT_TRUE(Load(kHttp + kTls + "address = \"0.0.0.0\"\nwrites = true\nwrite_token = \"" +
                         kToken + "\"\nread_access = \"token\"\ntoken_file = \"" + tokens +
                         "\"\nread_tokens = [\"listed-reader-0123456789\"]\n" + kMqtt.substr(0, 0),
                     0640, config, error))
        << error;
    const service::HttpAccess& access = config.http.access;
    EXPECT_TRUE(access.Tls());
    EXPECT_TRUE(access.readsNeedToken);
    using service::TokenRole;
    const std::vector<std::pair<std::string, TokenRole>> expected = {
        {kToken, TokenRole::kWrite},
        {"listed-reader-0123456789", TokenRole::kRead},
        {"reader-token-0123456789", TokenRole::kRead},
        {"writer-token-0123456789", TokenRole::kWrite}};
    std::vector<std::pair<std::string, TokenRole>> got;
    for (const auto& t : access.tokens) got.emplace_back(t.token, t.role);
    EXPECT_EQ(got, expected);

    ASSERT_TRUE(Load(kMqtt +
                         "tls_ca_file = \"{dir}ca.pem\"\ntls_certificate = \"{dir}client.pem\"\n"
                         "tls_key = \"{dir}client.key\"\nusername = \"u\"\npassword = \"p\"\n",
                     0600, config, error))
        << error;
    EXPECT_TRUE(config.mqtt.access.Tls());
    // A password in clear when the file says so.
    EXPECT_TRUE(Load(kMqtt + "username = \"u\"\npassword = \"p\"\nallow_plain_password = true\n",
                     0600, config, error))
        << error;
}

// Said, not refused: the service still serves until the day it expires.
TEST_F(AccessConfig, CheckConfigWarnsOfACertificateThatExpiresWithin30Days) {
    for (const auto& [name, warned] : {std::pair{"soon", true}, std::pair{"server", false}}) {
        SCOPED_TRACE(name);
        const std::string path = dir_ / "soon.toml";
        WriteFile(path, kLines + Replaced(kHttp + "tls_certificate = \"{dir}" + name +
                                              ".pem\"\ntls_key = \"{dir}" + name + ".key\"\n",
                                          *certificates_ / ""));
        const std::string log = dir_ / "check.log";
        std::string error;
        auto check = host::StartChild(
            {QM_SERVICE_PATH, "--check-config", path, "--module", QM_MODULE_PATH}, error, {log});
        ASSERT_NE(check, nullptr) << error;
        EXPECT_EQ(check->Wait(10000), 0) << servicetest::ReadFile(log);
        const std::string said = servicetest::ReadFile(log);
        const std::string warning = "http.tls_certificate: " + *certificates_ / "" + name +
                                    ".pem: the certificate expires in ";
        EXPECT_EQ(said.find(warning) != std::string::npos, warned) << said;
    }
}

}  // namespace
