// The configuration that probe --emit-config writes: the telling registers found from the two
// real tables, a station of unknown model left out as a comment, and the texts a TOML reader
// must take back as they were. The file's acceptance by qm4720d and the service started on it are
// tested in the service's tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qm4720/qm4720.hpp"
#include "tools/ctl/emit_config.h"

namespace {

using ctl::ProbedStation;

TEST(CtlEmitConfig, TellingRegistersAreInOneTableOnly) {
    qm4720::Driver driver;
    ASSERT_FALSE(driver.Load(QM_MODULE_PATH, ""));
    const auto defaultTable = driver.Table("");
    const auto qm4720n = driver.Table("QM4720N");
    const ctl::TellingRegisters telling = ctl::FindTellingRegisters(defaultTable, qm4720n);
    const auto has = [](const std::vector<qm4720::Register>& table, const std::string& name) {
        for (const auto& entry : table) {
            if (entry.mnemonic == name) return true;
        }
        return false;
    };
    ASSERT_FALSE(telling.defaultModel.empty());
    ASSERT_FALSE(telling.qm4720n.empty());
    EXPECT_TRUE(has(defaultTable, telling.defaultModel));
    EXPECT_FALSE(has(qm4720n, telling.defaultModel));
    EXPECT_TRUE(has(qm4720n, telling.qm4720n));
    EXPECT_FALSE(has(defaultTable, telling.qm4720n));
    // Two equal tables tell nothing.
    EXPECT_EQ(ctl::FindTellingRegisters(defaultTable, defaultTable).defaultModel, "");
}

TEST(CtlEmitConfig, TextsAndNames) {
    const struct {
        std::string in;
        std::string toml;
    } strings[] = {
        {"/dev/ttyUSB0", "\"/dev/ttyUSB0\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"tab\there\n", "\"tab\\u0009here\\u000A\""},
        {"°C", "\"°C\""},
    };
    for (const auto& s : strings) EXPECT_EQ(ctl::TomlString(s.in), s.toml) << s.in;
    const struct {
        const char* port;
        const char* name;
    } names[] = {{"/dev/ttyUSB0", "ttyUSB0"},
                 {"/dev/serial/by-id/usb-FTDI-if00/", "usb-FTDI-if00"},
                 {"COM3", "COM3"},
                 {"/", "line"}};
    for (const auto& n : names) EXPECT_EQ(ctl::LineNameOf(n.port), n.name) << n.port;
}

TEST(CtlEmitConfig, UnknownStationsAreCommentedAndTheLineOnlyWithAKnownOne) {
    ctl::EmitSettings settings;
    settings.port = "/dev/ttyS1";
    settings.line.baud = 4800;
    settings.line.parity = qm4720::Parity::kEven;
    settings.line.dataBits = 7;
    settings.intervalSeconds = 0.25;
    settings.modbusPort = 0;
    settings.probedStations = "0-99";
    settings.telling = {"PR", "NP"};
    const std::vector<ProbedStation> stations = {
        {1, "default"}, {4, std::nullopt}, {12, "QM4720N"}};
    const std::string text = ctl::EmitConfig(settings, stations);
    for (const char* part :
         {"\nname = \"ttyS1\"\n", "\nbaud = 4800\n", "\nparity = \"even\"\n", "\ndata_bits = 7\n",
          "\n    station = 1\n    model = \"default\"\n",
          "\n    station = 12\n    model = \"QM4720N\"\n", "interval_s = 0.25\n",
          "# station 4: model unknown", "#     station = 4\n", "#     [line.modbus]\n"}) {
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    }
    EXPECT_EQ(text.find("\n    station = 4"), std::string::npos) << text;
    EXPECT_EQ(text.find("\n    writable"), std::string::npos) << "nothing writable: " << text;

    const std::vector<ProbedStation> unknown = {{4, std::nullopt}};
    const std::string none = ctl::EmitConfig(settings, unknown);
    EXPECT_EQ(none.find("\n[[line]]"), std::string::npos) << none;
    EXPECT_NE(none.find("\n# [[line]]"), std::string::npos) << none;
}

}  // namespace
