#pragma once
// Diagnostics of work spread over threads, written in the order the work was handed out.
//
// The thread that hands out the work opens one slot per piece of work, in order; whoever does the
// piece captures its lines into the slot's text (diagCaptureTo) and closes the slot when done. The
// lines of a closed slot are written (diagWriteCaptured) as soon as every slot opened before it is
// closed and written, so standard error shows the same lines in the same order as if the pieces had
// been done one after the other on one thread.

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

namespace loglathe {

class DiagSequence {
public:
    using Slot = uint64_t;

    // Appends a slot after all slots opened so far.
    Slot open();
    // The text to capture a slot's lines into; valid until the slot is closed. Only one thread may
    // write it at a time.
    std::string* lines(Slot slot);
    // The slot's lines are complete; writes what is now in order.
    void close(Slot slot);
    // Slots opened and not yet written.
    std::size_t pending() const;

private:
    struct Entry {
        std::string lines;
        bool closed = false;
    };
    void writeReady();

    mutable std::mutex mutex_;
    std::deque<Entry> entries_; // entries_[0] is slot first_; references stay valid as both ends move
    Slot first_ = 0;
};

} // namespace loglathe
