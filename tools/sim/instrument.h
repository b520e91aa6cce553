// The instruments on the simulated line: their stations, registers and process, and the answer
// each request deserves before any fault is applied.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tools/sim/wire.h"

namespace sim {

enum class Model { kDefault, kQM4720N };

std::string_view ModelName(Model model);

// "QM4720N" in any letter case, or "default"; false for any other text.
bool ParseModel(std::string_view text, Model& model);

struct Register {
    std::string mnemonic;
    bool isFloat = false;
    bool writable = false;
    double value = 0.0;
};

// What the instrument answers to one request, before faults.
struct Answer {
    enum class Kind { kSilent, kData, kAck, kNak };
    Kind kind = Kind::kSilent;
    std::string mnemonic;  // data: the register read
    std::string field;     // data: its six-character field
    std::string why;       // a short reason for the trace
    // A write that the instrument takes: stored only when the reply really goes out as ACK.
    Register* target = nullptr;
    double newValue = 0.0;
};

class Station {
public:
    Station(int number, Model model);

    int number() const { return number_; }
    Model model() const { return model_; }
    Register* Find(std::string_view mnemonic);
    const std::vector<Register>& registers() const { return registers_; }

    // Stores `value` after checking it fits the register's field; false with `error` otherwise.
    bool Set(std::string_view mnemonic, double value, std::string& error);

    // Sets the controller's memory so that the loop starts in balance with the present values.
    void Settle();
    // One step of `dt` seconds of the process; `noise` in -1..1 disturbs the measurement.
    void Step(double dt, double noise);

private:
    double Get(std::string_view mnemonic, double fallback);
    void Put(std::string_view mnemonic, double value);
    double Gain();

    int number_;
    Model model_;
    std::vector<Register> registers_;
    double processValue_ = 0.0;  // the process itself, before the measurement noise
    double integral_ = 0.0;      // the controller's integral part, in % output
};

// Every register value fits the data field: FLOAT within the field's range, INT in 16 bits.
double ClampToField(const Register& reg, double value);

class Instrument {
public:
    // The process advances in steps of this many milliseconds of wall time.
    static constexpr int kStepMs = 100;

    Instrument(std::uint64_t seed, bool frozen);

    bool AddStation(int number, Model model, std::string& error);
    Station* FindStation(int number);
    const std::vector<Station>& stations() const { return stations_; }

    // Call once all initial values are set, before the first request.
    void Start();

    // Brings the process up to `step` steps since Start. Each step of each station draws its
    // measurement noise from the model's own random sequence, so for one seed the values follow
    // the same course in time whatever the requests do.
    void AdvanceTo(std::uint64_t step);

    Answer Decide(const Request& request);
    static void Commit(const Answer& answer);

private:
    std::vector<Station> stations_;
    std::mt19937_64 random_;
    bool frozen_;
    std::uint64_t step_ = 0;
};

}  // namespace sim
