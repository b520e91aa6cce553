// Transactions: one request carried to the instrument and back. Each builds the request frame,
// sends it, pauses 30 ms per unit of the baud factor, collects one reply block, judges it and, for
// a read, decodes the reply's data field into every item. One frame and one reply per call;
// nothing is retried. Each returns an Outcome: the result, 1 or 0, and for a 0 the reason that the
// driver records as its error where the entry point's description says so (a success, and the
// zeros described as leaving the error unchanged, carry no reason).
//
// How the entry points differ (the host relies on every difference). Columns: ExecuteRequest on
// the default model (ER), ExecuteRequest on "QM4720N" (ER-N), ExecuteRequestEx on the default
// model (EX), ExecuteRequestEx on "QM4720N" (EX-N).
//
//                                   ER               ER-N            EX              EX-N
//   runs                            itself           QM4720N path,   itself          QM4720N path,
//                                                    no stamps                       stamps
//   "CommErr" -> 1, no traffic      no               yes             yes             yes
//   write to 0..12 -> 1, no traffic no               yes             yes             yes
//   write result                    always 0         1 on ACK        1 on ACK        1 on ACK
//   read: types decoded             BIT INT FLOAT    INT FLOAT       BIT INT FLOAT   INT FLOAT
//   read: value stored in           readValue        value           value           value
//   read: items stamped             none             none            every item      every item
//   read: result when accepted      1 if the value   1               1               1
//                                   stored last is
//                                   in 0.0..6.0
#pragma once

#include <cstdint>

#include "protocol/channel.h"
#include "records/io_request.h"

namespace protocol {

// Why a transaction gave 0.
enum class Failure {
    kNone,           // nothing to record: a success, or a 0 that leaves the error as it was
    kStation,        // a station outside 0..99
    kRegisterRange,  // the default model: a register index outside its table
    kRegisterName,   // QM4720N: a register text that holds no two-character mnemonic
    kValueRange,     // a write whose value does not fit the six-character field
    kFormat,         // a request no frame can carry: a direction other than read or write, a write
                     // without an item or of a type the model cannot encode
    kPortWrite,      // the write to the port failed; the system's code is in Outcome::systemError
    kTimeout,        // the frame did not go out whole, or no complete reply came in time
    kReply,          // a read reply that is no well-formed answer with a number in its field
};

struct Outcome {
    std::int32_t result = 0;
    Failure failure = Failure::kNone;
    std::uint32_t systemError = 0;  // with Failure::kPortWrite
};

// The basic entry point. A request whose model is "QM4720N" (ASCII case ignored) runs the
// QM4720N path without stamps. Otherwise every request is sent as it is ("CommErr" and the
// read-only registers included); a write then always gives 0 (the error unchanged), and a read
// gives 1 when the value stored last lies in 0.0..6.0, else 0 with the error unchanged. A read
// whose items hold no BIT, INT or FLOAT item stores nothing and gives 0. Null request: 0.
Outcome ExecuteRequest(Channel& channel, IoRequest* request);

// The extended entry point: stores read values in `value` and stamps every item of an accepted
// read with the current file time and quality 192. Null request: 0.
Outcome ExecuteRequestEx(Channel& channel, IoRequest* request);

// The QM4720N path of both entry points: the mnemonic is the first two characters of
// registerText, only INT and FLOAT items are decoded, and items are stamped when `stampItems`.
Outcome ExecuteRequestQM4720N(Channel& channel, IoRequest& request, bool stampItems);

// Whether a station answers: reads its register EE (index 0) into one INT item through
// ExecuteRequest, whose failure it passes on. 1 when that returns nonzero: on the default model the
// value must lie in 0..6, on "QM4720N" any accepted reply passes. `station` is taken as its low 16
// bits, signed. A null model name gives 0 without traffic.
Outcome ProbeDevice(Channel& channel, const char* modelName, std::int32_t station,
                    std::int32_t cookie);

}  // namespace protocol
