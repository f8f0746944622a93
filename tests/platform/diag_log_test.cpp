#include "platform/diag_log.h"

#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace loglathe {
namespace {

// Captures what is written to descriptor 2 while it lives.
class StderrCapture {
public:
    StderrCapture() {
        EXPECT_EQ(pipe(fds_), 0);
        fcntl(fds_[0], F_SETFL, O_NONBLOCK);
        saved_ = dup(2);
        dup2(fds_[1], 2);
    }
    ~StderrCapture() { restore(); }
    std::string text() {
        restore();
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = read(fds_[0], buf, sizeof buf)) > 0)
            out.append(buf, static_cast<std::size_t>(n));
        return out;
    }

private:
    void restore() {
        if (saved_ >= 0) {
            dup2(saved_, 2);
            close(saved_);
            close(fds_[1]);
            saved_ = -1;
        }
    }
    int fds_[2] = {-1, -1};
    int saved_ = -1;
};

class DiagLogTest : public ::testing::Test {
protected:
    void SetUp() override { saved_ = diagGetOutputLevel(); }
    void TearDown() override { diagSetOutputLevel(saved_); }
    int saved_ = kDiagNone;
};

int formatCalls = 0;
const char* countedText() {
    ++formatCalls;
    return "counted";
}

TEST_F(DiagLogTest, NothingIsWrittenOrFormattedBelowTheOutputLevel) {
    diagSetOutputLevel(kDiagNone);
    StderrCapture capture;
    formatCalls = 0;
    diagLog(kDiagFatal, "fatal %s", countedText());
    diagSetOutputLevel(kDiagError);
    diagLog(kDiagWarning, "warning %s", countedText());
    EXPECT_EQ(formatCalls, 0);
    EXPECT_EQ(capture.text(), "");
}

TEST_F(DiagLogTest, LineHasTimePidTidAndLevelLetter) {
    diagSetOutputLevel(kDiagInfo);
    StderrCapture capture;
    diagLog(kDiagError, "Could not open log");
    diagLog(kDiagInfo, "n=%d", 42);
    std::string text = capture.text();

    char pid[16];
    std::snprintf(pid, sizeof pid, "%5d", static_cast<int>(getpid()));
    std::string id = pid;
    std::regex line("\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d " + id + " " + id +
                    " E Could not open log\n" + "\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d " + id + " " +
                    id + " I n=42\n");
    EXPECT_TRUE(std::regex_match(text, line)) << text;
    // The prefix is 33 characters when both ids fit in 5 digits.
    std::size_t prefix = 18 + 2 * (1 + id.size()) + 3;
    EXPECT_EQ(text.find("Could not open log"), prefix);
    if (id.size() == 5) {
        EXPECT_EQ(prefix, 33u);
    }
}

TEST_F(DiagLogTest, LongMessagesAreCutAt510Characters) {
    diagSetOutputLevel(kDiagVerbose);
    StderrCapture capture;
    std::string message(600, 'x');
    diagLog(kDiagWarning, "%s", message.c_str());
    std::string text = capture.text();
    ASSERT_EQ(text.size(), 511u);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text[509], 'x');
}

TEST_F(DiagLogTest, LinesOfSeveralThreadsStayWholeAndCarryTheirThreadId) {
    diagSetOutputLevel(kDiagInfo);
    StderrCapture capture;
    constexpr int kThreads = 4;
    constexpr int kLines = 100; // small enough for the pipe's buffer
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                diagLog(kDiagWarning, "thread %d line %d", t, i);
        });
    for (std::thread& thread : threads)
        thread.join();

    std::istringstream lines(capture.text());
    std::regex layout(
        "\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d +(\\d+) +(\\d+) W thread (\\d) line \\d+");
    std::vector<int> perThread(kThreads, 0);
    std::vector<std::string> tids(kThreads);
    std::string line;
    std::smatch match;
    while (std::getline(lines, line)) {
        ASSERT_TRUE(std::regex_match(line, match, layout)) << line;
        EXPECT_EQ(match[1].str(), std::to_string(getpid()));
        int t = std::stoi(match[3].str());
        ++perThread[t];
        if (tids[t].empty())
            tids[t] = match[2].str();
        EXPECT_EQ(match[2].str(), tids[t]) << "one thread, one id";
    }
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(perThread[t], kLines) << "thread " << t;
}

std::size_t formatLine(char* line, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::size_t n = diagFormatLine(line, level, format, args);
    va_end(args);
    return n;
}

TEST_F(DiagLogTest, UnknownLevelPrintsQuestionMark) {
    char line[kDiagLineMax + 1];
    std::size_t n = formatLine(line, 9, "plain");
    ASSERT_GT(n, 8u);
    EXPECT_NE(std::string(line, n).find(" ? plain\n"), std::string::npos);
}

} // namespace
} // namespace loglathe
