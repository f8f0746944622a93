#include "input/record_pipe.h"

#include "platform/diag_log.h"

#include <new>
#include <system_error>

namespace loglathe {

RecordPipe::RecordPipe(LogReader& reader, ByteStream& stream, std::size_t batchRecords)
    : reader_(reader), stream_(stream) {
    for (std::size_t i = 0; i < kBatches; ++i) {
        auto batch = std::make_unique<Batch>();
        batch->records.resize(batchRecords ? batchRecords : 1);
        batch->linesEnd.resize(batch->records.size() + 1);
        free_.push_back(batch.get());
        batches_.push_back(std::move(batch));
    }
    try {
        thread_ = std::thread([this] {
            try {
                readLoop();
            } catch (const std::bad_alloc&) {
                exitOutOfMemory();
            }
        });
        threaded_ = true;
    } catch (const std::system_error&) {
        threaded_ = false; // read on the caller's thread, one record at a time
    }
}

RecordPipe::~RecordPipe() {
    stop();
    finish();
}

void RecordPipe::readLoop() {
    for (;;) {
        Batch* batch = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return stopping_ || !free_.empty(); });
            if (stopping_)
                return;
            batch = free_.front();
            free_.pop_front();
        }
        bool more = fill(*batch);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            full_.push_back(batch);
        }
        changed_.notify_all();
        if (!more)
            return;
    }
}

// Reads up to a batch of records; false when the reader has ended.
bool RecordPipe::fill(Batch& batch) {
    batch.lines.clear();
    batch.count = 0;
    batch.last = false;
    {
        DiagCaptureScope capture(&batch.lines);
        while (batch.count < batch.records.size()) {
            if (!reader_.next(batch.records[batch.count])) {
                batch.last = true;
                break;
            }
            batch.linesEnd[batch.count] = batch.lines.size();
            ++batch.count;
        }
    }
    batch.linesEnd[batch.count] = batch.lines.size();
    batch.position = streamTell(&stream_);
    return !batch.last;
}

RecordPipe::Batch* RecordPipe::takeFull() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !full_.empty(); });
    Batch* batch = full_.front();
    full_.pop_front();
    return batch;
}

void RecordPipe::giveBack(Batch* batch) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        free_.push_back(batch);
    }
    changed_.notify_all();
}

LogRecord* RecordPipe::next() {
    if (ended_)
        return nullptr;
    if (!threaded_) {
        // Without a thread of its own the pipe is a plain read loop over its first record.
        LogRecord& record = batches_.front()->records.front();
        if (reader_.next(record)) {
            position_ = streamTell(&stream_);
            return &record;
        }
        ended_ = true;
        return nullptr;
    }
    if (current_ && index_ >= current_->count && !current_->last) {
        giveBack(current_);
        current_ = nullptr;
    }
    if (!current_) {
        current_ = takeFull();
        index_ = 0;
        linesDone_ = 0;
        position_ = current_->position;
    }
    std::size_t linesEnd = current_->linesEnd[index_];
    diagWriteCaptured(std::string_view(current_->lines).substr(linesDone_, linesEnd - linesDone_));
    linesDone_ = linesEnd;
    if (index_ >= current_->count) {
        ended_ = true; // the batch the reader ended in
        return nullptr;
    }
    return &current_->records[index_++];
}

void RecordPipe::stop() {
    ended_ = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
}

void RecordPipe::finish() {
    if (thread_.joinable())
        thread_.join();
}

} // namespace loglathe
