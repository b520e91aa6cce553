#include "service/core/meter_config.h"

#include "service/core/history_config.h"

#include <algorithm>
#include <set>
#include <string_view>

namespace service {
namespace {

std::string ModelOf(const Section& meter) {
    const std::string text = meter.String("model", "default", false);
    std::string lower;
    for (char c : text) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    // The driver takes any other name as the default model; a service refuses it instead, since
    // a misspelt model would poll the wrong table without a word.
    if (lower == "default") return "";
    if (lower == "qm4720n") return "QM4720N";
    meter.Refuse("model", "expected \"default\" or \"QM4720N\", got \"" + text + "\"");
}

// `driver` has the meter's model loaded.
qm4720::Register ResolveRegister(const qm4720::Driver& driver, const Section& meter,
                                 const std::string& model, std::string_view key,
                                 const std::string& text, std::int64_t line) {
    qm4720::RegisterResult reg = driver.ParseRegister(text);
    if (reg.error) {
        const std::string modelName = model.empty() ? std::string("default") : model;
        throw Refusal{line, meter.Key(key),
                      "register '" + text + "' is not one of model " + modelName +
                          "'s registers (qm4720ctl tables --model " + modelName +
                          "); the driver says: " + reg.error.driverText};
    }
    return reg.reg;
}

// A text shown on the page beside a mnemonic: one line, of a length that fits a cell.
void CheckShownText(const Section& table, std::string_view key, const std::string& text,
                    std::size_t most) {
    if (text.size() > most) {
        table.Refuse(key, "expected at most " + std::to_string(most) + " bytes");
    }
    for (unsigned char c : text) {
        if (c < ' ' || c == 0x7F) table.Refuse(key, "expected no control character");
    }
}

// The [[line.meter.register]] tables: settings of one register that is polled or writable on the
// meter, each register at most once.
void ReadRegisterOptions(const RegisterChecker& checker, const Section& meter, MeterConfig& m) {
    for (const Section& table : meter.Tables("register")) {
        table.OnlyKeys({"name", "label", "unit", "scale", "deadband", "heartbeat_s"});
        const std::string text = table.String("name", "", true);
        RegisterOptions options;
        options.reg = ResolveRegister(checker.driver, table, m.model, "name", text,
                                      table.Find("name")->source().begin.line);
        const bool polled = std::any_of(m.polled.begin(), m.polled.end(), [&](const auto& p) {
            return p.reg.index == options.reg.index;
        });
        const bool writable = std::any_of(m.writable.begin(), m.writable.end(), [&](const auto& w) {
            return w.index == options.reg.index;
        });
        if (!polled && !writable) {
            table.Refuse("name",
                         "register '" + text + "' is neither polled nor writable on this meter");
        }
        if (m.Options(options.reg.index) != nullptr) {
            table.Refuse("name", "register '" + text + "' has two [[line.meter.register]] tables");
        }
        options.label = table.String("label", "", false);
        options.unit = table.String("unit", "", false);
        CheckShownText(table, "label", options.label, 64);
        CheckShownText(table, "unit", options.unit, 16);
        if (table.Find("scale") != nullptr) {
            options.scale =
                static_cast<int>(table.Integer("scale", 0, kMinModbusScale, kMaxModbusScale, true));
        }
        ReadRegisterHistoryKeys(table, options);
        m.options.push_back(std::move(options));
    }
}

}  // namespace

MeterConfig ReadMeter(const RegisterChecker& checker, const Section& meter) {
    meter.OnlyKeys({"station", "model", "poll", "writable", "register"});
    MeterConfig m;
    m.station = static_cast<std::int16_t>(meter.Integer("station", 0, 0, 99, true));
    m.model = ModelOf(meter);
    if (const qm4720::Error loaded = checker.driver.Load(checker.modulePath, m.model)) {
        throw Refusal{meter.Line(), meter.Key("model"), loaded.message};
    }
    std::set<std::int16_t> seen;
    for (const Section& poll : meter.Tables("poll")) {
        poll.OnlyKeys({"registers", "interval_s", "allowed_age_s"});
        const auto interval = poll.Seconds("interval_s", {}, 86400, true);
        const auto age = poll.Seconds("allowed_age_s", 3 * interval, 3 * 86400);
        const auto names = poll.Strings("registers");
        if (names.empty()) poll.Refuse("registers", "expected at least one register");
        for (const auto& [text, line] : names) {
            const qm4720::Register reg =
                ResolveRegister(checker.driver, poll, m.model, "registers", text, line);
            if (!seen.insert(reg.index).second) {
                throw Refusal{line, poll.Key("registers"),
                              "register '" + text + "' is polled twice on this meter"};
            }
            m.polled.push_back({reg, interval, age});
        }
    }
    for (const auto& [text, line] : meter.Strings("writable")) {
        const qm4720::Register reg =
            ResolveRegister(checker.driver, meter, m.model, "writable", text, line);
        if (reg.readOnly) {
            throw Refusal{line, meter.Key("writable"),
                          "register '" + text + "' is read-only in the model's table"};
        }
        m.writable.push_back(reg);
    }
    ReadRegisterOptions(checker, meter, m);
    return m;
}

}  // namespace service
