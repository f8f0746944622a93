#pragma once
// Sends the diagnostics lines written while it lives into a temporary file so that a test can count
// messages; restores standard error and the output level afterwards.

#include "platform/diag_log.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <unistd.h>

namespace loglathe::testing {

class DiagCapture {
public:
    explicit DiagCapture(int level = kDiagWarning) : savedLevel_(diagGetOutputLevel()) {
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

    // Lines containing `text`.
    int count(std::string_view text) const {
        std::string all = content();
        int n = 0;
        for (std::size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
            ++n;
            std::size_t lineEnd = all.find('\n', at);
            if (lineEnd == std::string::npos)
                break;
            at = lineEnd;
        }
        return n;
    }

private:
    std::string content() const {
        std::string out;
        if (!file_)
            return out;
        off_t end = ::lseek(::fileno(file_), 0, SEEK_END);
        out.resize(end > 0 ? static_cast<std::size_t>(end) : 0);
        if (!out.empty() &&
            ::pread(::fileno(file_), out.data(), out.size(), 0) != static_cast<ssize_t>(out.size()))
            out.clear();
        return out;
    }

    int savedLevel_;
    int savedFd_ = -1;
    std::FILE* file_ = nullptr;
};

} // namespace loglathe::testing
