// qm4720d's Modbus request handling over the fixed test line, one frame per input, as float32 in
// both word orders and as int16, through libmodbus's own reply functions on a socket pair. A
// malformed frame gets no reply at all; any other gets exactly one, for its transaction and unit,
// either the exception the handler decided or the normal reply of its function; a normal read
// reply carries only good values, in the line's word order or scaled into 16 bits; and the gateway
// is asked to write only what a whole-value write to a writable register carried (function 16, or
// as int16 also 06, divided back by the register's scale).
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

// The fixed line's tables with a scale on a few of station 1's registers, for int16.
service::StationTables ScaledTables() {
    auto tables = service::testing::FixedTables();
    auto& scale = tables[1].scale;
    scale.assign(service::testing::kDefaultModelCount, 0);
    scale[0] = 1;
    scale[5] = 2;
    scale[20] = -1;
    return tables;
}

struct Layout {
    service::ModbusFormat format;
    service::WordOrder order;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > MODBUS_TCP_MAX_ADU_LENGTH) return 0;  // modbus_receive never returns more
    const std::span<const std::uint8_t> frame(data, size);
    const auto fixed = service::testing::FixedTables();
    const auto scaled = ScaledTables();
    for (const Layout layout :
         {Layout{service::ModbusFormat::kFloat32, service::WordOrder::kHighWordFirst},
          Layout{service::ModbusFormat::kFloat32, service::WordOrder::kLowWordFirst},
          Layout{service::ModbusFormat::kInt16, service::WordOrder::kHighWordFirst}}) {
        const bool int16 = layout.format == service::ModbusFormat::kInt16;
        const auto order = layout.order;
        const auto& tables = int16 ? scaled : fixed;
        service::testing::FakeGateway gateway;
        service::ModbusRequestHandler judge(gateway, tables, order, {}, true, layout.format);
        service::testing::FakeGateway replyGateway;
        service::ModbusRequestHandler handler(replyGateway, tables, order, {}, true, layout.format);
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
        if (int16) {
            if (!writes.empty()) {
                FUZZ_CHECK(writes.size() == 1);
                const bool single = function == MODBUS_FC_WRITE_SINGLE_REGISTER;
                FUZZ_CHECK(single || function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS);
                FUZZ_CHECK(single ? size == 12 : (size == 15 && data[12] == 2));
                const auto station = tables.find(writes[0].station);
                FUZZ_CHECK(station != tables.end() && !station->second.IsReadOnly(writes[0].index));
                FUZZ_CHECK(((data[8] << 8) | data[9]) == writes[0].index);
                const auto at = single ? 10u : 13u;
                const auto word = static_cast<std::uint16_t>((data[at] << 8) | data[at + 1]);
                FUZZ_CHECK(service::WordToScaled(word, station->second.ScaleOf(writes[0].index)) ==
                           writes[0].value);
            }
            if (decision.isRead && decision.exception == service::ModbusException::kNone) {
                FUZZ_CHECK(reply.size() == 9u + 2 * decision.count &&
                           reply[8] == 2 * decision.count);
                const auto& table = tables.at(data[6]);
                for (int k = 0; k < decision.count; ++k) {
                    const auto index = static_cast<std::int16_t>(decision.first + k);
                    const auto cell = gateway.Read(data[6], index);
                    FUZZ_CHECK(cell.state == service::CellState::kGood);
                    const auto word = service::ScaledToWord(cell.value, table.ScaleOf(index));
                    FUZZ_CHECK(word && ((reply[9 + 2 * k] << 8) | reply[10 + 2 * k]) == *word);
                }
            }
            continue;
        }
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
