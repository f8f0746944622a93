#include "app/progress.h"

#include "support/diag_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <pty.h>
#include <unistd.h>

namespace loglathe {
namespace {

using test::DiagCapture;
using test::TempDir;

constexpr uint64_t kGiB = uint64_t{1} << 30;

ProgressState state(uint64_t filesDone, uint64_t records, uint64_t bytesDone, WalkTotals totals,
                    double seconds) {
    ProgressState s;
    s.advance = {filesDone, records, bytesDone};
    s.totals = totals;
    s.seconds = seconds;
    return s;
}

TEST(ProgressText, ShowsFilesBytesFrameRateAndTimeLeft) {
    // A quarter of the bytes in 30 s: 90 s to go.
    EXPECT_EQ(progressText(state(3, 1500000, 2 * kGiB, {12, 8 * kGiB}, 30), 200),
              "loglathe: 3/12 files, 2.0 GB of 8.0 GB, 50.0k frames/s, 1:30 left");
    EXPECT_EQ(progressText(state(0, 0, 0, {2, 512}, 0), 200),
              "loglathe: 0/2 files, 0 B of 512 B, 0 frames/s, --:-- left");
    // Under a second the estimate is not yet worth showing.
    EXPECT_EQ(progressText(state(0, 900, 1536, {1, 3 << 20}, 0.5), 200),
              "loglathe: 0/1 files, 1.5 KB of 3.0 MB, 1.8k frames/s, --:-- left");
    EXPECT_EQ(progressText(state(1, 30000000, kGiB, {40, 1024 * kGiB}, 10), 200),
              "loglathe: 1/40 files, 1.0 GB of 1.0 TB, 3.00M frames/s, 2:50:30 left");
}

TEST(ProgressText, TotalsThatFellShortOfTheWalkAreRaisedAndTheTextFitsTheTerminal) {
    // Files that appeared after the count: the totals follow what was done.
    EXPECT_EQ(progressText(state(5, 10, 2048, {4, 1024}, 2), 200),
              "loglathe: 5/5 files, 2.0 KB of 2.0 KB, 5 frames/s, 0:00 left");
    std::string full = progressText(state(3, 10, 100, {7, 1000}, 2), 200);
    EXPECT_EQ(progressText(state(3, 10, 100, {7, 1000}, 2), 20), full.substr(0, 19));
    EXPECT_EQ(progressText(state(3, 10, 100, {7, 1000}, 2), 1), "");
}

TEST(CountLogFiles, CountsWhatTheWalkerTakesAndSaysNothing) {
    TempDir dir;
    dir.write("logs/a.txt", std::string(10, 'a'));
    dir.write("logs/b.TXT", std::string(20, 'b'));
    dir.write("logs/notes.csv", std::string(40, 'c'));
    dir.write("logs/sub/c.tXt", std::string(80, 'd'));
    dir.write("single.txt", std::string(160, 'e'));
    dir.write("other.log", std::string(320, 'f'));
    std::filesystem::create_directory_symlink("..", dir.path("logs/sub/up"));
    auto root = fsCreate(dir.root());
    ASSERT_TRUE(root);

    DiagCapture capture(kDiagVerbose);
    WalkTotals totals = countLogFiles(*root, {"logs/", "single.txt", "other.log", "missing/", "logs/sub/"});
    // Walking logs/, the link logs/sub/up leads back into it and is not entered; walking logs/sub/
    // alone, it leads to a folder not being walked, which is counted as the walker converts it.
    EXPECT_EQ(totals.files, 7u);
    EXPECT_EQ(totals.bytes, 10u + 20 + 80 + 160 + 80 + 10 + 20);
    EXPECT_EQ(capture.text(), "");
}

// Bytes waiting on the read end of a pipe.
std::string drain(int fd) {
    std::string text;
    char chunk[512];
    ssize_t n;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<std::size_t>(n));
    return text;
}

TEST(Progress, DrawsAtOnceThenAtMostEveryQuarterSecondAndErasesAtTheEnd) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
    DiagCapture capture(kDiagError);
    {
        Progress progress(fds[1], {2, 1000});
        progress.onWalkAdvance({0, 0, 0});
        EXPECT_EQ(drain(fds[0]), "\rloglathe: 0/2 files, 0 B of 1000 B, 0 frames/s, --:-- left\x1b[K");
        progress.onWalkAdvance({1, 10, 500});
        EXPECT_EQ(drain(fds[0]), "");

        // A diagnostics line while the line is shown clears it first.
        diagLog(kDiagError, "shown");
        EXPECT_EQ(capture.text().rfind("\r\x1b[K", 0), 0u) << capture.text();

        progress.finish();
        EXPECT_EQ(drain(fds[0]), "\r\x1b[K");
        progress.onWalkAdvance({2, 20, 1000});
    }
    EXPECT_EQ(drain(fds[0]), "");
    diagLog(kDiagError, "after");
    std::string lines = capture.text();
    EXPECT_EQ(lines.substr(lines.find('\n') + 1).find('\r'), std::string::npos) << lines;
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(Progress, RedrawsOnceAQuarterSecondHasPassed) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
    Progress progress(fds[1], {1, 100});
    progress.onWalkAdvance({0, 0, 0});
    drain(fds[0]);
    ::usleep(static_cast<useconds_t>(Progress::kRedrawSeconds * 1e6) + 20000);
    progress.onWalkAdvance({1, 4, 100});
    std::string line = drain(fds[0]);
    EXPECT_EQ(line.rfind("\rloglathe: 1/1 files, 100 B of 100 B, ", 0), 0u) << line;
    progress.finish();
    ::close(fds[0]);
    ::close(fds[1]);
}

// Sets TERM while it lives.
class ScopedTerm {
public:
    explicit ScopedTerm(const char* value) {
        if (const char* old = std::getenv("TERM"))
            saved_ = old;
        if (value)
            ::setenv("TERM", value, 1);
        else
            ::unsetenv("TERM");
    }
    ~ScopedTerm() {
        if (saved_.empty())
            ::unsetenv("TERM");
        else
            ::setenv("TERM", saved_.c_str(), 1);
    }

private:
    std::string saved_;
};

TEST(Progress, WantedOnlyOnAKnownTerminalWithoutNonInteractive) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        ScopedTerm term("xterm");
        EXPECT_TRUE(progressWanted(slave, false));
        EXPECT_FALSE(progressWanted(slave, true));
        EXPECT_FALSE(progressWanted(fds[1], false));
    }
    {
        ScopedTerm term("dumb");
        EXPECT_FALSE(progressWanted(slave, false));
    }
    {
        ScopedTerm term(nullptr);
        EXPECT_FALSE(progressWanted(slave, false));
    }
    for (int fd : {master, slave, fds[0], fds[1]})
        ::close(fd);
}

} // namespace
} // namespace loglathe
