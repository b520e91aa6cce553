// Placeholder: the serial port operations arrive with the serial port work.
#include "driver/ver4720ezo.h"

namespace driver {

std::int32_t VER4720Ezo::OpenPort(const PortSettings*) { return 0; }
std::int32_t VER4720Ezo::ClosePort() { return 0; }
std::int32_t VER4720Ezo::SetPortHandle(const HANDLE*) { return 0; }
std::int32_t VER4720Ezo::GetPortHandle(HANDLE* handle) {
    if (handle == nullptr) return 0;
    *handle = m_hPort;
    return 1;
}
std::int32_t VER4720Ezo::SendFrame(std::span<const std::uint8_t>) { return -1; }
bool VER4720Ezo::ReceiveFrame(std::span<std::uint8_t, protocol::kReplyBufferSize>,
                              std::uint32_t&) {
    return false;
}

}  // namespace driver
