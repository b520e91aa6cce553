// The floor under one transaction, computed from the protocol's rules rather than measured, and
// the targets that the measured figures are judged against.
//
// A transaction's wall time is made of:
//  - writing the request: the driver's write returns as soon as the bytes are queued, so the time
//    the request spends on the wire is not spent by the caller here, but it delays the reply;
//  - the pause of 30 ms per unit of the baud factor (9600 / baud), which always runs in full;
//  - collecting the reply: the first look at the port comes at once after the pause, the next ones
//    every 20 ms. The reply is complete `arrival` ms after the write: the request's wire time,
//    the instrument's turnaround and the reply's wire time. If it is complete by the end of the
//    pause, the first look finds it; otherwise the look that finds it is the first one on the
//    20 ms grid (counted from the end of the pause) at or after its arrival.
#pragma once

#include <algorithm>
#include <cstdint>

namespace bench {

inline constexpr int kHighestBaud = 9600;
inline constexpr double kPausePerFactorMs = 30.0;
inline constexpr double kPollGridMs = 20.0;

// Bytes on the wire of each exchange (8N1 is 10 bit times a character).
inline constexpr int kReadRequestBytes = 8;    // EOT, station (4), mnemonic (2), ENQ
inline constexpr int kReadReplyBytes = 11;     // STX, mnemonic (2), field (6), ETX, BCC
inline constexpr int kWriteRequestBytes = 16;  // EOT, station (4), STX, mnemonic, field, ETX, BCC
inline constexpr int kWriteReplyBytes = 1;     // ACK or NAK

struct Floor {
    double pauseMs = 0;    // 30 ms x baud factor
    double arrivalMs = 0;  // request wire time + turnaround + reply wire time, from the write
    double floorMs = 0;    // when the driver can first notice the complete reply
};

// The first look at the port that finds a reply complete `arrivalMs` after the write: at the end
// of the pause, or the first one on the 20 ms grid after it that is at or after the arrival.
constexpr double FirstLookAfter(double pauseMs, double arrivalMs) {
    if (arrivalMs <= pauseMs) return pauseMs;
    int k = static_cast<int>((arrivalMs - pauseMs) / kPollGridMs);
    if (pauseMs + k * kPollGridMs < arrivalMs) ++k;
    return pauseMs + k * kPollGridMs;
}

constexpr double PauseMs(int baud) {
    return kPausePerFactorMs * (kHighestBaud / baud);  // the driver's own integer baud factor
}

constexpr double CharMs(int baud, int bitsPerChar) {
    return bitsPerChar * 1000.0 / baud;
}

// On a real line.
constexpr Floor TransactionFloor(int baud, int bitsPerChar, double turnaroundMs, int requestBytes,
                                 int replyBytes) {
    Floor f;
    f.pauseMs = PauseMs(baud);
    f.arrivalMs = (requestBytes + replyBytes) * CharMs(baud, bitsPerChar) + turnaroundMs;
    f.floorMs = FirstLookAfter(f.pauseMs, f.arrivalMs);
    return f;
}

// On the simulated line, which is faster than the rule in two ways: the request crosses the
// pseudo-terminal at once, and the simulator writes each reply byte at the start of its
// character time, so the reply is complete the turnaround and all but one of its characters
// after the write. Shown beside the real line's floor; where the two differ, the measured time
// follows this one.
constexpr Floor SimulatedLineFloor(int baud, int bitsPerChar, double turnaroundMs, int replyBytes) {
    Floor f;
    f.pauseMs = PauseMs(baud);
    f.arrivalMs = (replyBytes - 1) * CharMs(baud, bitsPerChar) + turnaroundMs;
    f.floorMs = FirstLookAfter(f.pauseMs, f.arrivalMs);
    return f;
}

// ---- Targets ------------------------------------------------------------------------------

// The allowance around a floor: 5 % of it, but never less than 2 ms (the clocks, the scheduler
// and the port's own calls cost a little on every call).
constexpr double FloorTolerance(double floorMs) {
    return std::max(0.05 * floorMs, 2.0);
}

// A median on the floor: neither more than the allowance above it nor below it (a median under
// the floor would mean the floor is wrong).
constexpr bool WithinFloor(double medianMs, double floorMs) {
    const double d = medianMs - floorMs;
    return d <= FloorTolerance(floorMs) && d >= -FloorTolerance(floorMs);
}

// The calling thread's processor time per call under 1 % of the call's wall time.
constexpr bool CpuWithinBudget(double cpuMs, double wallMs) {
    return cpuMs < 0.01 * wallMs;
}

// A core operation under 1 us.
constexpr bool CoreFastEnough(double nsPerCall) {
    return nsPerCall < 1000.0;
}

// Time per item "flat": the largest of the per-item figures no more than 1.5 times the smallest.
constexpr bool PerItemFlat(double smallestNs, double largestNs) {
    return smallestNs > 0 && largestNs <= 1.5 * smallestNs;
}

}  // namespace bench
