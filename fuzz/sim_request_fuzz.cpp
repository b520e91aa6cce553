// The simulator's request parser over an arbitrary byte stream: every byte ends up in exactly
// one request or among the discarded ones, every request has the frame shape of its kind, and a
// write's block check verdict is the XOR of the nine bytes that end with ETX. The field texts
// the simulator reads and writes stay within their width.
#include <cmath>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "tools/sim/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sim::RequestParser parser;
    std::size_t framed = 0;
    std::size_t discarded = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const auto request = parser.Feed(data[i]);
        discarded += parser.TakeDiscarded().size();
        if (!request) continue;
        const auto& raw = request->raw;
        framed += raw.size();
        FUZZ_CHECK(!raw.empty() && raw.front() == sim::kEot);
        FUZZ_CHECK(raw.back() == data[i]);
        FUZZ_CHECK(request->station >= -1 && request->station <= 99);
        FUZZ_CHECK(request->mnemonic.size() <= 2);
        if (request->kind == sim::RequestKind::kRead) {
            FUZZ_CHECK(raw.size() == 8 && raw[7] == sim::kEnq);
            FUZZ_CHECK(request->mnemonic.size() == 2);
        } else {
            FUZZ_CHECK(raw.size() >= 8 && raw[5] == sim::kStx && raw[raw.size() - 2] == sim::kEtx);
            bool expected = false;
            // The nine bytes must lie after STX (mnemonic onwards) to be checked at all.
            if (raw.size() >= 16) {
                std::uint8_t bcc = 0;
                for (std::size_t k = raw.size() - 10; k < raw.size() - 1; ++k) bcc ^= raw[k];
                expected = bcc == raw.back();
            }
            FUZZ_CHECK(request->blockCheckOk == expected);
            for (bool allowPoint : {false, true}) {
                const auto value = sim::ParseField(request->field, allowPoint);
                if (value) {
                    FUZZ_CHECK(request->field.size() == sim::kFieldWidth);
                    FUZZ_CHECK(std::isfinite(*value));
                }
            }
        }
    }
    FUZZ_CHECK(framed + discarded <= size);

    // The fields the instrument writes, for values taken from the input.
    if (size >= 4) {
        std::int32_t raw;
        std::memcpy(&raw, data, sizeof raw);
        const int integer =
            sim::kIntFieldMin + static_cast<int>(static_cast<std::uint32_t>(raw) %
                                                 (sim::kIntFieldMax - sim::kIntFieldMin + 1));
        const std::string intField = sim::FormatIntField(integer);
        FUZZ_CHECK(intField.size() == sim::kFieldWidth);
        const auto intBack = sim::ParseField(intField, false);
        FUZZ_CHECK(intBack && *intBack == integer);

        const double real =
            sim::kFloatFieldMin + (sim::kFloatFieldMax - sim::kFloatFieldMin) *
                                      (static_cast<std::uint32_t>(raw) / 4294967295.0);
        const std::string floatField = sim::FormatFloatField(real);
        FUZZ_CHECK(floatField.size() == sim::kFieldWidth);
        const auto floatBack = sim::ParseField(floatField, true);
        FUZZ_CHECK(floatBack.has_value());
        FUZZ_CHECK(std::fabs(*floatBack - real) <= 0.5 + 1e-9);

        const auto reply = sim::BuildDataReply("PV", floatField);
        FUZZ_CHECK(reply.size() == 11 && reply[0] == sim::kStx && reply[9] == sim::kEtx);
    }
    return 0;
}
