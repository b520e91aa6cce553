// One exchange at a time on each port. Driver objects that share a port handle, or one object
// called from several threads, would otherwise interleave their exchanges on the line: the
// purge before one object's send discards the reply another is waiting for, and a reply is
// taken by the wrong caller and stored as another register's value. An exchange (send, pause,
// receive) holds its port's lock from start to end; calls on other ports never wait for it.
#pragma once

#include <memory>
#include <mutex>

#include "platform/platform.h"

namespace serial {

class ExchangeLock final {
public:
    // Blocks until no other exchange holds `port`. Any value may be passed, the invalid handle
    // included: calls on one object without a port are still one at a time.
    explicit ExchangeLock(HANDLE port);
    ~ExchangeLock();
    ExchangeLock(const ExchangeLock&) = delete;
    ExchangeLock& operator=(const ExchangeLock&) = delete;

private:
    HANDLE port_;
    std::shared_ptr<std::mutex> mutex_;
};

}  // namespace serial
