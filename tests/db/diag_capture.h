#pragma once
// Test helper: sends the diagnostics lines written while it lives into a temporary file, so that a
// test can check which messages were logged, and restores standard error and the output level after.

#include "platform/diag_log.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <unistd.h>

// In a namespace of its own: other test folders have helpers of the same name, and two different
// inline classes of one name in one test binary would break the one-definition rule.
namespace loglathe::dbtest {

class DiagCapture {
public:
    explicit DiagCapture(int level = kDiagInfo) : savedLevel_(diagGetOutputLevel()) {
        std::fflush(stderr);
        file_ = std::tmpfile();
        savedFd_ = dup(2);
        if (file_)
            dup2(fileno(file_), 2);
        diagSetOutputLevel(level);
    }
    ~DiagCapture() {
        diagSetOutputLevel(savedLevel_);
        if (savedFd_ >= 0) {
            dup2(savedFd_, 2);
            close(savedFd_);
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
        std::fflush(file_);
        long end = lseek(fileno(file_), 0, SEEK_END);
        out.resize(end > 0 ? static_cast<std::size_t>(end) : 0);
        if (!out.empty() &&
            pread(fileno(file_), out.data(), out.size(), 0) != static_cast<ssize_t>(out.size()))
            out.clear();
        return out;
    }
    // Number of logged lines that end in exactly this message.
    int count(std::string_view message) const {
        std::string all = text();
        int n = 0;
        std::size_t lineStart = 0;
        while (lineStart < all.size()) {
            std::size_t lineEnd = all.find('\n', lineStart);
            if (lineEnd == std::string::npos)
                lineEnd = all.size();
            std::string_view line(all.data() + lineStart, lineEnd - lineStart);
            if (line.size() >= message.size() && line.substr(line.size() - message.size()) == message)
                ++n;
            lineStart = lineEnd + 1;
        }
        return n;
    }
    bool has(std::string_view message) const { return count(message) > 0; }

private:
    int savedLevel_;
    int savedFd_ = -1;
    std::FILE* file_ = nullptr;
};

} // namespace loglathe::dbtest

namespace loglathe {
using dbtest::DiagCapture;
}
