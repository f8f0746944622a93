#include "platform/mapping_guard.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

namespace loglathe {

namespace {

// The handler reads these with atomic loads only, so it may run at any point of any thread.
struct Slot {
    std::atomic<uintptr_t> begin{0};
    std::atomic<uintptr_t> end{0}; // 0: free
    std::atomic<bool> cut{false};
    std::atomic<bool> taken{false};
};

Slot gSlots[kMappingGuardSlots];
struct sigaction gPrevious;
std::once_flag gInstallOnce;
bool gInstalled = false;

void onSigbus(int signal, siginfo_t* info, void* context) {
    const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    // Only a fault carries an address; a SIGBUS sent by a process (si_code <= 0) is never ours.
    for (Slot& slot : gSlots) {
        if (info->si_code <= 0)
            break;
        uintptr_t end = slot.end.load(std::memory_order_acquire);
        uintptr_t begin = slot.begin.load(std::memory_order_acquire);
        if (end == 0 || address < begin || address >= end)
            continue;
        const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
        uintptr_t from = address / page * page;
        void* zeros = ::mmap(reinterpret_cast<void*>(from), end - from, PROT_READ,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (zeros == MAP_FAILED)
            break; // nothing to go on with: fall through to the previous handler
        slot.cut.store(true, std::memory_order_release);
        return;
    }
    // Not ours: hand over to what was installed before, or take the default action.
    if (gPrevious.sa_flags & SA_SIGINFO) {
        if (gPrevious.sa_sigaction) {
            gPrevious.sa_sigaction(signal, info, context);
            return;
        }
    } else if (gPrevious.sa_handler != SIG_DFL && gPrevious.sa_handler != SIG_IGN) {
        gPrevious.sa_handler(signal);
        return;
    }
    std::signal(SIGBUS, SIG_DFL);
    ::raise(SIGBUS);
}

void install() {
    struct sigaction action {};
    action.sa_sigaction = onSigbus;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    gInstalled = ::sigaction(SIGBUS, &action, &gPrevious) == 0;
}

} // namespace

bool MappingGuard::watch(const void* base, std::size_t length) {
    release();
    std::call_once(gInstallOnce, install);
    if (!gInstalled || length == 0)
        return false;
    const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<uintptr_t>(base);
    const uintptr_t end = begin + (length + page - 1) / page * page;
    for (int i = 0; i < kMappingGuardSlots; ++i) {
        bool expected = false;
        if (!gSlots[i].taken.compare_exchange_strong(expected, true, std::memory_order_acq_rel))
            continue;
        gSlots[i].cut.store(false, std::memory_order_relaxed);
        gSlots[i].begin.store(begin, std::memory_order_release);
        gSlots[i].end.store(end, std::memory_order_release);
        slot_ = i;
        return true;
    }
    return false;
}

bool MappingGuard::cut() const {
    return slot_ >= 0 && gSlots[slot_].cut.load(std::memory_order_acquire);
}

void MappingGuard::release() {
    if (slot_ < 0)
        return;
    gSlots[slot_].end.store(0, std::memory_order_release);
    gSlots[slot_].begin.store(0, std::memory_order_release);
    gSlots[slot_].taken.store(false, std::memory_order_release);
    slot_ = -1;
}

} // namespace loglathe
