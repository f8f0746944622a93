#pragma once
// Reads a log on a thread of its own while the caller's thread feeds the records to the sinks, so
// that parsing and decoding of one file use two cores.
//
// The reading thread fills fixed-size batches of records, at most kBatches of them ahead of the
// consumer; memory stays bounded whatever the size of the file. The consumer sees the records in
// the order the reader gives them and, just before each record, the diagnostics lines the reader
// wrote while reading it (to the consumer's capture or standard error), so that lines come out as if
// the file were read on the consumer's thread. Once the consumer stops taking records, nothing read
// ahead shows: neither the records nor their lines.

#include "input/log_reader.h"
#include "platform/byte_stream.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace loglathe {

class RecordPipe {
public:
    static constexpr std::size_t kBatchRecords = 1024;
    static constexpr std::size_t kBatches = 4;

    // Starts reading `reader` (records after the header; the stream is positioned already). The
    // reader and its stream must outlive the pipe and are used by the reading thread only, until
    // finish() or the destructor has returned. A pipe whose thread could not be started reads on
    // the caller's thread instead.
    RecordPipe(LogReader& reader, ByteStream& stream, std::size_t batchRecords = kBatchRecords);
    ~RecordPipe();
    RecordPipe(const RecordPipe&) = delete;
    RecordPipe& operator=(const RecordPipe&) = delete;

    // The next record, or null at the end of the log (or after stop()). The record stays valid
    // until the next call; the caller may modify it.
    LogRecord* next();
    // Stream position after the batch of the last record returned, for a progress display.
    int64_t position() const { return position_; }
    // No more records are wanted; what was read ahead is dropped with its lines.
    void stop();
    // Waits for the reading thread to end; afterwards the stream may be examined (streamFailed).
    void finish();

private:
    struct Batch {
        std::vector<LogRecord> records;
        std::vector<std::size_t> linesEnd; // end of the lines in front of each record (and of the end)
        std::string lines;                 // diagnostics written while the batch was read
        std::size_t count = 0;             // records filled
        bool last = false;                 // the reader ended within this batch
        int64_t position = 0;
    };

    void readLoop();
    bool fill(Batch& batch);
    Batch* takeFull();
    void giveBack(Batch* batch);

    LogReader& reader_;
    ByteStream& stream_;
    std::vector<std::unique_ptr<Batch>> batches_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Batch*> free_;
    std::deque<Batch*> full_;
    bool stopping_ = false;
    std::thread thread_;
    bool threaded_ = false;

    // Consumer side.
    Batch* current_ = nullptr;
    std::size_t index_ = 0;
    std::size_t linesDone_ = 0;
    bool ended_ = false;
    int64_t position_ = 0;
};

} // namespace loglathe
