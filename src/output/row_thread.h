#pragma once
// A second thread that formats and writes the rows of a writer's CSV files, so that one output
// session uses two cores: the writer's thread reads, routes and decodes, this one turns the values
// into text and hands it to the files.
//
// Rows are taken in the order they are queued and written to their files in that order, so every
// file gets the bytes it would get on one thread. The queue holds at most kChunks chunks of about
// kChunkValues numbers each: memory stays bounded however fast the rows come. Between a push and the
// next drain() the queueing thread must not touch any file it queued rows for; after drain() every
// queued row has been handed to its file and the files are the caller's again.
//
// Both sides wait by spinning a little before they sleep: the thread is only used while a core
// would otherwise be idle, and a sleep and wake-up per chunk cost more than the wait itself on a
// virtual machine.

#include "output/output_file.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <thread>
#include <vector>

namespace loglathe {

// The threads a run keeps busy, against a limit (its cores): workers enter whatever the limit says,
// a row thread only while there is room, and leaves again once the budget is overdrawn.
class ThreadBudget {
public:
    explicit ThreadBudget(std::size_t limit) : limit_(limit) {}
    void enter() { busy_.fetch_add(1, std::memory_order_relaxed); }
    bool tryEnter() {
        std::size_t busy = busy_.load(std::memory_order_relaxed);
        while (busy < limit_)
            if (busy_.compare_exchange_weak(busy, busy + 1, std::memory_order_relaxed))
                return true;
        return false;
    }
    void leave() { busy_.fetch_sub(1, std::memory_order_relaxed); }
    bool overdrawn() const { return busy_.load(std::memory_order_relaxed) > limit_; }

private:
    const std::size_t limit_;
    std::atomic<std::size_t> busy_{0};
};

class alignas(64) RowThread {
public:
    static constexpr std::size_t kChunks = 8;
    static constexpr std::size_t kChunkValues = 8 * 1024; // 64 KB

    // A row its file did not take: `row` counts the rows queued since the last drain, from 0. Only
    // the first such row of each file is listed per drain.
    struct Failure {
        uint64_t row = 0;
        OutputFile* file = nullptr;
    };

    // Null when no thread can be started.
    static std::unique_ptr<RowThread> create();
    // Writes what is queued, then ends the thread.
    ~RowThread();
    RowThread(const RowThread&) = delete;
    RowThread& operator=(const RowThread&) = delete;

    // Queues a row for `file`; the values are copied. The file must stay alive until the next drain.
    void push(OutputFile& file, std::span<const double> values, double timestamp);
    // Rows queued since the last drain.
    uint64_t rowsQueued() const { return rowsQueued_; }
    // Waits until every queued row is written; `failures` gets the rows that failed since the last
    // drain, in queue order.
    void drain(std::vector<Failure>& failures);

private:
    RowThread() = default;
    void run();
    void writeChunk(const std::vector<double>& values);
    void submit();
    void waitForRoom();

    // What one side writes often lies on cache lines of its own, apart from what the other reads:
    // a line shared by both would travel between the cores at every row.
    struct alignas(64) Chunk {
        std::vector<double> values;
    };
    Chunk chunks_[kChunks];
    // Chunks handed over and chunks written, counted from the start; the chunk in use for queueing
    // is submitted_ % kChunks.
    alignas(64) std::atomic<uint32_t> submitted_{0};
    alignas(64) std::atomic<uint32_t> written_{0};
    std::atomic<bool> stopping_{false};

    // Queueing side.
    alignas(64) uint64_t rowsQueued_ = 0;
    std::thread thread_;

    // Writing side; read by the queueing side only after a drain.
    alignas(64) uint64_t rowsWritten_ = 0;
    std::vector<Failure> failures_;
};

} // namespace loglathe
