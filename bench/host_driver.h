// The driver as a host meets it: the public Driver (the module loaded from its file, the object
// made by the module's class factory), with the exchanges passed as the module's own request
// records, laid out the way a host lays them out, with their own item list.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include <qm4720/qm4720.h>

#include "records/io_request.h"
#include "qm4720/qm4720.hpp"

namespace bench {

class HostDriver {
public:
    // Null with `error` set when the module cannot be loaded or the object cannot be made.
    static std::unique_ptr<HostDriver> Create(const std::string& modulePath, std::string& error);
    HostDriver(const HostDriver&) = delete;
    HostDriver& operator=(const HostDriver&) = delete;

    // Opens `port` at `baud`, 8N1, the given reply timeout.
    bool Open(const std::string& port, int baud, int replyTimeoutMs, std::string& error);

    // The module's extended exchange call with the request as it is.
    std::int32_t ExecuteEx(IoRequest& request) { return driver_.ExecuteRequestRecord(request); }

private:
    HostDriver() = default;
    qm4720::Driver driver_;
    std::string modulePath_;
};

// One request with `count` items of `type` in a doubly linked list, as a host builds it.
class HostRequest {
public:
    HostRequest(std::int16_t direction, std::int16_t station, const char* model,
                const char* registerText, std::int16_t registerIndex, std::uint16_t type,
                int count);
    HostRequest(const HostRequest&) = delete;
    HostRequest& operator=(const HostRequest&) = delete;

    IoRequest& Request() { return request_; }
    IoItem& First() { return items_.front(); }

private:
    IoRequest request_{};
    std::deque<IoItem> items_;
    std::deque<IoItemNode> nodes_;
};

}  // namespace bench
