// VER4720Ezo: the driver object that a host creates from this module. It holds one serial port
// (its handle, baud factor and reply timeout) and the last error, and presents IDeviceDriver,
// IDeviceDriverEx and a dispatch interface without members. The slots are thin: each finds its
// object and calls the operation below. The object's code is spread over files named after it:
// ver4720ezo.cpp (creation, slot tables, errors), ver4720ezo_tags.cpp (register catalogue),
// ver4720ezo_port.cpp (serial port), ver4720ezo_transactions.cpp (transactions).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "driver/cmd_target.h"
#include "driver/error_text.h"
#include "driver/interfaces.h"
#include "driver/port_channel.h"
#include "protocol/transactions.h"
#include "serial/quiet_line.h"

namespace driver {

class VER4720Ezo final : public CCmdTarget {
public:
    static const RuntimeClass kRuntimeClass;

    // Allocates and constructs one object (count 1, module lock taken); null when out of memory.
    static CCmdTarget* CreateObject();

    VER4720Ezo();
    ~VER4720Ezo() override;

    const RuntimeClass* GetRuntimeClass() const override { return &kRuntimeClass; }
    std::span<const InterfaceEntry> GetInterfaceTable() const override;

    // The parts handed to the host.
    IDeviceDriver* DeviceDriver() { return reinterpret_cast<IDeviceDriver*>(&m_xDeviceDriver); }
    IDeviceDriverEx* DeviceDriverEx() {
        return reinterpret_cast<IDeviceDriverEx*>(&m_xDeviceDriverEx);
    }

    static VER4720Ezo* FromPart(void* self) {
        return static_cast<VER4720Ezo*>(CCmdTarget::FromPart(self));
    }

    // Register catalogue.
    std::int32_t GetRegisterTable(const char* modelName, const RegisterDescriptor** table,
                                  std::int32_t* count);
    std::uint16_t ParseRegister(const TagSpec* tag, TagBinding* binding);
    std::int32_t CheckStation(const char* stationText, std::int32_t* station);

    // Serial port.
    std::int32_t OpenPort(const PortSettings* settings);
    std::int32_t ClosePort();
    std::int32_t SetPortHandle(const HANDLE* handle);
    std::int32_t GetPortHandle(HANDLE* handle);

    // Transactions.
    std::int32_t ExecuteRequest(IoRequest* request);
    std::int32_t ExecuteRequestEx(IoRequest* request);
    std::int32_t ProbeDevice(const char* modelName, std::int32_t station, std::int32_t cookie);

    // The text of the last failure, or null when none was recorded.
    const char* GetErrorText() const;

    // The channel that this object's transactions use to reach its port, made from the fields.
    PortChannel ChannelToPort() const { return {m_hPort, m_nBaudFactor, m_nTimeout}; }

    // Records a DriverError; the platform's own code of a failed port write.
    void RecordError(std::int32_t driverError);
    void RecordPlatformError(DWORD code);

    // Records the reason of a failed transaction as m_nError, if it has one, and gives its result.
    std::int32_t RecordOutcome(const protocol::Outcome& outcome);

    // Fields, in the order a host-side debugger expects them.
    HANDLE m_hPort = INVALID_HANDLE_VALUE;         // the port; the invalid handle when none is held
    std::int32_t m_nBaudFactor = 1;                // 9600 / baud rate; 1 (9600 baud) until OpenPort
    std::int32_t m_nTimeout = 1500;                // reply timeout in milliseconds
    std::int32_t m_nError = contract::kErrorNone;  // the last failure; -1 none

    // True while m_nError holds a platform error code rather than a DriverError, so that such a
    // code is never taken for an index of the message table.
    bool m_bPlatformError = false;

private:
    InterfacePart m_xDeviceDriver;
    InterfacePart m_xDeviceDriverEx;

    // Taken off the port this object closed after an exchange without its answer, for the port
    // it opens next (serial/quiet_line.h).
    std::optional<serial::LateAnswer> lateAnswerOnClosedPort_;

    friend InterfacePart* DeviceDriverPartOf(CCmdTarget* target);
    friend InterfacePart* DeviceDriverExPartOf(CCmdTarget* target);
};

}  // namespace driver
