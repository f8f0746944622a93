#pragma once
// Expands the input names into log files, reads each one and drives the sink.

#include "input/message_sink.h"
#include "platform/file_system.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace loglathe {

struct WalkerOptions {
    bool deleteConverted = false;
    bool noAppendRoot = false;
    bool nonInteractive = false;
    int64_t bufferSize = -1; // 0: unbuffered; > 0: buffer of that size; < 0: the whole file
};

// Result codes of a walk, combined by bitwise OR over the inputs.
enum WalkResult : int {
    kWalkOk = 0,
    kWalkMissingInput = 1,
    kWalkFileFailed = 8,
    kWalkQueryFailed = 129,
};

class InputWalker {
public:
    virtual ~InputWalker() = default;
    // Processes the names (relative to the input root) in order; answers the OR of their results.
    virtual int run(const std::vector<std::string>& names) = 0;
    virtual uint64_t fileCount() const = 0;
    virtual uint64_t recordCount() const = 0;
    virtual uint64_t byteCount() const = 0;
};

// The file systems and the sink must outlive the walker's run; the options are copied. Destroying the
// walker does not touch the file systems or the sink.
std::unique_ptr<InputWalker> inputWalkerCreate(FileSystem& inputRoot, FileSystem& outputRoot,
                                               const WalkerOptions& options, MessageSink& sink);

} // namespace loglathe
