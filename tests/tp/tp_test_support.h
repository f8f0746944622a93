#pragma once
// Small fakes for the transport-protocol tests: a sink that records every call, a frame builder and a
// capture of the diagnostics lines.

#include "input/message_sink.h"
#include "platform/diag_log.h"
#include "support/diag_capture.h"
#include "tp/tp_session.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace loglathe::testing {

struct RecordingSink : MessageSink {
    std::vector<LogRecord> records;
    std::vector<bool> fileStarts; // continuation flag of each onFileStart
    int fileEnds = 0;
    bool answer = true;
    // Runs after a record has been stored; lets a test re-enter the stage that called this sink.
    std::function<void(const LogRecord&)> onEach;

    bool onRecord(LogRecord& record) override {
        records.push_back(record);
        if (onEach)
            onEach(record);
        return answer;
    }
    bool onFileStart(const FileInfo&, bool continuation) override {
        fileStarts.push_back(continuation);
        return answer;
    }
    bool onFileEnd(const FileInfo&) override {
        ++fileEnds;
        return answer;
    }
};

inline LogRecord frame(uint32_t identifier, std::vector<uint8_t> bytes, uint8_t channel = 1,
                       bool extended = false, double timestamp = 0.0) {
    LogRecord record;
    record.timestamp = timestamp;
    record.channel = channel;
    record.identifier = identifier;
    record.length = uint8_t(bytes.size());
    record.payload = std::move(bytes);
    record.bus = kBusCan;
    record.extended = extended;
    return record;
}

inline LogRecord extendedFrame(uint32_t identifier, std::vector<uint8_t> bytes, uint8_t channel = 1) {
    return frame(identifier, std::move(bytes), channel, true);
}

// Bytes first, first + 1, ... (wrapping), handy to see which bytes made it into a message.
inline std::vector<uint8_t> counting(std::size_t count, uint8_t first) {
    std::vector<uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = uint8_t(first + i);
    return bytes;
}

// Hands one frame to a session; `out`, when given, receives the record afterwards (the whole message
// on completion).
inline TpResult processFrame(TpSession& session, LogRecord record, LogRecord* out = nullptr) {
    TpResult result = tpSessionProcess(session, record);
    if (out)
        *out = std::move(record);
    return result;
}

inline std::vector<uint8_t> concat(std::vector<uint8_t> head, const std::vector<uint8_t>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

} // namespace loglathe::testing
