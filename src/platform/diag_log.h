#pragma once
// Diagnostics lines on standard error: "MM-DD hh:mm:ss.mmm  PID   TID L message".
//
// Safe to call from several threads: each line is formatted and written whole under one lock. One
// process-wide output level decides what is written. It starts at kDiagNone, so nothing is
// written until the command line has set it. Call sites use the diagLog() macro, which compares the
// level first and formats nothing for a suppressed message.

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

namespace loglathe {

enum DiagLevel : int {
    kDiagVerbose = 1,
    kDiagDebug = 2,
    kDiagInfo = 3,
    kDiagWarning = 4,
    kDiagError = 5,
    kDiagFatal = 6,
    kDiagNone = 255, // output level only: nothing is written
};

// Largest line handed to write(2), line feed included.
constexpr std::size_t kDiagLineMax = 511;

namespace detail {
extern std::atomic<int> diagOutputLevel;
}

void diagSetOutputLevel(int level);
inline int diagGetOutputLevel() {
    return detail::diagOutputLevel.load(std::memory_order_relaxed);
}
inline bool diagEnabled(int level) {
    return level >= diagGetOutputLevel();
}

// Formats one line (prefix, message cut at 510 characters, line feed) into `out`, which must hold
// at least kDiagLineMax + 1 bytes, and answers its length. Exposed for tests.
std::size_t diagFormatLine(char* out, int level, const char* format, va_list args);

// Text written in front of every line by the same write(2), at most kDiagLeadMax bytes; empty by
// default. A progress line on a terminal sets the sequence that erases it, so that a diagnostics line
// replaces it instead of continuing it. The text must stay valid until it is replaced.
constexpr std::size_t kDiagLeadMax = 16;
void diagSetLineLead(const char* lead);

// Writes one line with a single write(2) on descriptor 2, or appends it to the calling thread's
// capture (below). Does not check the output level.
void diagWrite(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Work done on several threads holds its lines until they can be written in the order of the work:
// while a thread has a capture, its lines (stamped as they are made, without the line lead) are
// appended to that text instead of being written. The text must outlive the capture; null ends it.
// Each thread has its own capture.
void diagCaptureTo(std::string* lines);
std::string* diagCapture();

// Hands on lines made under a capture: to the calling thread's capture when it has one, otherwise to
// descriptor 2, the line lead in front of each line.
void diagWriteCaptured(std::string_view lines);

// What the program does when memory runs out on a thread other than the main one, where main()
// cannot catch it: the message of main() and its exit status (129), at once.
[[noreturn]] void exitOutOfMemory();

// Sets the calling thread's capture for the life of the object and restores the previous one.
class DiagCaptureScope {
public:
    explicit DiagCaptureScope(std::string* lines) : saved_(diagCapture()) { diagCaptureTo(lines); }
    ~DiagCaptureScope() { diagCaptureTo(saved_); }
    DiagCaptureScope(const DiagCaptureScope&) = delete;
    DiagCaptureScope& operator=(const DiagCaptureScope&) = delete;

private:
    std::string* saved_;
};

} // namespace loglathe

// The level test happens before the arguments are evaluated or formatted.
#define diagLog(level, ...)                                                                                  \
    do {                                                                                                     \
        if (::loglathe::diagEnabled(level))                                                                  \
            ::loglathe::diagWrite((level), __VA_ARGS__);                                                     \
    } while (0)
