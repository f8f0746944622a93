#pragma once
// Reader of the loggers' text log format: "#" header lines, one column header line, then one data
// line per frame.
//
// Lines are read into a fixed 200-byte buffer (at most 199 bytes of a line; a carriage return is
// dropped but counts against that budget; a longer line continues as the next line). When the
// stream offers an in-memory view (a buffered reader), lines are scanned from the view; otherwise
// the stream is read one byte per call. Both give the same lines.
//
// Data lines carry only the trailing digits of their timestamps; the reader completes them from the
// header "Time:" digits (read as UTC), corrects roll-overs of the part the line does not carry by
// the header's time format, and drops lines whose timestamp is earlier than the last one returned.

#include "input/log_record.h"
#include "platform/byte_stream.h"

#include <cstdint>
#include <memory>
#include <string>

namespace loglathe {

// Header values; the walker reads loggerId, startTime, session and split after creation.
struct LogHeader {
    std::string loggerId;   // empty when the header has none
    double startTime = 0.0; // "Time:" as a local time of the host, seconds since the epoch
    int32_t session = 0;
    int32_t split = 0;

    // The rest of the header, as read.
    int32_t loggerModel = 0; // 0, 1 or 2 by "Logger type:"
    std::string hwRev;       // at most 4 characters
    std::string fwRev;       // at most 4 characters
    std::string timeText;    // "Time:" value as written, at most 19 characters
    uint8_t timeFormat = 0;  // 1 minute, 2 hour, 3 day, 4 month, 5 year roll-over; else none
    char valueSeparator = 0; // 0: not declared (the file is then rejected)
    char timeSeparator = 0;
    char msSeparator = 0;
    char dateSeparator = 0;
    char dateTimeSeparator = 0;
    int32_t bitRate = 0;
    int32_t silentMode = 0;
    int32_t cyclicMode = 0;
};

class LogReader {
public:
    virtual ~LogReader() = default;
    virtual const LogHeader& header() const = 0;
    // Positions the stream at the first data line. The timestamp state (roll-over correction, last
    // returned timestamp) is kept.
    virtual void rewind() = 0;
    // Fills `record` from the next accepted data line; false at the end of the stream. Lines whose
    // timestamp is earlier than the last returned one are skipped, with one warning per call.
    virtual bool next(LogRecord& record) = 0;
};

// Reads the header and the column header line of `stream`, which the caller keeps open for the
// reader's lifetime. Null when the stream is not a log in this format: it ends before a column
// header line, has no "#" line before it, declares no value separator or names none of the columns
// "Timestamp", "Lost", "Type", "ID", "Length", "Data".
std::unique_ptr<LogReader> logReaderCreate(ByteStream& stream);

} // namespace loglathe
