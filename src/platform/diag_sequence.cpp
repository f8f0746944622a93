#include "platform/diag_sequence.h"

#include "platform/diag_log.h"

namespace loglathe {

DiagSequence::Slot DiagSequence::open() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.emplace_back();
    return first_ + entries_.size() - 1;
}

std::string* DiagSequence::lines(Slot slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    return &entries_[static_cast<std::size_t>(slot - first_)].lines;
}

void DiagSequence::close(Slot slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_[static_cast<std::size_t>(slot - first_)].closed = true;
    writeReady();
}

std::size_t DiagSequence::pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

// Under the lock, so that slots are written whole and in order whichever thread closes them.
void DiagSequence::writeReady() {
    DiagCaptureScope toStandardError(nullptr); // whatever the closing thread itself captures
    while (!entries_.empty() && entries_.front().closed) {
        diagWriteCaptured(entries_.front().lines);
        entries_.pop_front();
        ++first_;
    }
}

} // namespace loglathe
