// qm4720d's Modbus request handling over the fixed test line, one frame per input, in both word
// orders, through libmodbus's own reply functions on a socket pair. A malformed frame gets no
// reply at all; any other gets exactly one, for its transaction and unit, either the exception
// the handler decided or the normal reply of its function; a normal read reply carries only good
// values, in the line's word order; and the gateway is asked to write only what a whole-value
// write of function 16 to a writable register carried.
#include <fcntl.h>
#include <modbus.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "service/modbus/modbus_request.h"
#include "tests/support/fake_gateway.h"

namespace {

std::vector<std::uint8_t> AnswerOnAPair(service::ModbusRequestHandler& handler,
                                        std::span<const std::uint8_t> frame,
                                        modbus_mapping_t& mapping, bool& answered) {
    int fds[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    modbus_t* ctx = modbus_new_tcp("0.0.0.0", 0);
    modbus_set_socket(ctx, fds[0]);
    answered = handler.Answer(ctx, frame, mapping);
    std::vector<std::uint8_t> sent(2 * MODBUS_TCP_MAX_ADU_LENGTH);
    const auto n = read(fds[1], sent.data(), sent.size());
    sent.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    modbus_free(ctx);
    close(fds[0]);
    close(fds[1]);
    return sent;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > MODBUS_TCP_MAX_ADU_LENGTH) return 0;  // modbus_receive never returns more
    const std::span<const std::uint8_t> frame(data, size);
    const auto tables = service::testing::FixedTables();
    for (const auto order :
         {service::WordOrder::kHighWordFirst, service::WordOrder::kLowWordFirst}) {
        service::testing::FakeGateway gateway;
        service::ModbusRequestHandler judge(gateway, tables, order);
        service::testing::FakeGateway replyGateway;
        service::ModbusRequestHandler handler(replyGateway, tables, order);
        auto mapping = service::NewReplyMapping(tables);
        FUZZ_CHECK(mapping != nullptr);

        const auto decision = judge.Decide(frame);
        bool answered = false;
        const auto reply = AnswerOnAPair(handler, frame, *mapping, answered);
        if (decision.malformed) {
            FUZZ_CHECK(!answered && reply.empty());
            FUZZ_CHECK(gateway.Writes().empty());
            continue;
        }
        FUZZ_CHECK(answered && reply.size() >= 9);
        FUZZ_CHECK(std::memcmp(reply.data(), data, 4) == 0);  // transaction, protocol
        FUZZ_CHECK(((reply[4] << 8) | reply[5]) == static_cast<int>(reply.size()) - 6);
        FUZZ_CHECK(reply[6] == data[6]);
        const auto function = data[7];
        if (decision.exception != service::ModbusException::kNone) {
            FUZZ_CHECK(reply.size() == 9 && reply[7] == (function | 0x80));
            FUZZ_CHECK(reply[8] == static_cast<std::uint8_t>(decision.exception));
        } else {
            FUZZ_CHECK(reply[7] == function);
        }

        const auto writes = gateway.Writes();
        if (!writes.empty()) {
            FUZZ_CHECK(writes.size() == 1 && function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS);
            FUZZ_CHECK(size == 17 && data[12] == 4);
            const auto station = tables.find(writes[0].station);
            FUZZ_CHECK(station != tables.end() && !station->second.IsReadOnly(writes[0].index));
            FUZZ_CHECK(((data[8] << 8) | data[9]) == 2 * writes[0].index);
            const std::array<std::uint16_t, 2> words = {
                static_cast<std::uint16_t>((data[13] << 8) | data[14]),
                static_cast<std::uint16_t>((data[15] << 8) | data[16])};
            FUZZ_CHECK(static_cast<double>(service::WordsToFloat(words, order)) == writes[0].value);
        }

        if (decision.isRead && decision.exception == service::ModbusException::kNone) {
            FUZZ_CHECK(reply.size() == 9u + 2 * decision.count && reply[8] == 2 * decision.count);
            for (int k = 0; k < decision.count / 2; ++k) {
                const auto index = static_cast<std::int16_t>(decision.first / 2 + k);
                const auto cell = gateway.Read(data[6], index);
                FUZZ_CHECK(cell.state == service::CellState::kGood);
                const auto words = service::FloatToWords(static_cast<float>(cell.value), order);
                FUZZ_CHECK(((reply[9 + 4 * k] << 8) | reply[10 + 4 * k]) == words[0]);
                FUZZ_CHECK(((reply[11 + 4 * k] << 8) | reply[12 + 4 * k]) == words[1]);
            }
        }
    }
    return 0;
}
