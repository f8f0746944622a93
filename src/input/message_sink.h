#pragma once
// A stage of the conversion pipeline. The walker drives one sink per run; transport-protocol stages
// pass what they do not consume on to the next sink.
//
// Per input file the walker calls onFileStart once, then onRecord for each record (only when
// onFileStart answered true), then onFileEnd once (always). A false answer from onRecord stops the
// reading of the current file; any false answer makes the walker count the file as failed.

#include "input/file_info.h"
#include "input/log_record.h"

namespace loglathe {

class MessageSink {
public:
    virtual ~MessageSink() = default;
    // The record is valid only for the duration of the call; stages may modify it.
    virtual bool onRecord(LogRecord& record) = 0;
    // `continuation`: the file continues the previous one (same logger and session, split equal or
    // one higher).
    virtual bool onFileStart(const FileInfo& info, bool continuation) = 0;
    virtual bool onFileEnd(const FileInfo& info) = 0;
};

} // namespace loglathe
