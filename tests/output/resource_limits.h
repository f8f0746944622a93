#pragma once
// Scoped changes of process limits for tests: a lower soft limit of open descriptors, and a file-size
// limit with SIGXFSZ ignored (so that a write beyond it fails with EFBIG instead of killing the test).
// Both restore what they changed.

#include <csignal>
#include <sys/resource.h>

namespace loglathe::test {

class ScopedLimit {
public:
    ScopedLimit(int resource, rlim_t soft) : resource_(resource) {
        if (::getrlimit(resource_, &saved_) != 0)
            return;
        struct rlimit lowered = saved_;
        lowered.rlim_cur = soft;
        applied_ = ::setrlimit(resource_, &lowered) == 0;
    }
    ~ScopedLimit() {
        if (applied_)
            ::setrlimit(resource_, &saved_);
    }
    ScopedLimit(const ScopedLimit&) = delete;
    ScopedLimit& operator=(const ScopedLimit&) = delete;

    bool ok() const { return applied_; }

private:
    int resource_;
    struct rlimit saved_ {};
    bool applied_ = false;
};

class ScopedSignalIgnore {
public:
    explicit ScopedSignalIgnore(int signal) : signal_(signal), previous_(std::signal(signal, SIG_IGN)) {}
    ~ScopedSignalIgnore() { std::signal(signal_, previous_); }
    ScopedSignalIgnore(const ScopedSignalIgnore&) = delete;
    ScopedSignalIgnore& operator=(const ScopedSignalIgnore&) = delete;

private:
    int signal_;
    void (*previous_)(int);
};

// Members are released in reverse order: the limit is lifted before SIGXFSZ gets its old handler.
class ScopedFileSizeLimit {
public:
    explicit ScopedFileSizeLimit(rlim_t bytes) : ignore_(SIGXFSZ), limit_(RLIMIT_FSIZE, bytes) {}
    bool ok() const { return limit_.ok(); }

private:
    ScopedSignalIgnore ignore_;
    ScopedLimit limit_;
};

} // namespace loglathe::test
