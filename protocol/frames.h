// Frames: the request frames sent to the instrument, the block check character, and the judgement
// of a received reply block. Pure functions over the caller's buffers.
//
//   read request   EOT c1 c1 c2 c2 m1 m2 ENQ                          8 bytes
//   write request  EOT c1 c1 c2 c2 STX m1 m2 f1..f6 ETX BCC           16 bytes
//   data reply     ... STX m1 m2 f1..f6 ETX BCC                       judged on its last 11
//   write reply    ... ACK or NAK                                     judged on its last byte
//
// c1 c2 are the two station digits ("0" first below 10), m1 m2 the register mnemonic, f1..f6 the
// data field, and the BCC the XOR of the nine bytes m1 through ETX.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "protocol/wire_format.h"
#include "records/io_request.h"

namespace protocol {

inline constexpr std::int32_t kReadFrameLength = 8;
inline constexpr std::int32_t kWriteFrameLength = 16;
// A data reply is judged on its last 11 bytes: STX, mnemonic, field, ETX, BCC.
inline constexpr std::size_t kDataReplyLength = 11;
// The block check covers the nine bytes that end with ETX.
inline constexpr std::size_t kBccSpan = 9;

// Which builder serves the request: the default model takes the mnemonic from the default
// register table by registerIndex; the QM4720N model takes the first two characters of
// registerText and has no encoding for BIT values.
enum class BuilderMember { kDefaultModel, kQM4720N };

// Why a builder built nothing.
enum class FrameRefusal {
    kNone,
    kDirection,         // a direction other than read (0) or write (1)
    kStation,           // a station outside 0..99
    kRegisterIndex,     // the default model: a registerIndex outside the default table
    kRegisterText,      // QM4720N: a registerText null or shorter than two characters
    kNoItem,            // a write without an item to send
    kValueOutOfRange,   // a FLOAT write whose value does not fit the six-character field
    kTypeNotEncodable,  // a write of a type the member cannot encode
};

// Builds the request frame of `request` into `buffer` and sets `length` to its byte count (8 for
// a read, 16 for a write). Returns 1 when a frame was built; 0 when the request was refused, with
// `length` 0, the buffer untouched and the reason in `refusal`. A write sends the first item of
// the list only. Only the record's own fields and the first item are read, and nothing beyond
// the frame's bytes is written.
std::int32_t BuildRequestFrame(BuilderMember member, const IoRequest& request,
                               std::span<std::uint8_t, kFrameBufferSize> buffer,
                               std::int32_t& length, FrameRefusal& refusal);

// The XOR of `bytes`; every frame passes the nine bytes that end with ETX.
std::uint8_t ComputeBcc(std::span<const std::uint8_t> bytes);

// True when `block` ends with a well-formed data reply: at least 11 bytes, ETX second from the
// end, STX eleven from the end and the BCC right.
bool IsDataReply(std::span<const std::uint8_t> block);

// 1 when `block` is a well-formed reply to a request of the request's direction, else 0.
// Write: the last byte is ACK or NAK (whether the write took is the caller's test of ACK).
// Read: at least 11 bytes, ETX second from the end, STX eleven from the end and the BCC right;
// bytes before those eleven are ignored. Whether the reply names the requested register is
// ReplyNamesRegister's test.
// Any other direction: 0.
std::int32_t ValidateReply(const IoRequest& request, std::span<const std::uint8_t> block);

// True when the data reply `block` names the register that `member` asks `request` for: the two
// characters after its STX are the request's mnemonic. False for a block shorter than a data
// reply or a request that names no register.
bool ReplyNamesRegister(BuilderMember member, const IoRequest& request,
                        std::span<const std::uint8_t> block);

// The six data characters of a data reply: the bytes that end two before the end of the block.
// Empty when the block is shorter than a data reply.
std::string_view ReplyDataField(std::span<const std::uint8_t> block);

}  // namespace protocol
