#include "fuse/Interrupt.h"

#include <atomic>
#include <csignal>
#include <cstring>

#include "fuse/System.h"

namespace kelvane_fuse {
namespace {

// A handler may only touch what is always in a consistent state: fixed
// slots, each armed by one atomic store after its path is complete.
constexpr int kSlots = 16;
constexpr size_t kPathBytes = 4096;

enum SlotState : int { kFree = 0, kFilling = 1, kArmed = 2 };

struct Slot {
    std::atomic<int> state{kFree};
    char path[kPathBytes];
};

Slot g_slots[kSlots];

extern "C" void onInterrupt(int signal_number) {
    for (Slot& slot : g_slots) {
        if (slot.state.load(std::memory_order_acquire) == kArmed)
            os::removeFileInSignalHandler(slot.path);
    }
    // Ends the process by the signal itself, as if it had not been caught.
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

}  // namespace

void removePartialFilesOnInterrupt() {
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
}

int rememberPartialFile(const std::string& path) {
    if (path.size() >= kPathBytes) return -1;
    for (int i = 0; i < kSlots; ++i) {
        int expected = kFree;
        if (!g_slots[i].state.compare_exchange_strong(expected, kFilling)) continue;
        std::memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
        g_slots[i].state.store(kArmed, std::memory_order_release);
        return i;
    }
    return -1;
}

void forgetPartialFile(int handle) {
    if (handle >= 0 && handle < kSlots) g_slots[handle].state.store(kFree);
}

int rememberedPartialFiles() {
    int count = 0;
    for (const Slot& slot : g_slots) count += slot.state.load() == kArmed ? 1 : 0;
    return count;
}

}  // namespace kelvane_fuse
