#include "bench/host_driver.h"

namespace bench {

std::unique_ptr<HostDriver> HostDriver::Create(const std::string& modulePath, std::string& error) {
    std::unique_ptr<HostDriver> made(new HostDriver());
    if (const qm4720::Error loaded = made->driver_.Load(modulePath, "")) {
        error = loaded.message;
        return nullptr;
    }
    made->modulePath_ = modulePath;
    return made;
}

bool HostDriver::Open(const std::string& port, int baud, int replyTimeoutMs, std::string& error) {
    qm4720::OpenOptions options;
    options.baud = baud;
    options.replyTimeoutMs = replyTimeoutMs;
    options.port = port;
    options.modulePath = modulePath_;
    if (const qm4720::Error failure = driver_.Open(options)) {
        error = "OpenPort failed: " + failure.message;
        return false;
    }
    return true;
}

HostRequest::HostRequest(std::int16_t direction, std::int16_t station, const char* model,
                         const char* registerText, std::int16_t registerIndex, std::uint16_t type,
                         int count) {
    request_.direction = direction;
    request_.station = station;
    request_.modelName = model;
    request_.registerText = registerText;
    request_.registerIndex = registerIndex;
    IoItemNode* previous = nullptr;
    for (int i = 0; i < count; ++i) {
        IoItem& item = items_.emplace_back();
        item.type = type;
        IoItemNode& node = nodes_.emplace_back(IoItemNode{nullptr, previous, &item});
        if (previous != nullptr) previous->next = &node;
        previous = &node;
    }
    request_.items.head = nodes_.empty() ? nullptr : &nodes_.front();
    request_.items.tail = previous;
    request_.items.count = count;
}

}  // namespace bench
