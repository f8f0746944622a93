#pragma once
// Keeps a mapped file from ending the program when the file shrinks under it.
//
// Reading a page of a file mapping beyond the file's current end raises SIGBUS. While a mapping is
// registered here, a SIGBUS inside it puts zero-filled private pages over the rest of the mapping
// (so the read that faulted, and every later one, goes on and sees zero bytes) and marks the
// mapping as cut; its reader then reports a read error instead of a clean end. A SIGBUS anywhere
// else gets the handler that was there before.

#include <cstddef>

namespace loglathe {

// A registration; at most kMappingGuardSlots are held at once over all threads.
class MappingGuard {
public:
    MappingGuard() = default;
    ~MappingGuard() { release(); }
    MappingGuard(const MappingGuard&) = delete;
    MappingGuard& operator=(const MappingGuard&) = delete;

    // Registers [base, base + length); false (nothing registered) when every slot is taken or the
    // handler cannot be installed.
    bool watch(const void* base, std::size_t length);
    // Whether a read inside the mapping faulted since watch().
    bool cut() const;
    // Unregisters; call before unmapping.
    void release();

private:
    int slot_ = -1;
};

constexpr int kMappingGuardSlots = 256;

} // namespace loglathe
