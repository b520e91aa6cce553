#include "tools/sim/faults.h"

#include <algorithm>

#include "tools/sim/wire.h"

namespace sim {
namespace {

constexpr std::string_view kFaultNames[kFaultCount] = {
    "ok", "timeout", "bad-bcc", "split", "noise", "nak", "non-numeric", "lone-stx", "unstored"};

// Characters that a data field must never hold: they make the field non-numeric.
constexpr std::string_view kBadFieldChars = " ?*ABEFXZ+,";

bool IsControl(std::uint8_t b) {
    return b == kStx || b == kEtx || b == kEot || b == kEnq || b == kAck || b == kNak;
}

}  // namespace

std::string_view FaultName(Fault fault) {
    return kFaultNames[static_cast<int>(fault)];
}

std::optional<Fault> FaultFromName(std::string_view name) {
    for (int i = 0; i < kFaultCount; ++i) {
        if (kFaultNames[i] == name) return static_cast<Fault>(i);
    }
    return std::nullopt;
}

std::string FaultNameList() {
    std::string list;
    for (int i = 1; i < kFaultCount; ++i) {
        if (!list.empty()) list += ", ";
        list += kFaultNames[i];
    }
    return list;
}

FaultPlan::FaultPlan(std::uint64_t seed) : random_(seed ^ 0x9E3779B97F4A7C15ull) {}

bool FaultPlan::SetRate(Fault fault, double rate, std::string& error) {
    if (!(rate >= 0.0 && rate <= 1.0)) {
        error = "the rate of " + std::string(FaultName(fault)) + " must lie in 0..1";
        return false;
    }
    double total = rate;
    for (int i = 1; i < kFaultCount; ++i) {
        if (i != static_cast<int>(fault)) total += rates_[i];
    }
    if (total > 1.0 + 1e-9) {
        error = "the fault rates add up to more than 1 (at most one fault hits a reply)";
        return false;
    }
    rates_[static_cast<int>(fault)] = rate;
    return true;
}

double FaultPlan::Unit() {
    return static_cast<double>(random_() >> 11) * 0x1.0p-53;
}

int FaultPlan::Below(int n) {
    return static_cast<int>(Unit() * n);
}

Fault FaultPlan::Next() {
    if (scriptNext_ < script_.size()) return script_[scriptNext_++];
    if (std::all_of(rates_.begin(), rates_.end(), [](double r) { return r == 0.0; })) {
        return Fault::kNone;
    }
    // One draw per reply; the faults take consecutive slices of [0, 1) by their rates.
    const double u = Unit();
    double edge = 0.0;
    for (int i = 1; i < kFaultCount; ++i) {
        edge += rates_[i];
        if (rates_[i] > 0.0 && u < edge) return static_cast<Fault>(i);
    }
    return Fault::kNone;
}

std::vector<Chunk> FaultPlan::Shape(const Answer& answer, Fault fault, bool& applied,
                                    bool& commit) {
    applied = false;
    commit = true;
    std::vector<std::uint8_t> reply;
    switch (answer.kind) {
        case Answer::Kind::kSilent:
            return {};
        case Answer::Kind::kData:
            reply = BuildDataReply(answer.mnemonic, answer.field);
            break;
        case Answer::Kind::kAck:
            reply = {kAck};
            break;
        case Answer::Kind::kNak:
            reply = {kNak};
            break;
    }
    const bool data = answer.kind == Answer::Kind::kData;
    switch (fault) {
        case Fault::kNone:
            break;
        case Fault::kTimeout:
            applied = true;
            commit = false;
            return {};
        case Fault::kNak:
            applied = true;
            commit = false;
            return {Chunk{0, {kNak}}};
        case Fault::kBadBcc:
            if (!data) break;
            applied = true;
            reply.back() ^= static_cast<std::uint8_t>(1 + Below(255));
            break;
        case Fault::kNonNumeric: {
            if (!data) break;
            applied = true;
            // The field is bytes 3..8 of the reply; the block check is made right again, so the
            // frame is sound and only its content is wrong.
            const int position = 3 + Below(static_cast<int>(kFieldWidth));
            reply[static_cast<std::size_t>(position)] =
                static_cast<std::uint8_t>(kBadFieldChars[static_cast<std::size_t>(
                    Below(static_cast<int>(kBadFieldChars.size())))]);
            reply.back() = BlockCheck(std::span(reply).subspan(1, 9));
            break;
        }
        case Fault::kSplit: {
            if (reply.size() < 3) break;
            applied = true;
            // Pieces of at least two bytes first, so a receiver never sees a lone first byte
            // (that is the lone-STX fault).
            const int n = static_cast<int>(reply.size());
            const int pieces = 2 + Below(2);
            std::vector<int> cuts;
            if (pieces == 2) {
                cuts = {2 + Below(n - 2)};
            } else {
                const int first = 2 + Below(n - 3);
                cuts = {first, first + 1 + Below(n - first - 1)};
            }
            std::vector<Chunk> chunks;
            int from = 0;
            for (const int cut : cuts) {
                chunks.push_back({chunks.empty() ? 0 : splitGapMs_,
                                  {reply.begin() + from, reply.begin() + cut}});
                from = cut;
            }
            chunks.push_back({splitGapMs_, {reply.begin() + from, reply.end()}});
            return chunks;
        }
        case Fault::kNoise: {
            applied = true;
            std::vector<std::uint8_t> noise;
            const int count = 1 + Below(4);
            while (static_cast<int>(noise.size()) < count) {
                const auto b = static_cast<std::uint8_t>(Below(256));
                if (!IsControl(b)) noise.push_back(b);
            }
            noise.insert(noise.end(), reply.begin(), reply.end());
            return {Chunk{0, noise}};
        }
        case Fault::kLoneStx:
            applied = true;
            return {Chunk{0, {kStx}}, Chunk{splitGapMs_, reply}};
        case Fault::kUnstored:
            if (answer.kind != Answer::Kind::kAck) break;
            applied = true;
            commit = false;
            break;
    }
    return {Chunk{0, reply}};
}

}  // namespace sim
