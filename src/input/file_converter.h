#pragma once
// Converts the selected log files of a walk, one after the other, into one sink: opens each file
// behind the read buffer the options ask for, reads its header, decides against the file before it
// whether it continues or repeats that one, drives the sink through the file's records, and removes
// the file after conversion on request. Every failure on this path is reported here.

#include "input/input_walker.h"
#include "input/log_reader.h"
#include "input/message_sink.h"
#include "platform/file_system.h"

#include <cstdint>
#include <memory>
#include <string>

namespace loglathe {

class FileConverter final : public LogFileHandler {
public:
    // The file system and the sink must outlive the converter; the options are copied.
    FileConverter(FileSystem& inputRoot, const WalkerOptions& options, MessageSink& sink);

    // One selected log file: kWalkOk, or kWalkFileFailed after its report.
    int onLogFile(const std::string& name, const std::string& outputName, const PathInfo& info) override;
    uint64_t recordCount() const override { return recordCount_; }

    // The next file starts a new session, as the first file of a walk does.
    void forgetPrevious();
    // Files whose start the sink has been told of.
    uint64_t sinkStarts() const { return sinkStarts_; }

private:
    int convert(const std::string& name, const std::string& outputName);
    std::unique_ptr<ByteStream> openInput(const std::string& name);
    bool continuesPrevious(const FileInfo& info, bool& repeated) const;
    int feedSink(const std::string& name, std::unique_ptr<ByteStream>& stream,
                 std::unique_ptr<LogReader>& reader, const FileInfo& info, bool continuation);
    bool readRecords(LogReader& reader, ByteStream& stream);
    void reportAdvance(int64_t positionInFile);

    FileSystem& inputRoot_;
    const WalkerOptions options_;
    MessageSink& sink_;

    uint64_t recordCount_ = 0;
    uint64_t sinkStarts_ = 0;
    uint64_t filesDone_ = 0; // for the observer only
    uint64_t bytesDone_ = 0;
    FileInfo previous_;
    bool previousFailed_ = false; // the sink did not take all of the previous file
    LogRecord record_;
};

// What converting a log reports when it cannot be opened (`opened` false) or its header cannot be
// read for a read error, and the result: for a walk that reads the headers before handing the files
// on, so that a failure it meets there reads as the converter's.
int reportUnreadableLog(const std::string& name, bool opened);

} // namespace loglathe
