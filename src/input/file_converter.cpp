#include "input/file_converter.h"

#include "platform/diag_log.h"

#include <algorithm>
#include <sys/types.h>

namespace loglathe {

namespace {

// The window through which a whole file is read: as fast as reading the file at once, and the same
// small memory for every file.
constexpr uint64_t kWholeFileWindow = 256 * 1024;

int nameLength(const std::string& name) {
    return static_cast<int>(name.size());
}

void reportOpenFailure(const std::string& name) {
    diagLog(kDiagError, "Could not open input file %.*s", nameLength(name), name.data());
}

void reportFailedFile(const std::string& name) {
    diagLog(kDiagError, "Error during conversion of %.*s", nameLength(name), name.data());
}

} // namespace

FileConverter::FileConverter(FileSystem& inputRoot, const WalkerOptions& options, MessageSink& sink)
    : inputRoot_(inputRoot), options_(options), sink_(sink) {}

void FileConverter::forgetPrevious() {
    previous_ = FileInfo();
    previousFailed_ = false;
}

int FileConverter::onLogFile(const std::string& name, const std::string& outputName, const PathInfo& file) {
    reportAdvance(0);
    int result = convert(name, outputName);
    ++filesDone_;
    bytesDone_ += file.size;
    reportAdvance(0);
    if (result == kWalkFileFailed)
        reportFailedFile(name);
    return result;
}

int reportUnreadableLog(const std::string& name, bool opened) {
    if (opened)
        diagLog(kDiagError, "Could not open log");
    else
        reportOpenFailure(name);
    reportFailedFile(name);
    return kWalkFileFailed;
}

int FileConverter::convert(const std::string& name, const std::string& outputName) {
    FileInfo info;
    info.inputPath = name;
    std::string_view extension = pathExtension(outputName);
    info.outputBase = outputName;
    if (!extension.empty())
        info.outputBase.resize(outputName.size() - std::min(outputName.size(), extension.size() + 1));

    std::unique_ptr<ByteStream> stream = openInput(name);
    if (!stream)
        return kWalkFileFailed;

    std::unique_ptr<LogReader> reader = logReaderCreate(*stream);
    if (!reader) {
        diagLog(kDiagError, "Could not open log");
        streamClose(stream);
        return kWalkFileFailed;
    }

    const LogHeader& header = reader->header();
    info.startTime = header.startTime;
    info.session = static_cast<uint32_t>(header.session);
    info.split = static_cast<uint32_t>(header.split);
    info.loggerId = header.loggerId.empty() ? "LOGGERID" : header.loggerId;
    if (info.loggerId.empty() || info.session == 0 || info.split == 0) {
        diagLog(kDiagError, "Could not parse file header");
        reader.reset();
        streamClose(stream);
        return kWalkFileFailed;
    }

    bool repeated = false;
    const bool continuation = continuesPrevious(info, repeated);
    previous_ = info;
    previousFailed_ = false;
    if (repeated) {
        reader.reset();
        streamClose(stream);
        return kWalkOk;
    }
    int result = feedSink(name, stream, reader, info, continuation);
    // The files of a failed input end with what it could write; a next split must not go on in them
    // behind the gap, so it starts files of its own.
    previousFailed_ = result != kWalkOk;
    return result;
}

// The input file as a stream, buffered as the options ask; null (logged) when it cannot be had.
std::unique_ptr<ByteStream> FileConverter::openInput(const std::string& name) {
    std::unique_ptr<ByteStream> stream = fsOpen(inputRoot_, name, kFsRead);
    if (!stream) {
        reportOpenFailure(name);
        return nullptr;
    }
    int64_t bufferSize = options_.bufferSize;
    uint64_t limit = kNoReadLimit;
    if (bufferSize < 0) {
        // The entire file as it is now, read through a window: the memory taken does not grow with
        // the file, and a file cut short under the reader is a read error.
        limit = static_cast<uint64_t>(std::max<int64_t>(streamSize(stream.get()), 0));
        bufferSize = static_cast<int64_t>(std::min<uint64_t>(limit, kWholeFileWindow));
    }
    if (bufferSize <= 0)
        return stream;
    // On failure the file stream is handed over and destroyed, which closes the file.
    stream = bufferedReaderCreate(std::move(stream), static_cast<std::size_t>(bufferSize), limit);
    if (!stream)
        diagLog(kDiagError, "Could not allocate buffer of size %zd", static_cast<ssize_t>(bufferSize));
    return stream;
}

// Whether a file continues the previous one: same logger and session, split equal or one higher, and
// the previous one converted. `repeated` tells a file of the previous one's very logger, session and
// split (logged).
bool FileConverter::continuesPrevious(const FileInfo& info, bool& repeated) const {
    repeated = false;
    if (previous_.loggerId.empty())
        return false;
    bool sameSession = info.loggerId == previous_.loggerId && info.session == previous_.session;
    repeated = sameSession && info.split == previous_.split;
    if (repeated)
        diagLog(kDiagWarning, "Repeated input file (%s, %08u, %08u)", info.loggerId.c_str(), info.session,
                info.split);
    return sameSession && !previousFailed_ &&
           (info.split == previous_.split || info.split == previous_.split + 1);
}

// One onFileStart, the records while the sink accepts them, one onFileEnd; then the file is closed
// and, when asked for and everything succeeded, removed.
int FileConverter::feedSink(const std::string& name, std::unique_ptr<ByteStream>& stream,
                            std::unique_ptr<LogReader>& reader, const FileInfo& info, bool continuation) {
    ++sinkStarts_;
    bool ok = sink_.onFileStart(info, continuation);
    if (ok) {
        reader->rewind();
        ok = readRecords(*reader, *stream);
        // The reader stops at a read error as at the end of the file; the stream tells which.
        if (ok && streamFailed(stream.get())) {
            diagLog(kDiagError, "Could not read input file %.*s", nameLength(name), name.data());
            ok = false;
        }
    } else {
        diagLog(kDiagError, "Error on new file");
    }

    bool ended = sink_.onFileEnd(info);
    if (!ended)
        diagLog(kDiagError, "Error during end file callback");
    reader.reset();
    if (streamClose(stream) != 0) {
        diagLog(kDiagError, "Could not close input file after conversion: %.*s", nameLength(name),
                name.data());
        return kWalkFileFailed;
    }
    if (!ended || !ok)
        return kWalkFileFailed;
    if (options_.deleteConverted && !fsRemove(inputRoot_, name))
        diagLog(kDiagError, "Could not remove input file after conversion: %.*s", nameLength(name),
                name.data());
    return kWalkOk;
}

// Feeds the records to the sink until the end of the file or the sink's refusal (false). The
// record the sink refused is counted.
bool FileConverter::readRecords(LogReader& reader, ByteStream& stream) {
    while (reader.next(record_)) {
        ++recordCount_;
        if (!sink_.onRecord(record_))
            return false;
        if (recordCount_ % kWalkAdvanceStride == 0)
            reportAdvance(streamTell(&stream));
    }
    return true;
}

void FileConverter::reportAdvance(int64_t positionInFile) {
    if (options_.observer)
        options_.observer->onWalkAdvance(
            {filesDone_, recordCount_,
             bytesDone_ + static_cast<uint64_t>(std::max<int64_t>(positionInFile, 0))});
}

} // namespace loglathe
