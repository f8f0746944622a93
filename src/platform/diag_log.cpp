#include "platform/diag_log.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace loglathe {

namespace detail {
int diagOutputLevel = kDiagNone;
}

void diagSetOutputLevel(int level) { detail::diagOutputLevel = level; }

namespace {

std::atomic<const char*> lineLead{""};

// Cache of the broken-down local time of the last whole second, so that localtime_r runs at most
// once per second while lines keep coming. The guard word holds a reader count in its low 30 bits,
// "cache invalid" in bit 30 and "writer active" in bit 31; it starts invalid.
constexpr unsigned kReaderMask = (1u << 30) - 1;
constexpr unsigned kInvalid = 1u << 30;
constexpr unsigned kWriter = 1u << 31;

std::atomic<unsigned> cacheGuard{kInvalid};
time_t cachedSeconds = 0;
struct tm cachedTm {};

void localTimeCached(time_t seconds, struct tm& out) {
    unsigned guard = cacheGuard.load(std::memory_order_acquire);
    // Readers enter only while no writer is active and the cache is valid.
    while ((guard & (kWriter | kInvalid)) == 0) {
        if (cacheGuard.compare_exchange_weak(guard, guard + 1, std::memory_order_acquire)) {
            bool hit = cachedSeconds == seconds;
            if (hit)
                out = cachedTm;
            unsigned after = cacheGuard.fetch_sub(1, std::memory_order_release) - 1;
            if (hit)
                return;
            // Mismatch: mark the cache invalid so that a writer may refresh it.
            guard = after;
            while (!(guard & kInvalid) &&
                   !cacheGuard.compare_exchange_weak(guard, guard | kInvalid, std::memory_order_acq_rel)) {
            }
            break;
        }
    }
    localtime_r(&seconds, &out);
    unsigned expected = kInvalid; // invalid flag alone: no readers, no writer
    if (cacheGuard.compare_exchange_strong(expected, kInvalid | kWriter, std::memory_order_acquire)) {
        cachedSeconds = seconds;
        cachedTm = out;
        cacheGuard.store(0, std::memory_order_release);
    }
}

void appendId(char* out, std::size_t& n, long id) {
    n += static_cast<std::size_t>(std::snprintf(out + n, 24, " %5ld", id));
}

} // namespace

std::size_t diagFormatLine(char* out, int level, const char* format, va_list args) {
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

void diagSetLineLead(const char* lead) { lineLead.store(lead ? lead : "", std::memory_order_relaxed); }

void diagWrite(int level, const char* format, ...) {
    char line[kDiagLeadMax + kDiagLineMax + 1];
    const char* lead = lineLead.load(std::memory_order_relaxed);
    std::size_t leadLength = strnlen(lead, kDiagLeadMax);
    std::memcpy(line, lead, leadLength);
    va_list args;
    va_start(args, format);
    std::size_t n = leadLength + diagFormatLine(line + leadLength, level, format, args);
    va_end(args);
    ssize_t ignored = ::write(2, line, n);
    (void)ignored;
}

} // namespace loglathe
