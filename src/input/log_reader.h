#pragma once
// Reader of the loggers' text log format: "#" header lines, one column header line, then one data
// line per frame.

#include "input/log_record.h"
#include "platform/byte_stream.h"

#include <cstdint>
#include <memory>
#include <string>

namespace loglathe {

// Header values the walker reads after creation.
struct LogHeader {
    std::string loggerId; // empty when the header has none
    double startTime = 0.0;
    int32_t session = 0;
    int32_t split = 0;
};

class LogReader {
public:
    virtual ~LogReader() = default;
    virtual const LogHeader& header() const = 0;
    // Positions the stream at the first data line.
    virtual void rewind() = 0;
    // Fills `record` from the next accepted data line; false at the end of the stream.
    virtual bool next(LogRecord& record) = 0;
};

// Reads the header and the column header line of `stream`, which the caller keeps open for the
// reader's lifetime. Null when the stream is not a log in this format.
std::unique_ptr<LogReader> logReaderCreate(ByteStream& stream);

} // namespace loglathe
