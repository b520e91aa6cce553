// The open ports of the process, by handle.
//
// A port handle names an entry of this table, never a file descriptor. Descriptor numbers are
// reused by the system at once: a handle that was the descriptor itself would, after its port
// closed, reach whatever file or line the host opened next. An entry's handle carries a
// generation that changes when the entry is freed, so a stale handle, or a number that was never
// a handle, finds nothing and every call on it fails with ERROR_INVALID_HANDLE without touching
// any descriptor. Every function here may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include <platform_native.h>

namespace platform {

// One open port: its descriptor, which the entry owns, and the write timeouts that a Windows
// port keeps with its handle and the kernel has no setting for.
class PortEntry final {
public:
    explicit PortEntry(int descriptor) : descriptor_(descriptor) {}
    // Gives up the exclusive use of the line and closes the descriptor.
    ~PortEntry();
    PortEntry(const PortEntry&) = delete;
    PortEntry& operator=(const PortEntry&) = delete;

    int descriptor() const { return descriptor_; }

    void SetWriteTimeouts(DWORD multiplier, DWORD constant) {
        multiplier_.store(multiplier, std::memory_order_relaxed);
        constant_.store(constant, std::memory_order_relaxed);
    }
    // The total time a write of `bytes` may take, in milliseconds; 0 when no timeouts are set.
    std::uint64_t WriteTimeoutMs(DWORD bytes) const {
        return std::uint64_t{multiplier_.load(std::memory_order_relaxed)} * bytes +
               constant_.load(std::memory_order_relaxed);
    }

private:
    const int descriptor_;
    std::atomic<DWORD> multiplier_{0};
    std::atomic<DWORD> constant_{0};
};

// A call's hold on an entry: the descriptor stays open while any call holds it, even when the
// handle is closed meanwhile on another thread.
using PortRef = std::shared_ptr<PortEntry>;

// The most ports open at once.
inline constexpr std::size_t kMaxOpenPorts = 4096;

// Takes `descriptor` into a new entry and returns the entry's handle. When the table is full the
// descriptor is closed and the result is INVALID_HANDLE_VALUE.
HANDLE AddPort(int descriptor);

// The entry that `handle` names, or null when it names none (closed, or never a handle).
PortRef FindPort(HANDLE handle);

// Frees the entry that `handle` names: the handle is invalid from then on, and the descriptor is
// closed as soon as no call holds the entry any more (at once, unless another thread is inside a
// call on it). False when `handle` names no entry.
bool RemovePort(HANDLE handle);

}  // namespace platform
