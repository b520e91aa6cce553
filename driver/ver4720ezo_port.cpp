// The serial port slots of the driver object: thin wrappers that keep the object's fields and
// record its errors around the serial link's functions.
#include "driver/ver4720ezo.h"
#include "serial/exchange_lock.h"
#include "serial/quiet_line.h"
#include "serial/serial_port.h"

namespace driver {

std::int32_t VER4720Ezo::OpenPort(const PortSettings* settings) {
    if (settings == nullptr) return 0;
    // Set first, so that a failed open still takes the new reply timeout.
    m_nTimeout = serial::ReplyTimeoutFrom(*settings);
    switch (serial::OpenPort(*settings, m_hPort, m_nBaudFactor)) {
        case serial::OpenFailure::kNone:
            // A port closed after an exchange without its answer was most likely this same line:
            // the answer may still arrive on it.
            if (lateAnswerOnClosedPort_) {
                serial::RestoreLateAnswer(m_hPort, *lateAnswerOnClosedPort_);
                lateAnswerOnClosedPort_.reset();
            }
            return 1;
        case serial::OpenFailure::kBaudRange:
            RecordError(contract::kErrorBaudRange);
            return 0;
        case serial::OpenFailure::kOpen:
            break;
    }
    RecordError(contract::kErrorOpen);
    return 0;
}

std::int32_t VER4720Ezo::ClosePort() {
    // An exchange that another object runs on the shared handle ends first.
    const serial::ExchangeLock exchange(m_hPort);
    const HANDLE closing = m_hPort;
    if (!serial::ClosePort(m_hPort)) return 0;
    // The dead handle's value may come back for another port; what was expected on it goes with
    // this object to the port it opens next.
    if (auto expected = serial::TakeLateAnswer(closing)) lateAnswerOnClosedPort_ = expected;
    return 1;
}

// The handle is taken as it is: not checked, the previous one not closed, and the baud factor and
// reply timeout stay this object's own.
std::int32_t VER4720Ezo::SetPortHandle(const HANDLE* handle) {
    if (handle == nullptr) return 0;
    m_hPort = *handle;
    return 1;
}

std::int32_t VER4720Ezo::GetPortHandle(HANDLE* handle) {
    if (handle == nullptr) return 0;
    *handle = m_hPort;
    return 1;
}

}  // namespace driver
