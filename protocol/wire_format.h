// The bytes of the line protocol that more than one layer needs: the control characters, the
// buffer sizes of one exchange and the rule that ends a reply. Defined here once; the serial
// layer, which moves the bytes without judging them, is handed the end rule by its caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace protocol {

inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr std::uint8_t kEot = 0x04;
inline constexpr std::uint8_t kEnq = 0x05;
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kNak = 0x15;

// The reply buffer of one exchange, and the most that one poll reads.
inline constexpr std::size_t kReplyBufferSize = 1024;

// The request frame buffer: a frame takes at most 31 bytes, and the byte after it stays zero.
inline constexpr std::size_t kFrameBufferSize = 32;
inline constexpr std::size_t kMaxFrameLength = kFrameBufferSize - 1;

// The end of a reply, judged on everything collected so far: a data reply ends with ETX and its
// block check byte; a write is answered by one byte, ACK or NAK. A lone STX is the start of a
// data reply whose other bytes are still on their way, not an answer of its own. The rule is
// tested on the whole collection, not byte by byte, because one poll may deliver the end
// together with the bytes before it.
inline bool IsCompleteReply(std::span<const std::uint8_t> collected) {
    if (collected.size() == 1) return collected[0] != kStx;
    return collected.size() >= 2 && collected[collected.size() - 2] == kEtx;
}

}  // namespace protocol
