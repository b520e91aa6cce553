#include "serial/exchange_lock.h"

#include <map>

namespace serial {
namespace {

// The lock of each port that an exchange holds or waits for. An entry goes when its last user
// does, so the map stays as small as the number of ports in use at this moment.
std::mutex g_mapMutex;
std::map<HANDLE, std::shared_ptr<std::mutex>> g_portMutexes;

std::shared_ptr<std::mutex> MutexOf(HANDLE port) {
    const std::lock_guard lock(g_mapMutex);
    auto& mutex = g_portMutexes[port];
    if (mutex == nullptr) mutex = std::make_shared<std::mutex>();
    return mutex;
}

}  // namespace

ExchangeLock::ExchangeLock(HANDLE port) : port_(port), mutex_(MutexOf(port)) {
    mutex_->lock();
}

ExchangeLock::~ExchangeLock() {
    mutex_->unlock();
    // References are taken and dropped only under the map's lock, so the count is exact: when
    // the map's is the last, nobody else holds or waits for the port.
    const std::lock_guard lock(g_mapMutex);
    mutex_.reset();
    if (const auto entry = g_portMutexes.find(port_);
        entry != g_portMutexes.end() && entry->second.use_count() == 1) {
        g_portMutexes.erase(entry);
    }
}

}  // namespace serial
