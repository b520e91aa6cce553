// The transaction slots: each runs the protocol's transaction over a channel to this object's
// own port, holding the port's exchange lock for the whole transaction, and turns its outcome
// into the object's error.
#include "driver/ver4720ezo.h"
#include "serial/exchange_lock.h"

namespace driver {

std::int32_t VER4720Ezo::ExecuteRequest(IoRequest* request) {
    const serial::ExchangeLock exchange(m_hPort);
    PortChannel channel = ChannelToPort();
    return RecordOutcome(protocol::ExecuteRequest(channel, request));
}

std::int32_t VER4720Ezo::ExecuteRequestEx(IoRequest* request) {
    const serial::ExchangeLock exchange(m_hPort);
    PortChannel channel = ChannelToPort();
    return RecordOutcome(protocol::ExecuteRequestEx(channel, request));
}

std::int32_t VER4720Ezo::ProbeDevice(const char* modelName, std::int32_t station,
                                     std::int32_t cookie) {
    const serial::ExchangeLock exchange(m_hPort);
    PortChannel channel = ChannelToPort();
    return RecordOutcome(protocol::ProbeDevice(channel, modelName, station, cookie));
}

std::int32_t VER4720Ezo::RecordOutcome(const protocol::Outcome& outcome) {
    switch (outcome.failure) {
        case protocol::Failure::kNone:
            break;
        case protocol::Failure::kStation:
            RecordError(contract::kErrorStation);
            break;
        case protocol::Failure::kRegisterRange:
            RecordError(contract::kErrorRegisterRange);
            break;
        case protocol::Failure::kRegisterName:
            RecordError(contract::kErrorRegisterName);
            break;
        case protocol::Failure::kValueRange:
            RecordError(contract::kErrorValueRange);
            break;
        case protocol::Failure::kFormat:
            RecordError(contract::kErrorFormat);
            break;
        case protocol::Failure::kPortWrite:
            RecordPlatformError(outcome.systemError);
            break;
        case protocol::Failure::kTimeout:
            RecordError(contract::kErrorTimeout);
            break;
        case protocol::Failure::kReply:
            RecordError(contract::kErrorReply);
            break;
    }
    return outcome.result;
}

}  // namespace driver
