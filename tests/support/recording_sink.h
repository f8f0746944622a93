#pragma once
// A sink for tests that records every call it receives. It answers `answer`, and false for the
// calls of the input files named in failStart, failRecord and failEnd.

#include "input/message_sink.h"

#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace loglathe::test {

struct RecordingSink : MessageSink {
    std::vector<LogRecord> records;
    std::vector<FileInfo> starts;
    std::vector<bool> fileStarts; // continuation flag of each onFileStart
    int fileEnds = 0;
    // Every call as a line: "start PATH[ continues]", "record ID TIME BYTES", "end PATH".
    std::vector<std::string> calls;

    bool answer = true;
    std::set<std::string> failStart, failRecord, failEnd;
    // Runs after a record has been stored; lets a test re-enter the stage that called this sink.
    std::function<void(const LogRecord&)> onEach;

    bool onFileStart(const FileInfo& info, bool continuation) override {
        calls.push_back("start " + info.inputPath + (continuation ? " continues" : ""));
        starts.push_back(info);
        fileStarts.push_back(continuation);
        current_ = info.inputPath;
        return answer && !failStart.count(info.inputPath);
    }
    bool onRecord(LogRecord& record) override {
        char text[96];
        std::snprintf(text, sizeof text, "record %X %.3f %u", record.identifier, record.timestamp,
                      static_cast<unsigned>(record.payload.size()));
        calls.push_back(text);
        records.push_back(record);
        if (onEach)
            onEach(record);
        return answer && !failRecord.count(current_);
    }
    bool onFileEnd(const FileInfo& info) override {
        calls.push_back("end " + info.inputPath);
        ++fileEnds;
        return answer && !failEnd.count(info.inputPath);
    }

private:
    std::string current_;
};

} // namespace loglathe::test
