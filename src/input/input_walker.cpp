#include "input/input_walker.h"

#include "input/log_reader.h"
#include "platform/diag_log.h"

#include <algorithm>
#include <sys/types.h>

namespace loglathe {

namespace {

// Identity of a folder on the current descent path.
struct FolderId {
    uint64_t device;
    uint64_t inode;
};

// No letter outside ASCII lower-cases to "t" or "x", so an ASCII case-insensitive comparison selects
// the same names as lower-casing the whole extension first.
bool isLogExtension(std::string_view extension) {
    if (extension.size() != 3)
        return false;
    static const char kTxt[] = "txt";
    for (std::size_t i = 0; i < 3; ++i) {
        char c = extension[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != kTxt[i])
            return false;
    }
    return true;
}

// logs/x -> logs_out/x; logs -> logs_out
std::string outputNameOfFolder(const std::string& name) {
    std::string out = name;
    std::size_t slash = out.find('/');
    out.insert(slash == std::string::npos ? out.size() : slash, "_out");
    return out;
}

void appendChild(std::string& path, const std::string& entry) {
    if (!path.empty() && path.back() != '/')
        path.push_back('/');
    path.append(entry);
}

int nameLength(const std::string& name) {
    return static_cast<int>(name.size());
}

class Walker final : public InputWalker {
public:
    Walker(FileSystem& inputRoot, FileSystem& outputRoot, const WalkerOptions& options, MessageSink& sink)
        : inputRoot_(inputRoot), outputRoot_(outputRoot), options_(options), sink_(sink) {}

    int run(const std::vector<std::string>& names) override;
    uint64_t fileCount() const override { return fileCount_; }
    uint64_t recordCount() const override { return recordCount_; }
    uint64_t byteCount() const override { return byteCount_; }

private:
    int walkPath(const std::string& name, const std::string& outputName);
    int walkFolder(const std::string& name, const std::string& outputName, const PathInfo& info);
    int processFile(const std::string& name, const std::string& outputName, uint64_t size);
    int convert(const std::string& name, const std::string& outputName);
    std::unique_ptr<ByteStream> openInput(const std::string& name);
    bool continuesPrevious(const FileInfo& info, bool& repeated) const;
    int feedSink(const std::string& name, std::unique_ptr<ByteStream>& stream,
                 std::unique_ptr<LogReader>& reader, const FileInfo& info, bool continuation);
    void reportAdvance(int64_t positionInFile);

    FileSystem& inputRoot_;
    [[maybe_unused]] FileSystem& outputRoot_; // held for the run; nothing is made below it here
    const WalkerOptions options_;
    MessageSink& sink_;

    uint64_t fileCount_ = 0;
    uint64_t recordCount_ = 0;
    uint64_t byteCount_ = 0;
    uint64_t filesDone_ = 0; // for the observer only
    uint64_t bytesDone_ = 0;
    FileInfo previous_;
    bool previousFailed_ = false; // the sink did not take all of the previous file
    LogRecord record_;
    std::vector<FolderId> descent_;
};

int Walker::run(const std::vector<std::string>& names) {
    int result = kWalkOk;
    for (const std::string& name : names) {
        std::string outputName = name;
        if (!options_.noAppendRoot) {
            PathInfo info;
            if (!fsStat(inputRoot_, name, info)) {
                diagLog(kDiagFatal, "Could not query %.*s for information", nameLength(name), name.data());
                return kWalkQueryFailed;
            }
            if (info.kind == PathKind::Directory)
                outputName = outputNameOfFolder(name);
        }
        result |= walkPath(name, outputName);
    }
    return result;
}

int Walker::walkPath(const std::string& name, const std::string& outputName) {
    PathInfo info;
    // An entry that cannot be queried is skipped, and the result says an input could not be queried.
    if (!fsStat(inputRoot_, name, info)) {
        diagLog(kDiagFatal, "Error during stat of %.*s, exiting", nameLength(name), name.data());
        return kWalkQueryFailed;
    }
    switch (info.kind) {
    case PathKind::Missing:
        diagLog(kDiagWarning, "Could not find input file/folder %.*s", nameLength(name), name.data());
        return kWalkMissingInput;
    case PathKind::Directory:
        return walkFolder(name, outputName, info);
    case PathKind::File:
        return processFile(name, outputName, info.size);
    case PathKind::Other:
        break;
    }
    return kWalkQueryFailed;
}

// Depth-first, entries in byte order of their names. A folder already on the descent path (reached
// again through a link) is not entered, so that a link loop ends; a folder reached twice along
// different paths is walked twice.
int Walker::walkFolder(const std::string& name, const std::string& outputName, const PathInfo& info) {
    bool known = info.device != 0 || info.inode != 0;
    if (known) {
        for (const FolderId& id : descent_) {
            if (id.device == info.device && id.inode == info.inode) {
                diagLog(kDiagWarning, "Skipping folder %.*s: it leads back into a folder being walked",
                        nameLength(name), name.data());
                return kWalkOk;
            }
        }
        descent_.push_back({info.device, info.inode});
    }
    DirListing listing;
    fsList(inputRoot_, name, listing);
    int result = kWalkOk;
    for (const auto& [entryName, entry] : listing) {
        std::string childName = name;
        appendChild(childName, entryName);
        std::string childOutput = outputName;
        appendChild(childOutput, entryName);
        result |= walkPath(childName, childOutput);
    }
    if (known)
        descent_.pop_back();
    return result;
}

int Walker::processFile(const std::string& name, const std::string& outputName, uint64_t size) {
    if (!isLogFileName(name))
        return kWalkOk;
    ++fileCount_;
    byteCount_ += size;
    reportAdvance(0);
    int result = convert(name, outputName);
    ++filesDone_;
    bytesDone_ += size;
    reportAdvance(0);
    if (result == kWalkFileFailed)
        diagLog(kDiagError, "Error during conversion of %.*s", nameLength(name), name.data());
    return result;
}

int Walker::convert(const std::string& name, const std::string& outputName) {
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
std::unique_ptr<ByteStream> Walker::openInput(const std::string& name) {
    std::unique_ptr<ByteStream> stream = fsOpen(inputRoot_, name, kFsRead);
    if (!stream) {
        diagLog(kDiagError, "Could not open input file %.*s", nameLength(name), name.data());
        return nullptr;
    }
    // The entire file is mapped rather than copied where the stream allows it.
    if (options_.bufferSize < 0)
        if (std::unique_ptr<ByteStream> mapped = mappedReaderCreate(stream))
            return mapped;
    int64_t bufferSize = options_.bufferSize < 0 ? streamSize(stream.get()) : options_.bufferSize;
    if (bufferSize <= 0)
        return stream;
    // On failure the file stream is handed over and destroyed, which closes the file.
    stream = bufferedReaderCreate(std::move(stream), static_cast<std::size_t>(bufferSize));
    if (!stream)
        diagLog(kDiagError, "Could not allocate buffer of size %zd", static_cast<ssize_t>(bufferSize));
    return stream;
}

// Whether a file continues the previous one: same logger and session, split equal or one higher, and
// the previous one converted. `repeated` tells a file of the previous one's very logger, session and
// split (logged).
bool Walker::continuesPrevious(const FileInfo& info, bool& repeated) const {
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
int Walker::feedSink(const std::string& name, std::unique_ptr<ByteStream>& stream,
                     std::unique_ptr<LogReader>& reader, const FileInfo& info, bool continuation) {
    bool ok = sink_.onFileStart(info, continuation);
    if (ok) {
        reader->rewind();
        while (reader->next(record_)) {
            ++recordCount_;
            if (!sink_.onRecord(record_)) {
                ok = false;
                break;
            }
            if (recordCount_ % kWalkAdvanceStride == 0)
                reportAdvance(streamTell(stream.get()));
        }
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

void Walker::reportAdvance(int64_t positionInFile) {
    if (options_.observer)
        options_.observer->onWalkAdvance(
            {filesDone_, recordCount_,
             bytesDone_ + static_cast<uint64_t>(std::max<int64_t>(positionInFile, 0))});
}

} // namespace

bool isLogFileName(std::string_view name) {
    return isLogExtension(pathExtension(name));
}

std::unique_ptr<InputWalker> inputWalkerCreate(FileSystem& inputRoot, FileSystem& outputRoot,
                                               const WalkerOptions& options, MessageSink& sink) {
    return std::make_unique<Walker>(inputRoot, outputRoot, options, sink);
}

} // namespace loglathe
