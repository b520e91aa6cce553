// The instrument's side of the line protocol: taking request frames out of the received byte
// stream, the block check, and the six-character data field as the instrument writes and reads it.
// This is written from the instrument's point of view on purpose and shares no code with the
// driver's protocol layer, so that each side checks the other.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr std::uint8_t kEot = 0x04;
inline constexpr std::uint8_t kEnq = 0x05;
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kNak = 0x15;

// Characters of a data field.
inline constexpr std::size_t kFieldWidth = 6;

enum class RequestKind { kRead, kWrite };

// One request frame as it came off the line.
struct Request {
    RequestKind kind = RequestKind::kRead;
    int station = -1;               // 0..99, or -1 when the station field is not two doubled digits
    std::string mnemonic;           // two characters
    std::string field;              // write: every byte between the mnemonic and ETX
    bool blockCheckOk = false;      // write: the BCC matches the nine bytes that end with ETX
    std::vector<std::uint8_t> raw;  // the whole frame, EOT first
};

// XOR of the bytes.
std::uint8_t BlockCheck(std::span<const std::uint8_t> bytes);

// Station from the four characters of a station field: each of the two digits written twice
// ("0011" is station 1, "1122" station 12). -1 when the field is not of that form.
int StationFromField(std::span<const std::uint8_t> field);

// Finds request frames in a byte stream. Every EOT starts a new frame (so a frame cut short by
// noise or a lost byte does not swallow the next one); bytes outside a frame are set aside as
// discarded. Read: EOT, station field, mnemonic, ENQ. Write: EOT, station field, STX, mnemonic and
// data field up to ETX, then one BCC byte (any value, EOT included).
class RequestParser {
public:
    // Takes one byte; returns the request that this byte completes, if any.
    std::optional<Request> Feed(std::uint8_t byte);

    // Bytes that belonged to no frame since the last call (stray bytes, broken frames).
    std::vector<std::uint8_t> TakeDiscarded();

private:
    enum class State {
        kIdle,
        kStation,
        kAfterStation,
        kReadMnemonic,
        kReadEnq,
        kWriteText,
        kWriteBcc
    };
    void Drop();

    State state_ = State::kIdle;
    std::vector<std::uint8_t> frame_;
    std::vector<std::uint8_t> discarded_;
};

// Register values as the instrument writes them into a data field.
// INT: decimal, right-aligned, zero fill, sign first: 25 -> "000025", -3 -> "-00003".
std::string FormatIntField(int value);
// FLOAT: always with a decimal point, as many decimals (up to four, trailing zeros dropped, at
// least one kept) as the six characters allow: 25.5 -> "0025.5", -12.5 -> "-012.5",
// 12.3456 -> "12.346". Values whose integer part leaves no room for a decimal keep the point alone
// ("12345.", "-1000."). The caller keeps values inside FloatFieldMin..FloatFieldMax.
std::string FormatFloatField(double value);
inline constexpr double kFloatFieldMin = -9999.0;
inline constexpr double kFloatFieldMax = 99999.0;
inline constexpr int kIntFieldMin = -32768;  // the instrument's INT registers are 16 bits
inline constexpr int kIntFieldMax = 32767;

// Reads a data field the way the instrument checks a written value: exactly six characters, an
// optional "-" first, digits with at most one ".", at least one digit. `allowPoint` false accepts
// whole numbers only. nullopt for anything else.
std::optional<double> ParseField(std::string_view field, bool allowPoint);

// The data reply for a read: STX, mnemonic, six-character field, ETX, BCC over the nine bytes from
// the mnemonic through ETX.
std::vector<std::uint8_t> BuildDataReply(std::string_view mnemonic, std::string_view field);

}  // namespace sim
