#include "platform/posix/port_table.h"

#include <deque>
#include <mutex>
#include <vector>

#include <sys/ioctl.h>
#include <unistd.h>

namespace platform {
namespace {

// A handle: bit 30 set (so that no small number, such as a descriptor, is ever a handle, and
// the value stays positive), the entry's generation in bits 12..29, its index in bits 0..11.
constexpr unsigned kIndexBits = 12;
constexpr unsigned kGenerationBits = 18;
constexpr std::uint32_t kIndexMask = (1u << kIndexBits) - 1;
constexpr std::uint32_t kGenerationMask = (1u << kGenerationBits) - 1;
constexpr std::uint32_t kMarker = 1u << 30;
constexpr std::uint32_t kMarkerMask = 3u << 30;
static_assert(kMaxOpenPorts == std::size_t{1} << kIndexBits);
static_assert(kIndexBits + kGenerationBits == 30);

// A freed entry is taken again only once this many are free, oldest first, so that one entry is
// not reused on every reopen and its generations last: a stale handle meets its number again
// only after 2^18 reuses of that entry, 16 million opens or more.
constexpr std::size_t kFreeBeforeReuse = 64;

struct Slot {
    PortRef port;
    std::uint32_t generation = 0;
};

std::mutex g_mutex;
std::vector<Slot> g_slots;
std::deque<std::uint32_t> g_free;

HANDLE HandleOf(std::uint32_t index, std::uint32_t generation) {
    return static_cast<HANDLE>(kMarker | (generation << kIndexBits) | index);
}

// The slot that `handle` names, or null. Called under g_mutex.
Slot* SlotOf(HANDLE handle) {
    const auto bits = static_cast<std::uint32_t>(handle);
    if ((bits & kMarkerMask) != kMarker) return nullptr;
    const std::uint32_t index = bits & kIndexMask;
    if (index >= g_slots.size()) return nullptr;
    Slot& slot = g_slots[index];
    const std::uint32_t generation = (bits >> kIndexBits) & kGenerationMask;
    return slot.port != nullptr && slot.generation == generation ? &slot : nullptr;
}

}  // namespace

PortEntry::~PortEntry() {
    // The port is free for others again once closed; the lock of the exclusive open goes with
    // the descriptor.
    ioctl(descriptor_, TIOCNXCL);
    close(descriptor_);
}

HANDLE AddPort(int descriptor) {
    // Made before the table's lock is taken, and released after it: from here on the entry
    // closes the descriptor when it goes, whatever fails below.
    PortRef port;
    try {
        port = std::make_shared<PortEntry>(descriptor);
    } catch (const std::bad_alloc&) {
        close(descriptor);
        return INVALID_HANDLE_VALUE;
    }
    const std::lock_guard lock(g_mutex);
    std::uint32_t index = 0;
    if (!g_free.empty() && (g_free.size() >= kFreeBeforeReuse || g_slots.size() == kMaxOpenPorts)) {
        index = g_free.front();
        g_free.pop_front();
    } else if (g_slots.size() < kMaxOpenPorts) {
        try {
            g_slots.emplace_back();
        } catch (const std::bad_alloc&) {
            return INVALID_HANDLE_VALUE;
        }
        index = static_cast<std::uint32_t>(g_slots.size() - 1);
    } else {
        return INVALID_HANDLE_VALUE;
    }
    g_slots[index].port = std::move(port);
    return HandleOf(index, g_slots[index].generation);
}

PortRef FindPort(HANDLE handle) {
    const std::lock_guard lock(g_mutex);
    const Slot* slot = SlotOf(handle);
    return slot != nullptr ? slot->port : nullptr;
}

bool RemovePort(HANDLE handle) {
    PortRef freed;  // released after the table's lock, since it may close the descriptor
    const std::lock_guard lock(g_mutex);
    Slot* slot = SlotOf(handle);
    if (slot == nullptr) return false;
    freed = std::move(slot->port);
    slot->generation = (slot->generation + 1) & kGenerationMask;
    try {
        g_free.push_back(static_cast<std::uint32_t>(slot - g_slots.data()));
    } catch (const std::bad_alloc&) {
        // The entry is then never reused; its handle is invalid all the same.
    }
    return true;
}

}  // namespace platform
