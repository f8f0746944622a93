#include "output/row_thread.h"

#include "platform/diag_log.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

namespace loglathe {

namespace {

// Pauses before a waiting side sleeps: about a tenth of a millisecond, longer than the queueing side
// usually takes to fill a chunk's worth of the gap.
constexpr int kSpins = 4096;

// What a chunk holds in front of each row's values.
struct RowHead {
    OutputFile* file;
    double timestamp;
    uint64_t count;
};
// The values of a chunk a row's head takes.
constexpr std::size_t kHeadSlots = sizeof(RowHead) / sizeof(double);
static_assert(sizeof(RowHead) % sizeof(double) == 0);

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Waits until `value` no longer holds `old`, spinning first.
void waitWhile(const std::atomic<uint32_t>& value, uint32_t old) {
    for (int i = 0; i < kSpins; ++i) {
        if (value.load(std::memory_order_acquire) != old)
            return;
        relax();
    }
    while (value.load(std::memory_order_acquire) == old)
        value.wait(old, std::memory_order_acquire);
}

} // namespace

std::unique_ptr<RowThread> RowThread::create() {
    std::unique_ptr<RowThread> rows(new (std::nothrow) RowThread());
    if (!rows)
        return nullptr;
    try {
        for (Chunk& chunk : rows->chunks_)
            chunk.values.reserve(kChunkValues + kHeadSlots + 64);
        RowThread* self = rows.get();
        rows->thread_ = std::thread([self] {
            try {
                self->run();
            } catch (const std::bad_alloc&) {
                exitOutOfMemory();
            }
        });
    } catch (const std::system_error&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return rows;
}

RowThread::~RowThread() {
    std::vector<Failure> ignored;
    drain(ignored);
    // An empty chunk past the stop flag wakes the thread to see it.
    stopping_.store(true, std::memory_order_relaxed);
    submitted_.fetch_add(1, std::memory_order_release);
    submitted_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void RowThread::push(OutputFile& file, std::span<const double> values, double timestamp) {
    std::vector<double>& chunk = chunks_[submitted_.load(std::memory_order_relaxed) % kChunks].values;
    RowHead head{&file, timestamp, values.size()};
    std::size_t at = chunk.size();
    chunk.resize(at + kHeadSlots + values.size());
    std::memcpy(chunk.data() + at, &head, sizeof head);
    std::copy(values.begin(), values.end(), chunk.begin() + static_cast<std::ptrdiff_t>(at + kHeadSlots));
    ++rowsQueued_;
    if (chunk.size() >= kChunkValues)
        submit();
}

// Hands the chunk being filled to the thread and waits until the next one is free.
void RowThread::submit() {
    submitted_.fetch_add(1, std::memory_order_release);
    submitted_.notify_one();
    waitForRoom();
}

void RowThread::waitForRoom() {
    for (;;) {
        uint32_t done = written_.load(std::memory_order_acquire);
        if (submitted_.load(std::memory_order_relaxed) - done < kChunks)
            return;
        waitWhile(written_, done);
    }
}

void RowThread::drain(std::vector<Failure>& failures) {
    uint32_t submitted = submitted_.load(std::memory_order_relaxed);
    if (!chunks_[submitted % kChunks].values.empty()) {
        submitted_.fetch_add(1, std::memory_order_release);
        submitted_.notify_one();
        ++submitted;
    }
    for (uint32_t done = written_.load(std::memory_order_acquire); done != submitted;
         done = written_.load(std::memory_order_acquire))
        waitWhile(written_, done);
    // The thread is idle until the next chunk: its side is the caller's now.
    rowsQueued_ = 0;
    rowsWritten_ = 0;
    failures.clear();
    failures.swap(failures_);
}

void RowThread::run() {
    for (uint32_t done = 0;; ++done) {
        waitWhile(submitted_, done);
        if (stopping_.load(std::memory_order_relaxed))
            return;
        std::vector<double>& chunk = chunks_[done % kChunks].values;
        writeChunk(chunk);
        chunk.clear();
        written_.store(done + 1, std::memory_order_release);
        written_.notify_one();
    }
}

void RowThread::writeChunk(const std::vector<double>& values) {
    const double* chunk = values.data();
    const std::size_t size = values.size();
    std::size_t at = 0;
    while (at < size) {
        RowHead head;
        std::memcpy(&head, chunk + at, sizeof head);
        std::span<const double> row(chunk + at + kHeadSlots, head.count);
        at += kHeadSlots + head.count;
        if (!head.file->writeRow(row, head.timestamp)) {
            bool listed = false;
            for (const Failure& failure : failures_)
                listed = listed || failure.file == head.file;
            if (!listed)
                failures_.push_back({rowsWritten_, head.file});
        }
        ++rowsWritten_;
    }
}

} // namespace loglathe
