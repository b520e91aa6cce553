// One Modbus TCP request of a client, answered over the gateway of its line: the function code,
// address and count are picked out of the frame that libmodbus received, judged against the
// station's register table and the gateway, and the reply or exception is built and sent by
// libmodbus itself (modbus_reply, modbus_reply_exception).
//
// Functions: 03 and 04 read the same registers (a client configured for input registers reads the
// same values); 16 writes one whole value (two registers as float32, one as int16); as float32,
// 06 sets half a value and is refused with 02, since the other half on the meter is not known to
// be the one the client has in mind; as int16, 06 writes one whole value. A value the meter's
// field cannot carry as asked (an INT register given 40000 or 2.7) is refused with 03 before the
// line. As int16, a good value that does not fit 16 bits at its scale is answered 0B, as a
// failed reading is: the client must not take a clipped number for the meter's. A client not let
// write gets 01 for every write function (05, 06, 0F, 10, 16, 17), as if the server had none: it
// learns nothing of the registers it may not write.
#pragma once

#include <modbus.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "service/core/meter_gateway.h"
#include "service/modbus/modbus_register_map.h"

namespace service {

// What the handler decided for one request, before anything is sent.
struct RequestDecision {
    bool malformed = false;  // the header disagrees with the frame: close the client, send nothing
    ModbusException exception = ModbusException::kNone;
    bool isRead = false;
    bool writeRefused = false;  // a write from a client that may not write
    int first = 0;              // holding register of words[0] for a read
    int count = 0;
    std::array<std::uint16_t, MODBUS_MAX_READ_REGISTERS> words{};
};

// A mapping for libmodbus to build replies from: holding and input registers from address 0, as
// many as the largest table on the line spans. One per client thread.
struct ModbusMappingDeleter {
    void operator()(modbus_mapping_t* mapping) const { modbus_mapping_free(mapping); }
};
using ModbusMapping = std::unique_ptr<modbus_mapping_t, ModbusMappingDeleter>;
ModbusMapping NewReplyMapping(const StationTables& tables);

class ModbusRequestHandler {
public:
    // Both references must outlive the handler; the gateway is called from the calling thread.
    // `client`: the peer's address and port, for the log of its writes.
    // `order` matters to float32 only.
    ModbusRequestHandler(MeterGateway& gateway, const StationTables& tables, WordOrder order,
                         std::string_view client = {}, bool mayWrite = true,
                         ModbusFormat format = ModbusFormat::kFloat32)
        : gateway_(gateway),
          tables_(tables),
          order_(order),
          format_(format),
          who_("Modbus " + std::string(client)),
          mayWrite_(mayWrite) {}

    // Judges `request`, one whole frame (MBAP header included) as modbus_receive returned it for
    // a TCP context. A write is handed to the gateway here and waits for its outcome.
    RequestDecision Decide(std::span<const std::uint8_t> request) const;

    // Decides and sends the answer on `ctx`. False: the frame was malformed or the reply could not
    // be sent; the caller closes this client.
    bool Answer(modbus_t* ctx, std::span<const std::uint8_t> request, modbus_mapping_t& mapping);

    // Writes refused by Answer because this client may not write.
    std::uint64_t WritesRefused() const { return writesRefused_; }

private:
    RequestDecision DecideRead(std::int16_t station, int first, int count) const;
    ModbusException DecideWrite(std::int16_t station, int first, int count,
                                std::span<const std::uint8_t> data) const;
    // The value of the registers of one table register, as they came in a write.
    double ValueOfWords(std::span<const std::uint8_t> data, const StationRegisters& table,
                        std::int16_t index) const;

    MeterGateway& gateway_;
    const StationTables& tables_;
    WordOrder order_;
    ModbusFormat format_;
    std::string who_;
    bool mayWrite_;
    std::uint64_t writesRefused_ = 0;
};

}  // namespace service
