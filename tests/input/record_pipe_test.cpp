#include "input/record_pipe.h"

#include "log_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace loglathe {
namespace {

using test::LogHeaderText;
using test::logText;

// A log of `count` frames whose every seventh timestamp goes back (each dropped with a warning).
std::string logWithWarnings(int count) {
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i) {
        char line[64];
        double second = 10 + i * 0.01 - (i % 7 == 6 ? 0.5 : 0);
        std::snprintf(line, sizeof line, "%06.3f;0;%X;1;%02X", second, 0x100 + i, i & 0xFF);
        lines.push_back(line);
    }
    return logText(lines);
}

// What a consumer sees: its records and, where they come, the reader's warnings (without stamps).
std::string transcriptLine(const LogRecord& record) {
    char text[64];
    std::snprintf(text, sizeof text, "record %X %.3f %zu\n", record.identifier, record.timestamp,
                  record.payload.size());
    return text;
}

std::string withoutStamps(const std::string& text) {
    std::string out;
    for (const std::string& line : test::splitLines(text)) {
        std::size_t warning = line.find(" W ");
        out += (line.rfind("record ", 0) == 0 || warning == std::string::npos ? line : line.substr(warning)) +
               "\n";
    }
    return out;
}

struct OpenLog {
    explicit OpenLog(const std::string& text) : memory(text), reader(logReaderCreate(memory)) {
        if (reader)
            reader->rewind();
    }
    MemoryStream memory;
    std::unique_ptr<LogReader> reader;
};

// Reads the log on this thread, as the walker does without read-ahead.
std::string readDirectly(const std::string& text, std::size_t limit = SIZE_MAX) {
    OpenLog log(text);
    std::string transcript;
    DiagCaptureScope capture(&transcript);
    LogRecord record;
    for (std::size_t n = 0; n < limit && log.reader->next(record); ++n)
        transcript += transcriptLine(record);
    return withoutStamps(transcript);
}

std::string readThroughPipe(const std::string& text, std::size_t batchRecords, std::size_t limit = SIZE_MAX) {
    OpenLog log(text);
    std::string transcript;
    DiagCaptureScope capture(&transcript);
    RecordPipe pipe(*log.reader, log.memory, batchRecords);
    std::size_t n = 0;
    while (LogRecord* record = pipe.next()) {
        transcript += transcriptLine(*record);
        if (++n == limit) {
            pipe.stop();
            break;
        }
    }
    pipe.finish();
    return withoutStamps(transcript);
}

TEST(RecordPipe, GivesTheRecordsAndWarningsOfDirectReadingInTheSameOrder) {
    test::DiagCapture level(kDiagWarning);
    const std::string text = logWithWarnings(200);
    const std::string direct = readDirectly(text);
    ASSERT_EQ(test::countLines(direct, "Skipping non-increasing timestamp"), 28) << direct;
    for (std::size_t batch : {std::size_t{1}, std::size_t{3}, std::size_t{64}, RecordPipe::kBatchRecords})
        EXPECT_EQ(readThroughPipe(text, batch), direct) << "batches of " << batch;
    EXPECT_EQ(level.text(), "") << "a line escaped the consumer's capture";
}

TEST(RecordPipe, StoppingDropsTheRecordsAndWarningsReadAhead) {
    test::DiagCapture level(kDiagWarning);
    const std::string text = logWithWarnings(200);
    for (std::size_t stopAfter : {std::size_t{1}, std::size_t{13}, std::size_t{150}})
        EXPECT_EQ(readThroughPipe(text, 4, stopAfter), readDirectly(text, stopAfter))
            << "stop after " << stopAfter;
}

TEST(RecordPipe, ReadsABoundedWayAheadAndEndsWhenLeftUnread) {
    const std::string text = logWithWarnings(5000);
    OpenLog log(text);
    {
        test::DiagCapture quiet(kDiagNone);
        RecordPipe pipe(*log.reader, log.memory, 16);
        ASSERT_TRUE(pipe.next());
        // The reader fills its batches and then waits; leaving the pipe ends it without a hang.
    }
    // At most the batch in hand and the ones queued behind it were read: some 5 x 16 lines.
    EXPECT_LT(streamTell(&log.memory),
              static_cast<int64_t>(test::logHeader(LogHeaderText{}).size() + 6 * 16 * 24));
}

TEST(RecordPipe, ARecordErrorEndsTheRecordsAndTheStreamTellsItAfterFinish) {
    test::DiagCapture quiet(kDiagNone);
    std::string text = logWithWarnings(100);
    test::FailingStream failing(text, text.size() / 2);
    auto reader = logReaderCreate(failing);
    ASSERT_TRUE(reader);
    reader->rewind();
    RecordPipe pipe(*reader, failing, 8);
    int records = 0;
    while (pipe.next())
        ++records;
    pipe.finish();
    EXPECT_TRUE(streamFailed(&failing));
    EXPECT_GT(records, 20);
    EXPECT_LT(records, 60);
}

} // namespace
} // namespace loglathe
