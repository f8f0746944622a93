#pragma once
// Expands the input names into log files, reads each one and drives the sink.

#include "input/message_sink.h"
#include "platform/file_system.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace loglathe {

// How far a walk has come, for a display that watches it.
struct WalkAdvance {
    uint64_t filesDone = 0; // log files finished, whatever their result
    uint64_t records = 0;   // data lines read so far
    uint64_t bytesDone = 0; // bytes of the finished log files plus the position in the current one
};

// Watches a walk from outside (the progress line on a terminal). The walker calls it before and
// after each log file and every kWalkAdvanceStride records in between, never once per record.
class WalkObserver {
public:
    virtual ~WalkObserver() = default;
    virtual void onWalkAdvance(const WalkAdvance& advance) = 0;
};

constexpr uint64_t kWalkAdvanceStride = 4096;

// True for the names the walker converts: extension "txt" in any letter case.
bool isLogFileName(std::string_view name);

struct WalkerOptions {
    bool deleteConverted = false;
    bool noAppendRoot = false;
    bool nonInteractive = false;
    int64_t bufferSize = -1;          // 0: unbuffered; > 0: buffer of that size; < 0: the whole file
    WalkObserver* observer = nullptr; // optional; must outlive the walk
};

// Result codes of a walk, combined by bitwise OR over the inputs.
enum WalkResult : int {
    kWalkOk = 0,
    kWalkMissingInput = 1,
    kWalkFileFailed = 8,
    kWalkQueryFailed = 129,
};

// Takes the log files the walk selects, in walk order.
class LogFileHandler {
public:
    virtual ~LogFileHandler() = default;
    // One log file (relative to the input root), its mirrored output name and what its stat told;
    // answers its result code (kWalkOk when the result is decided later, elsewhere).
    virtual int onLogFile(const std::string& name, const std::string& outputName, const PathInfo& info) = 0;
    // A handler that converts files after handing them on is told of every file before the walk
    // takes it and of every folder before the walk lists it. True means: the inputs may have changed
    // there since they were handed on (a file removed after its conversion, reached again); the
    // handler has waited for all files handed on so far, and the walk looks again, as a walk that
    // converts each file at once would find it.
    virtual bool catchUp(const PathInfo&) { return false; }
    // Records handed to sinks so far.
    virtual uint64_t recordCount() const = 0;
};

class InputWalker {
public:
    virtual ~InputWalker() = default;
    // Processes the names (relative to the input root) in order; answers the OR of their results.
    virtual int run(const std::vector<std::string>& names) = 0;
    virtual uint64_t fileCount() const = 0;
    virtual uint64_t recordCount() const = 0;
    virtual uint64_t byteCount() const = 0;
    // The walk was abandoned because an input could not be queried: its result is that alone.
    virtual bool abandoned() const = 0;
};

// The file systems and the sink must outlive the walker's run; the options are copied. Destroying the
// walker does not touch the file systems or the sink.
std::unique_ptr<InputWalker> inputWalkerCreate(FileSystem& inputRoot, FileSystem& outputRoot,
                                               const WalkerOptions& options, MessageSink& sink);

// A walk that hands each selected log file to `handler` (which must outlive the walker) instead of
// converting it itself; the observer of the options is the handler's business.
std::unique_ptr<InputWalker> inputWalkerCreate(FileSystem& inputRoot, FileSystem& outputRoot,
                                               const WalkerOptions& options, LogFileHandler& handler);

} // namespace loglathe
