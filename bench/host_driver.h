// The driver as a host meets it: the host library's driver session (the module loaded from its
// file, the object made by the module's class factory), and every call made through the two
// interfaces' slot tables. Requests are laid
// out the way a host lays them out, with their own item list.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "host/client/driver_session.h"
#include "records/io_request.h"

namespace bench {

class HostDriver {
public:
    // Null with `error` set when the module cannot be loaded or the object cannot be made.
    static std::unique_ptr<HostDriver> Create(const std::string& modulePath, std::string& error);
    HostDriver(const HostDriver&) = delete;
    HostDriver& operator=(const HostDriver&) = delete;

    // OpenPort through the slot table at `baud`, 8N1, the given reply timeout.
    bool Open(const std::string& port, int baud, int replyTimeoutMs, std::string& error);

    // ExecuteRequestEx through the slot table.
    std::int32_t ExecuteEx(IoRequest& request) {
        return driverEx_->lpVtbl->ExecuteRequestEx(driverEx_, &request);
    }

    std::string ErrorText() const;

private:
    HostDriver() = default;
    std::unique_ptr<host::DriverSession> session_;
    IDeviceDriverEx* driverEx_ = nullptr;  // the session's
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
