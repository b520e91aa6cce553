// The transaction slots: each runs the protocol's transaction over this object's own port, which
// the object presents to the protocol as its Channel, holding the port's exchange lock for the
// whole transaction.
#include "driver/ver4720ezo.h"
#include "protocol/transactions.h"
#include "serial/exchange_lock.h"

namespace driver {

std::int32_t VER4720Ezo::ExecuteRequest(IoRequest* request) {
    const serial::ExchangeLock exchange(m_hPort);
    return protocol::ExecuteRequest(*this, request);
}

std::int32_t VER4720Ezo::ExecuteRequestEx(IoRequest* request) {
    const serial::ExchangeLock exchange(m_hPort);
    return protocol::ExecuteRequestEx(*this, request);
}

std::int32_t VER4720Ezo::ProbeDevice(const char* modelName, std::int32_t station,
                                     std::int32_t cookie) {
    const serial::ExchangeLock exchange(m_hPort);
    return protocol::ProbeDevice(*this, modelName, station, cookie);
}

}  // namespace driver
