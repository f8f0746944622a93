#pragma once
// Frame builders for the transport-protocol tests, with the shared recording sink and diagnostics
// capture.

#include "input/message_sink.h"
#include "platform/diag_log.h"
#include "support/diag_capture.h"
#include "support/recording_sink.h"
#include "tp/tp_session.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace loglathe::test {

using Bytes = std::vector<uint8_t>;

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

} // namespace loglathe::test
