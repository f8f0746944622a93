#pragma once
// Sends the diagnostics lines written while it lives into a temporary file, so that a test can check
// which messages were logged; restores standard error and the output level afterwards. Captures may
// be nested: the inner one takes the lines while it lives.

#include "platform/diag_log.h"
#include "support/lines.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <unistd.h>

namespace loglathe::test {

class DiagCapture {
public:
    explicit DiagCapture(int level = kDiagInfo) : savedLevel_(diagGetOutputLevel()) {
        std::fflush(stderr);
        file_ = std::tmpfile();
        savedFd_ = ::dup(2);
        if (file_)
            ::dup2(::fileno(file_), 2);
        diagSetOutputLevel(level);
    }
    ~DiagCapture() {
        diagSetOutputLevel(savedLevel_);
        if (savedFd_ >= 0) {
            ::dup2(savedFd_, 2);
            ::close(savedFd_);
        }
        if (file_)
            std::fclose(file_);
    }
    DiagCapture(const DiagCapture&) = delete;
    DiagCapture& operator=(const DiagCapture&) = delete;

    // Everything logged so far.
    std::string text() const {
        std::string out;
        if (!file_)
            return out;
        off_t end = ::lseek(::fileno(file_), 0, SEEK_END);
        if (end <= 0)
            return out;
        out.resize(static_cast<std::size_t>(end));
        if (::pread(::fileno(file_), out.data(), out.size(), 0) != static_cast<ssize_t>(out.size()))
            out.clear();
        return out;
    }
    std::string take() const { return text(); }

    // Number of logged lines that contain `part` (see countLines).
    int count(std::string_view part) const { return countLines(text(), part); }
    bool has(std::string_view part) const { return count(part) > 0; }

private:
    std::FILE* file_ = nullptr;
    int savedFd_ = -1;
    int savedLevel_;
};

} // namespace loglathe::test
