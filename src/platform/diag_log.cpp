#include "platform/diag_log.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace loglathe {

namespace detail {
std::atomic<int> diagOutputLevel{kDiagNone};
}

void diagSetOutputLevel(int level) {
    detail::diagOutputLevel.store(level, std::memory_order_relaxed);
}

namespace {

// One line is formatted and written at a time, so that lines of several threads never interleave
// and the line lead and time-of-day cache below are only touched under the lock.
std::mutex lineMutex;

// Text written in front of every line (empty, or the progress line's erase sequence). Guarded by
// lineMutex.
const char* lineLead = "";

// The broken-down local time of the last whole second, so that localtime_r runs at most once per
// second while lines keep coming. Guarded by lineMutex.
struct LocalTimeCache {
    bool valid = false;
    time_t seconds = 0;
    struct tm local {};
};
LocalTimeCache timeCache;

thread_local std::string* capturedLines = nullptr;

// Writes all of `text`, retrying after a short write; the caller holds lineMutex.
void writeWhole(std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(2, text.data(), text.size());
        if (n <= 0)
            return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

void localTimeCached(time_t seconds, struct tm& out) {
    if (!timeCache.valid || timeCache.seconds != seconds) {
        localtime_r(&seconds, &timeCache.local);
        timeCache.seconds = seconds;
        timeCache.valid = true;
    }
    out = timeCache.local;
}

void appendId(char* out, std::size_t& n, long id) {
    n += static_cast<std::size_t>(std::snprintf(out + n, 24, " %5ld", id));
}

// Formats one line; the caller holds lineMutex.
std::size_t formatLine(char* out, int level, const char* format, va_list args) {
    struct timeval now {};
    gettimeofday(&now, nullptr);
    struct tm local {};
    localTimeCached(now.tv_sec, local);

    std::size_t n = static_cast<std::size_t>(
        std::snprintf(out, 32, "%02d-%02d %02d:%02d:%02d.%03d", (local.tm_mon + 1) % 100, local.tm_mday % 100,
                      local.tm_hour % 100, local.tm_min % 100, local.tm_sec % 100,
                      static_cast<int>(now.tv_usec / 1000) % 1000));
    appendId(out, n, static_cast<long>(getpid()));
    appendId(out, n, static_cast<long>(syscall(SYS_gettid)));
    static const char kLetters[] = "VDIWEF";
    out[n++] = ' ';
    out[n++] = (level >= 1 && level <= 6) ? kLetters[level - 1] : '?';
    out[n++] = ' ';

    // At most 510 characters precede the line feed.
    constexpr std::size_t kTextMax = kDiagLineMax - 1;
    if (n < kTextMax) {
        int written = std::vsnprintf(out + n, kTextMax - n + 1, format, args);
        if (written > 0)
            n += std::min(static_cast<std::size_t>(written), kTextMax - n);
    }
    out[n++] = '\n';
    out[n] = '\0';
    return n;
}

} // namespace

std::size_t diagFormatLine(char* out, int level, const char* format, va_list args) {
    std::lock_guard<std::mutex> lock(lineMutex);
    return formatLine(out, level, format, args);
}

void diagSetLineLead(const char* lead) {
    std::lock_guard<std::mutex> lock(lineMutex);
    lineLead = lead ? lead : "";
}

void diagWrite(int level, const char* format, ...) {
    char line[kDiagLeadMax + kDiagLineMax + 1];
    va_list args;
    va_start(args, format);
    if (capturedLines) {
        std::size_t n = 0;
        {
            std::lock_guard<std::mutex> lock(lineMutex);
            n = formatLine(line, level, format, args);
        }
        va_end(args);
        capturedLines->append(line, n);
        return;
    }
    std::lock_guard<std::mutex> lock(lineMutex);
    std::size_t leadLength = strnlen(lineLead, kDiagLeadMax);
    std::memcpy(line, lineLead, leadLength);
    std::size_t n = leadLength + formatLine(line + leadLength, level, format, args);
    va_end(args);
    ssize_t ignored = ::write(2, line, n);
    (void)ignored;
}

void diagCaptureTo(std::string* lines) {
    capturedLines = lines;
}

std::string* diagCapture() {
    return capturedLines;
}

void diagWriteCaptured(std::string_view lines) {
    if (lines.empty())
        return;
    if (capturedLines) {
        capturedLines->append(lines);
        return;
    }
    std::lock_guard<std::mutex> lock(lineMutex);
    std::size_t leadLength = strnlen(lineLead, kDiagLeadMax);
    if (leadLength == 0) {
        writeWhole(lines);
        return;
    }
    // One write per line, as when the lines were logged here.
    std::string text;
    while (!lines.empty()) {
        std::size_t end = lines.find('\n');
        end = end == std::string_view::npos ? lines.size() : end + 1;
        text.assign(lineLead, leadLength);
        text.append(lines.substr(0, end));
        writeWhole(text);
        lines.remove_prefix(end);
    }
}

void exitOutOfMemory() {
    std::fputs("loglathe: out of memory\n", stderr);
    std::_Exit(129);
}

} // namespace loglathe
