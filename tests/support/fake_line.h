// A serial line and a clock made of data, for the receive fuzz target. The fuzz build links
// fake_line.cpp in place of the terminal layer and the clock of platform/posix: the receiver then
// polls a port whose bytes arrive in the chunks and at the times the fuzzer chose, and its pauses
// advance a counted clock instead of sleeping.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace fake_line {

// Bytes that become readable at a moment of the fake clock.
struct Arrival {
    std::uint32_t atMs;  // since Reset
    std::vector<std::uint8_t> bytes;
};

// Starts a new exchange: the clock stands at `tickStart`, nothing is queued, and `arrivals`
// (in time order) will arrive.
void Reset(std::uint32_t tickStart, std::vector<Arrival> arrivals);

// Milliseconds the fake clock has advanced since Reset.
std::uint32_t ElapsedMs();

// Bytes the receiver read from the line since Reset, in order.
const std::vector<std::uint8_t>& BytesRead();

// The handle that the fake port answers to; every other handle is refused.
inline constexpr std::int32_t kPort = 7;

}  // namespace fake_line
