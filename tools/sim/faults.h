// Faults that the simulated instrument can inject into its replies, chosen per reply by rate or
// by a script, repeatably for one seed.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tools/sim/instrument.h"

namespace sim {

enum class Fault {
    kNone,
    kTimeout,     // no answer at all; a write is not stored
    kBadBcc,      // data reply with a wrong block check
    kSplit,       // reply written in two or three pieces with pauses between
    kNoise,       // one to four stray bytes before the reply
    kNak,         // NAK instead of the reply; a write is not stored
    kNonNumeric,  // data reply whose field holds a character that is no digit, "." or "-"
    kLoneStx,     // a lone STX, a pause, then the reply
    kUnstored,    // a write acknowledged but not stored, as by a meter held in local operation
};
inline constexpr int kFaultCount = 9;

// The names used on the command line and in the counts: "ok" for kNone, then "timeout",
// "bad-bcc", "split", "noise", "nak", "non-numeric", "lone-stx", "unstored".
std::string_view FaultName(Fault fault);
std::optional<Fault> FaultFromName(std::string_view name);
// All names after "ok", joined with ", ", for messages.
std::string FaultNameList();

// One piece of a reply: the bytes go out after a pause.
struct Chunk {
    int pauseBeforeMs = 0;
    std::vector<std::uint8_t> bytes;
};

class FaultPlan {
public:
    explicit FaultPlan(std::uint64_t seed);

    // Rates are chances per reply in 0..1; at most one fault hits a reply, so the rates together
    // may not exceed 1. False with `error` when they would.
    bool SetRate(Fault fault, double rate, std::string& error);
    // Faults for the next replies in order, before the rates take over ("ok" for none).
    void SetScript(std::vector<Fault> script) { script_ = std::move(script); }
    void SetSplitGapMs(int ms) { splitGapMs_ = ms; }

    // The fault for the next answered request.
    Fault Next();

    // The bytes that go on the line for `answer` under `fault`, and whether the fault changed
    // anything (a wrong block check cannot hit a one-byte ACK, for instance). The answer is stored
    // (a write taken) unless the fault drops or refuses it: `commit` tells which.
    std::vector<Chunk> Shape(const Answer& answer, Fault fault, bool& applied, bool& commit);

private:
    double Unit();
    int Below(int n);

    std::array<double, kFaultCount> rates_{};
    std::vector<Fault> script_;
    std::size_t scriptNext_ = 0;
    int splitGapMs_ = 40;
    std::mt19937_64 random_;
};

}  // namespace sim
