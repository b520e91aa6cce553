#include "tools/sim/instrument.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "contract/data_type.h"
#include "contract/register_tables.h"

namespace sim {
namespace {

// Starting values that make a plausible instrument at rest: the loop is in balance at its set
// point, the error register EE reads 0 (no fault), everything else not named here reads 0.
struct StartValue {
    std::string_view mnemonic;
    double value;
};
constexpr StartValue kStartValues[] = {
    {"1M", 100.0}, {"2M", 0.0}, {"3M", 0.0}, {"PV", 100.0}, {"OP", 40.0}, {"SV", 100.0},
    {"SP", 100.0}, {"PN", 1.0}, {"SN", 1.0}, {"XP", 10.0},  {"TI", 20.0}, {"TD", 0.0},
    {"CT", 2.0},   {"MR", 0.0}, {"AF", 1.0}, {"AH", 1.0},   {"RT", 0.0},  {"1A", 200.0},
    {"2A", 0.0},   {"3A", 0.0}, {"HF", 0.0}, {"RF", 0.0},   {"PF", 0.0},  {"NP", 0.0},
};

// The process: a first-order lag from the controller output to the measurement, PV settling at
// kAmbient + kProcessGain * OP with the time constant kTimeConstant; the controller is
// proportional plus integral, with XP the proportional band in % of kSpan and TI the integral
// time in seconds.
constexpr double kAmbient = 20.0;
constexpr double kProcessGain = 2.0;    // units of PV per % of output
constexpr double kTimeConstant = 20.0;  // seconds
constexpr double kSpan = 200.0;
constexpr double kNoise = 0.05;  // largest measurement noise, in units of PV

std::span<const QM4720RegisterDescriptor> TableOf(Model model) {
    return model == Model::kQM4720N ? contract::QM4720NRegisterTable()
                                    : contract::DefaultRegisterTable();
}

}  // namespace

std::string_view ModelName(Model model) {
    return model == Model::kQM4720N ? contract::kQM4720NModel : std::string_view("default");
}

bool ParseModel(std::string_view text, Model& model) {
    if (contract::IsQM4720NModel(text)) {
        model = Model::kQM4720N;
        return true;
    }
    if (text == "default") {
        model = Model::kDefault;
        return true;
    }
    return false;
}

double ClampToField(const Register& reg, double value) {
    if (reg.isFloat) return std::clamp(value, kFloatFieldMin, kFloatFieldMax);
    return std::clamp(std::round(value), double{kIntFieldMin}, double{kIntFieldMax});
}

Station::Station(int number, Model model) : number_(number), model_(model) {
    // One register per mnemonic. The default table names PT twice, read-only at index 10 and
    // writable at index 57; on the line both are the same register, which takes writes.
    for (const QM4720RegisterDescriptor& entry : TableOf(model)) {
        const std::string mnemonic(entry.mnemonic, 2);
        if (Register* known = Find(mnemonic)) {
            known->writable = known->writable || entry.readOnly == 0;
            continue;
        }
        Register reg;
        reg.mnemonic = mnemonic;
        reg.isFloat = entry.dataType == kTypeFloat;
        reg.writable = entry.readOnly == 0;
        for (const StartValue& start : kStartValues) {
            if (start.mnemonic == mnemonic) reg.value = start.value;
        }
        registers_.push_back(reg);
    }
}

Register* Station::Find(std::string_view mnemonic) {
    for (Register& reg : registers_) {
        if (reg.mnemonic == mnemonic) return &reg;
    }
    return nullptr;
}

bool Station::Set(std::string_view mnemonic, double value, std::string& error) {
    Register* reg = Find(mnemonic);
    if (reg == nullptr) {
        error = "station " + std::to_string(number_) + " (" + std::string(ModelName(model_)) +
                ") has no register " + std::string(mnemonic);
        return false;
    }
    const double stored = reg->isFloat ? value : std::round(value);
    if (!std::isfinite(value) || ClampToField(*reg, stored) != stored) {
        char range[64];
        if (reg->isFloat) {
            std::snprintf(range, sizeof range, "%g..%g", kFloatFieldMin, kFloatFieldMax);
        } else {
            std::snprintf(range, sizeof range, "%d..%d", kIntFieldMin, kIntFieldMax);
        }
        error = "register " + std::string(mnemonic) + " holds " + (reg->isFloat ? "FLOAT" : "INT") +
                " values in " + range;
        return false;
    }
    reg->value = stored;
    return true;
}

double Station::Get(std::string_view mnemonic, double fallback) {
    const Register* reg = Find(mnemonic);
    return reg != nullptr ? reg->value : fallback;
}

void Station::Put(std::string_view mnemonic, double value) {
    if (Register* reg = Find(mnemonic)) reg->value = ClampToField(*reg, value);
}

double Station::Gain() {
    const double band = Get("XP", 10.0);
    return band > 0.0 ? 100.0 / (band * kSpan / 100.0) : 100.0 / (10.0 * kSpan / 100.0);
}

void Station::Settle() {
    processValue_ = Get("PV", kAmbient);
    const double setPoint = Get("SP", processValue_);
    // The output that holds the process where it is, less what the proportional part gives.
    const double balance = (processValue_ - kAmbient) / kProcessGain;
    integral_ = std::clamp(balance - Gain() * (setPoint - processValue_), 0.0, 100.0);
}

void Station::Step(double dt, double noise) {
    const double setPoint = Get("SP", processValue_);
    const double error = setPoint - processValue_;
    const double kp = Gain();
    const double ti = Get("TI", 0.0);
    if (ti > 0.0) integral_ = std::clamp(integral_ + kp * error * dt / ti, 0.0, 100.0);
    const double output = std::clamp(kp * error + integral_, 0.0, 100.0);
    processValue_ += dt / kTimeConstant * (kAmbient + kProcessGain * output - processValue_);
    const double measured = processValue_ + noise * kNoise;
    Put("PV", measured);
    Put("OP", output);
    Put("ER", measured - setPoint);
    Put("SV", setPoint);
}

Instrument::Instrument(std::uint64_t seed, bool frozen) : random_(seed), frozen_(frozen) {}

bool Instrument::AddStation(int number, Model model, std::string& error) {
    if (number < 0 || number > 99) {
        error = "station " + std::to_string(number) + " is outside 0..99";
        return false;
    }
    if (FindStation(number) != nullptr) {
        error = "station " + std::to_string(number) + " is given twice";
        return false;
    }
    stations_.emplace_back(number, model);
    return true;
}

Station* Instrument::FindStation(int number) {
    for (Station& station : stations_) {
        if (station.number() == number) return &station;
    }
    return nullptr;
}

void Instrument::Start() {
    for (Station& station : stations_) station.Settle();
    step_ = 0;
}

void Instrument::AdvanceTo(std::uint64_t step) {
    if (frozen_) return;
    constexpr double dt = kStepMs / 1000.0;
    for (; step_ < step; ++step_) {
        for (Station& station : stations_) {
            // 53 random bits make a uniform number in [0, 1), then in [-1, 1).
            const double unit = static_cast<double>(random_() >> 11) * 0x1.0p-53;
            station.Step(dt, unit * 2.0 - 1.0);
        }
    }
}

Answer Instrument::Decide(const Request& request) {
    Answer answer;
    Station* station = request.station >= 0 ? FindStation(request.station) : nullptr;
    if (station == nullptr) {
        answer.why = request.station < 0
                         ? "no answer: station field is not two doubled digits"
                         : "no answer: no station " + std::to_string(request.station);
        return answer;
    }
    if (request.kind == RequestKind::kRead) {
        Register* reg = station->Find(request.mnemonic);
        if (reg == nullptr) {
            answer.why = "no answer: station " + std::to_string(station->number()) +
                         " has no register " + request.mnemonic;
            return answer;
        }
        answer.kind = Answer::Kind::kData;
        answer.mnemonic = reg->mnemonic;
        answer.field = reg->isFloat ? FormatFloatField(reg->value)
                                    : FormatIntField(static_cast<int>(std::lround(reg->value)));
        answer.why = "read " + reg->mnemonic + " station " + std::to_string(station->number());
        return answer;
    }
    // A write. The block check comes first: a frame that fails it cannot be trusted to name the
    // register it seems to name.
    const std::string where = " station " + std::to_string(station->number());
    answer.kind = Answer::Kind::kNak;
    if (!request.blockCheckOk) {
        answer.why = "NAK: block check fails" + where;
        return answer;
    }
    Register* reg = station->Find(request.mnemonic);
    if (reg == nullptr) {
        answer.kind = Answer::Kind::kSilent;
        answer.why = "no answer:" + where + " has no register " + request.mnemonic;
        return answer;
    }
    if (!reg->writable) {
        answer.why = "NAK: " + reg->mnemonic + " is read-only" + where;
        return answer;
    }
    const std::optional<double> value = ParseField(request.field, reg->isFloat);
    if (!value) {
        answer.why = "NAK: " + reg->mnemonic + " field \"" + request.field + "\" is not a " +
                     (reg->isFloat ? "number" : "whole number") + " of six characters";
        return answer;
    }
    if (ClampToField(*reg, *value) != *value) {
        answer.why = "NAK: " + reg->mnemonic + " value out of range";
        return answer;
    }
    answer.kind = Answer::Kind::kAck;
    answer.target = reg;
    answer.newValue = *value;
    answer.why = "ACK: " + reg->mnemonic + "=" + request.field + where;
    return answer;
}

void Instrument::Commit(const Answer& answer) {
    if (answer.kind == Answer::Kind::kAck && answer.target != nullptr) {
        answer.target->value = answer.newValue;
    }
}

}  // namespace sim
