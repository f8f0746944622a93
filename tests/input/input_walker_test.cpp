#include "input/input_walker.h"

#include "log_text.h"
#include "support/fault_file_system.h"
#include "support/recording_sink.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace loglathe {
namespace {

using test::countLines;
using test::DiagCapture;
using test::logHeader;
using test::LogHeaderText;
using test::logText;
using test::RecordingSink;
using test::TempDir;

// A log of one record whose identifier tells the file apart.
std::string smallLog(const std::string& session, const std::string& split, unsigned id,
                     const std::string& loggerId = "1A2B3C4D") {
    LogHeaderText h;
    h.loggerId = loggerId;
    h.session = session;
    h.split = split;
    char line[64];
    std::snprintf(line, sizeof line, "55.250;0;%X;2;0102", id);
    return logText({line}, h);
}

// A stream whose close fails; the file behind it is still released when it is destroyed.
class UnclosableStream : public ByteStream {
public:
    explicit UnclosableStream(std::unique_ptr<ByteStream> inner) : inner_(std::move(inner)) {}

private:
    int64_t read(void* destination, std::size_t length) override {
        return streamRead(inner_.get(), destination, length);
    }
    int64_t tell() override { return streamTell(inner_.get()); }
    int64_t seek(uint64_t offset, int whence) override { return streamSeek(inner_.get(), offset, whence); }
    int close() override { return -1; }

    std::unique_ptr<ByteStream> inner_;
};

// The disk below a root, with operations that fail for chosen relative names.
class FaultyFileSystem : public DiskFileSystem {
public:
    using DiskFileSystem::DiskFileSystem;

    std::set<std::string> failStat, failOpen, failRemove, failClose;

private:
    bool stat(std::string_view fullPath, PathInfo& info) override {
        return !failStat.count(relative(fullPath)) && DiskFileSystem::stat(fullPath, info);
    }
    bool remove(std::string_view fullPath) override {
        return !failRemove.count(relative(fullPath)) && DiskFileSystem::remove(fullPath);
    }
    std::unique_ptr<ByteStream> open(std::string_view fullPath, unsigned flags) override {
        std::string name = relative(fullPath);
        if (failOpen.count(name))
            return nullptr;
        auto stream = DiskFileSystem::open(fullPath, flags);
        if (stream && failClose.count(name))
            return std::make_unique<UnclosableStream>(std::move(stream));
        return stream;
    }

    std::string relative(std::string_view fullPath) const {
        return std::string(fullPath.substr(root().size()));
    }
};

class InputWalkerTest : public ::testing::Test {
protected:
    int walk(const std::vector<std::string>& names, FileSystem* input = nullptr) {
        auto inputRoot = fsCreate(in.root());
        auto outputRoot = fsCreate(out.root());
        auto walker = inputWalkerCreate(input ? *input : *inputRoot, *outputRoot, options, sink);
        int result = walker->run(names);
        files = walker->fileCount();
        records = walker->recordCount();
        bytes = walker->byteCount();
        return result;
    }
    std::vector<std::string> startedPaths() const {
        std::vector<std::string> paths;
        for (const FileInfo& info : sink.starts)
            paths.push_back(info.inputPath);
        return paths;
    }

    TempDir in;
    TempDir out;
    WalkerOptions options;
    RecordingSink sink;
    uint64_t files = 0, records = 0, bytes = 0;
};

using Paths = std::vector<std::string>;

TEST_F(InputWalkerTest, WalksDepthFirstInByteOrderAndSelectsTxtInAnyCase) {
    in.write("logs/b.txt", smallLog("1", "2", 0xB));
    in.write("logs/a.TXT", smallLog("1", "1", 0xA));
    in.write("logs/notes.csv", "not a log");
    in.write("logs/sub/d.txt", smallLog("1", "3", 0xD));
    in.write("logs/C.tXt", smallLog("1", "4", 0xC));
    in.write("logs/sub2/txt", smallLog("1", "5", 0xE));

    EXPECT_EQ(walk({"logs"}), kWalkOk);
    EXPECT_EQ(startedPaths(),
              (Paths{"logs/C.tXt", "logs/a.TXT", "logs/b.txt", "logs/sub/d.txt", "logs/sub2/txt"}));
    ASSERT_EQ(sink.starts.size(), 5u);
    EXPECT_EQ(sink.starts[0].outputBase, "logs_out/C");
    EXPECT_EQ(sink.starts[3].outputBase, "logs_out/sub/d");
    EXPECT_EQ(sink.starts[4].outputBase, "logs_out/sub2");
    EXPECT_EQ(sink.starts[1].loggerId, "1A2B3C4D");
    EXPECT_EQ(sink.starts[1].session, 1u);
    EXPECT_EQ(sink.starts[1].split, 1u);
    EXPECT_EQ(files, 5u);
    EXPECT_EQ(records, 5u);
    EXPECT_EQ(bytes, 5 * smallLog("1", "1", 0xA).size());
    EXPECT_EQ(sink.calls[0], "start logs/C.tXt");
    EXPECT_EQ(sink.calls[1], "record C 1709251195.250 2");
    EXPECT_EQ(sink.calls[2], "end logs/C.tXt");
}

TEST_F(InputWalkerTest, OutputNamesOfFoldersGainOutUnlessTheRootIsKept) {
    in.write("logs/sub/d.txt", smallLog("1", "1", 1));
    in.write("e.log.txt", smallLog("1", "2", 2));
    EXPECT_EQ(walk({"logs/sub", "e.log.txt"}), kWalkOk);
    ASSERT_EQ(sink.starts.size(), 2u);
    EXPECT_EQ(sink.starts[0].outputBase, "logs_out/sub/d");
    EXPECT_EQ(sink.starts[1].outputBase, "e.log");

    options.noAppendRoot = true;
    sink = RecordingSink();
    EXPECT_EQ(walk({"logs"}), kWalkOk);
    ASSERT_EQ(sink.starts.size(), 1u);
    EXPECT_EQ(sink.starts[0].outputBase, "logs/sub/d");
}

TEST_F(InputWalkerTest, ContinuationNeedsSameLoggerSessionAndNextSplit) {
    in.write("a/1.txt", smallLog("7", "1", 1));
    in.write("a/2.txt", smallLog("7", "2", 2));
    in.write("a/3.txt", smallLog("7", "4", 3));
    in.write("b/1.txt", smallLog("7", "5", 4));          // continues across inputs
    in.write("b/2.txt", smallLog("8", "6", 5));          // another session
    in.write("b/3.txt", smallLog("8", "6", 6, "OTHER")); // another logger
    EXPECT_EQ(walk({"a", "b"}), kWalkOk);
    EXPECT_EQ(sink.calls,
              (Paths{"start a/1.txt", "record 1 1709251195.250 2", "end a/1.txt", "start a/2.txt continues",
                     "record 2 1709251195.250 2", "end a/2.txt", "start a/3.txt", "record 3 1709251195.250 2",
                     "end a/3.txt", "start b/1.txt continues", "record 4 1709251195.250 2", "end b/1.txt",
                     "start b/2.txt", "record 5 1709251195.250 2", "end b/2.txt", "start b/3.txt",
                     "record 6 1709251195.250 2", "end b/3.txt"}));
}

TEST_F(InputWalkerTest, RepeatedFileIsSkippedWithAWarningButCounted) {
    in.write("a.txt", smallLog("12", "3", 1));
    in.write("b.txt", smallLog("12", "3", 2));
    in.write("c.txt", smallLog("12", "3", 3, "OTHER"));
    DiagCapture capture;
    EXPECT_EQ(walk({"a.txt", "b.txt", "c.txt"}), kWalkOk);
    std::string diag = capture.take();
    EXPECT_EQ(countLines(diag, " W Repeated input file (1A2B3C4D, 00000012, 00000003)\n"), 1) << diag;
    EXPECT_EQ(startedPaths(), (Paths{"a.txt", "c.txt"}));
    EXPECT_EQ(files, 3u);
    EXPECT_EQ(bytes, 2 * smallLog("12", "3", 1).size() + smallLog("12", "3", 3, "OTHER").size());
    EXPECT_EQ(records, 2u);
}

TEST_F(InputWalkerTest, HeaderNeedsSessionAndSplitButNotALoggerId) {
    in.write("a.txt", smallLog("1", "1", 1, "-"));
    in.write("b.txt", smallLog("-", "1", 2));
    in.write("c.txt", smallLog("1", "0", 3));
    DiagCapture capture;
    EXPECT_EQ(walk({"a.txt", "b.txt", "c.txt"}), kWalkFileFailed);
    std::string diag = capture.take();
    ASSERT_EQ(startedPaths(), Paths{"a.txt"});
    EXPECT_EQ(sink.starts[0].loggerId, "LOGGERID");
    EXPECT_EQ(countLines(diag, " E Could not parse file header\n"), 2) << diag;
    EXPECT_EQ(countLines(diag, " E Error during conversion of b.txt\n"), 1) << diag;
    EXPECT_EQ(countLines(diag, " E Error during conversion of c.txt\n"), 1) << diag;
    EXPECT_EQ(files, 3u);
}

TEST_F(InputWalkerTest, MissingInputIsReportedWhileTheOthersAreConverted) {
    in.write("a.txt", smallLog("1", "1", 1));
    in.write("b.txt", smallLog("1", "2", 2));
    DiagCapture capture;
    EXPECT_EQ(walk({"a.txt", "nothing/here.txt", "b.txt"}), kWalkMissingInput);
    EXPECT_EQ(countLines(capture.take(), " W Could not find input file/folder nothing/here.txt\n"), 1);
    EXPECT_EQ(startedPaths(), (Paths{"a.txt", "b.txt"}));
}

TEST_F(InputWalkerTest, BufferSizeNeverChangesTheRecords) {
    std::vector<std::string> lines;
    for (int i = 0; i < 3000; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "%02d.%03d;1;%X;8;%016X", i / 60 % 60, i % 60 * 16, i * 7919, i);
        lines.push_back(line);
    }
    LogHeaderText h;
    h.eol = "\r\n";
    in.write("x/a.txt", logText(lines, h));
    in.write("x/b.txt", smallLog("12", "4", 1));

    std::vector<std::string> reference;
    for (int64_t size : {0, -1, 4096, 5, 1}) {
        options.bufferSize = size;
        sink = RecordingSink();
        EXPECT_EQ(walk({"x"}), kWalkOk);
        if (reference.empty()) {
            reference = sink.calls;
            EXPECT_GT(reference.size(), 3000u);
        } else {
            EXPECT_EQ(sink.calls, reference) << size;
        }
    }
}

TEST_F(InputWalkerTest, DeletesOnlyFilesThatWereConverted) {
    in.write("d/a.txt", smallLog("1", "1", 1));
    in.write("d/b.txt", smallLog("2", "1", 2));
    in.write("d/c.txt", smallLog("3", "1", 3));
    in.write("d/e.txt", smallLog("4", "1", 4));
    in.write("d/f.txt", smallLog("4", "1", 5)); // repeats e.txt
    in.write("d/g.txt", smallLog("5", "0", 6)); // bad header
    options.deleteConverted = true;
    sink.failRecord.insert("d/b.txt");
    sink.failStart.insert("d/c.txt");
    sink.failEnd.insert("d/e.txt");
    DiagCapture capture;
    EXPECT_EQ(walk({"d"}), kWalkFileFailed);
    std::string diag = capture.take();
    EXPECT_FALSE(in.exists("d/a.txt"));
    for (const char* kept : {"d/b.txt", "d/c.txt", "d/e.txt", "d/f.txt", "d/g.txt"})
        EXPECT_TRUE(in.exists(kept)) << kept;
    EXPECT_EQ(countLines(diag, " E Error on new file\n"), 1) << diag;
    EXPECT_EQ(countLines(diag, " E Error during end file callback\n"), 1) << diag;
    for (const char* failed : {"b", "c", "e", "g"})
        EXPECT_EQ(countLines(diag, std::string(" E Error during conversion of d/") + failed + ".txt\n"), 1)
            << failed;
    // The refused record is counted; a refused file start reads no record but still ends the file.
    EXPECT_EQ(records, 3u);
    EXPECT_EQ(sink.calls, (Paths{"start d/a.txt", "record 1 1709251195.250 2", "end d/a.txt", "start d/b.txt",
                                 "record 2 1709251195.250 2", "end d/b.txt", "start d/c.txt", "end d/c.txt",
                                 "start d/e.txt", "record 4 1709251195.250 2", "end d/e.txt"}));
}

TEST_F(InputWalkerTest, OpenCloseAndRemoveFailuresOfTheFileSystem) {
    in.write("d/a.txt", smallLog("1", "1", 1));
    in.write("d/b.txt", smallLog("2", "1", 2));
    in.write("d/c.txt", smallLog("3", "1", 3));
    in.write("d/e.txt", smallLog("4", "1", 4));
    FaultyFileSystem fs(in.root());
    fs.failOpen.insert("d/a.txt");
    fs.failClose.insert("d/b.txt");
    fs.failRemove.insert("d/c.txt");
    fs.failStat.insert("d/e.txt");
    options.deleteConverted = true;
    DiagCapture capture;
    // The file that could not be examined is skipped, and the result says so.
    EXPECT_EQ(walk({"d"}, &fs), kWalkFileFailed | kWalkQueryFailed);
    std::string diag = capture.take();
    EXPECT_EQ(countLines(diag, " E Could not open input file d/a.txt\n"), 1) << diag;
    EXPECT_EQ(countLines(diag, " E Could not close input file after conversion: d/b.txt\n"), 1) << diag;
    EXPECT_EQ(countLines(diag, " E Could not remove input file after conversion: d/c.txt\n"), 1) << diag;
    EXPECT_EQ(countLines(diag, " F Error during stat of d/e.txt, exiting\n"), 1) << diag;
    EXPECT_EQ(countLines(diag, " E Error during conversion of d/a.txt\n"), 1) << diag;
    EXPECT_EQ(countLines(diag, " E Error during conversion of d/b.txt\n"), 1) << diag;
    EXPECT_EQ(countLines(diag, "Error during conversion"), 2) << diag;
    EXPECT_TRUE(in.exists("d/b.txt"));
    EXPECT_TRUE(in.exists("d/c.txt"));
    EXPECT_EQ(startedPaths(), (Paths{"d/b.txt", "d/c.txt"}));
    EXPECT_EQ(files, 3u); // the unopenable file is counted, the one that could not be examined is not
}

TEST_F(InputWalkerTest, AReadErrorFailsTheInputKeepsItAndEndsTheSession) {
    LogHeaderText h;
    h.session = "1";
    h.split = "1";
    in.write("d/a.txt", logText({"55.250;0;A1;2;0102", "55.500;0;A2;2;0304"}, h));
    in.write("d/b.txt", smallLog("1", "2", 0xB));
    options.deleteConverted = true;
    options.bufferSize = 16;
    // A fault-free walk of a.txt alone counts its reads; the walk below fails the one before the last,
    // which holds the end of the second record's line.
    test::FaultPlan clean;
    {
        test::FaultFileSystem counting(in.root(), clean);
        options.deleteConverted = false;
        ASSERT_EQ(walk({"d/a.txt"}, &counting), kWalkOk);
        options.deleteConverted = true;
    }
    sink = RecordingSink();
    test::FaultPlan plan{test::FaultKind::Read, clean.count(test::FsOperation::Read) - 1, EIO};
    test::FaultFileSystem fs(in.root(), plan);
    DiagCapture capture;
    EXPECT_EQ(walk({"d"}, &fs), kWalkFileFailed);
    std::string diag = capture.take();
    EXPECT_EQ(countLines(diag, " E Could not read input file d/a.txt\n"), 1) << diag;
    EXPECT_EQ(countLines(diag, " E Error during conversion of d/a.txt\n"), 1) << diag;
    EXPECT_TRUE(in.exists("d/a.txt"));
    EXPECT_FALSE(in.exists("d/b.txt"));
    // The next split does not continue the failed one.
    EXPECT_EQ(sink.calls, (Paths{"start d/a.txt", "record A1 1709251195.250 2", "end d/a.txt",
                                 "start d/b.txt", "record B 1709251195.250 2", "end d/b.txt"}));
}

TEST_F(InputWalkerTest, AnInputThatCannotBeQueriedEndsTheWalk) {
    in.write("a.txt", smallLog("1", "1", 1));
    in.write("b.txt", smallLog("1", "2", 2));
    FaultyFileSystem fs(in.root());
    fs.failStat.insert("b.txt");
    DiagCapture capture;
    EXPECT_EQ(walk({"missing", "b.txt", "a.txt"}, &fs), kWalkQueryFailed);
    EXPECT_EQ(countLines(capture.take(), " F Could not query b.txt for information\n"), 1);
    EXPECT_TRUE(sink.calls.empty());

    // Without the "_out" decision the same failure skips the input; the walk goes on, and its result
    // says that an input could not be queried.
    options.noAppendRoot = true;
    DiagCapture again;
    EXPECT_EQ(walk({"b.txt", "a.txt"}, &fs), kWalkQueryFailed);
    EXPECT_EQ(countLines(again.take(), " F Error during stat of b.txt, exiting\n"), 1);
    EXPECT_EQ(startedPaths(), Paths{"a.txt"});
}

TEST_F(InputWalkerTest, InputsThatAreNeitherFileNorFolder) {
    in.write("d/x.txt/inner.txt", smallLog("1", "1", 1));
    ASSERT_EQ(mkfifo((in.root() + "d/y.txt").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((in.root() + "z.txt").c_str(), 0600), 0);
    DiagCapture capture;
    EXPECT_EQ(walk({"d"}), kWalkOk);
    EXPECT_EQ(startedPaths(), Paths{"d/x.txt/inner.txt"});
    EXPECT_EQ(files, 1u);
    EXPECT_EQ(walk({"z.txt"}), kWalkQueryFailed);
    EXPECT_EQ(files, 0u);
    EXPECT_EQ(capture.take(), "");
}

TEST_F(InputWalkerTest, BadFilesFailAloneAndNeverStopTheWalk) {
    std::string garbage;
    for (int i = 0; i < 70000; ++i)
        garbage.push_back(static_cast<char>(i * 7919 % 251));
    in.write("d/1.txt", "");
    in.write("d/2.txt", garbage);
    in.write("d/3.txt", "# Logger ID: 1\n# Session No.: 1\n# Split No.: 1\n# Value separator: \";\"\n");
    in.write("d/4.txt", logHeader(LogHeaderText{}) + std::string(10 << 20, 'A'));
    in.write("d/5.txt", smallLog("99", "1", 5));
    for (int64_t size : {-1, 0}) {
        options.bufferSize = size;
        sink = RecordingSink();
        DiagCapture capture;
        EXPECT_EQ(walk({"d"}), kWalkFileFailed);
        std::string diag = capture.take();
        EXPECT_EQ(countLines(diag, " E Could not open log\n"), 3) << diag;
        for (const char* failed : {"1", "2", "3"})
            EXPECT_EQ(countLines(diag, std::string(" E Error during conversion of d/") + failed + ".txt\n"),
                      1);
        EXPECT_EQ(startedPaths(), (Paths{"d/4.txt", "d/5.txt"}));
        EXPECT_EQ(files, 5u);
    }
}

// A whole file is read through a window: a file larger than memory takes no memory in proportion,
// on any file system, and its zeros are no log.
TEST_F(InputWalkerTest, FileLargerThanMemoryIsReadThroughAWindowAndTheWalkGoesOn) {
    in.write("d/a.txt", "");
    int fd = ::open((in.root() + "d/a.txt").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    int truncated = ::ftruncate(fd, off_t{1} << 40);
    ::close(fd);
    if (truncated != 0)
        GTEST_SKIP() << "this file system holds no sparse file of 1 TiB";
    in.write("d/b.txt", smallLog("1", "1", 1));
    test::FaultPlan countOnly;
    test::FaultFileSystem twin(in.root(), countOnly);
    for (FileSystem* fs : {static_cast<FileSystem*>(&twin), static_cast<FileSystem*>(nullptr)}) {
        sink = RecordingSink();
        DiagCapture capture;
        EXPECT_EQ(walk({"d"}, fs), kWalkFileFailed);
        std::string diag = capture.take();
        EXPECT_EQ(countLines(diag, " E Could not allocate buffer"), 0) << diag;
        EXPECT_EQ(countLines(diag, " E Could not open log\n"), 1) << diag;
        EXPECT_EQ(countLines(diag, " E Error during conversion of d/a.txt\n"), 1) << diag;
        EXPECT_EQ(startedPaths(), Paths{"d/b.txt"});
        EXPECT_EQ(bytes, (uint64_t{1} << 40) + smallLog("1", "1", 1).size());
    }
}

// A read that fails after the header, in a file longer than the window, is reported.
TEST_F(InputWalkerTest, AReadErrorOfAWholeFileIsReported) {
    std::string text = smallLog("1", "1", 0xA);
    while (text.size() < 600 * 1024)
        text += "55.250;0;B;2;0102\n";
    in.write("d/a.txt", text);
    test::FaultPlan clean;
    {
        test::FaultFileSystem counting(in.root(), clean);
        ASSERT_EQ(walk({"d"}, &counting), kWalkOk);
    }
    ASSERT_GT(clean.count(test::FsOperation::Read), 2u);
    sink = RecordingSink();
    test::FaultPlan plan{test::FaultKind::Read, clean.count(test::FsOperation::Read), EIO};
    test::FaultFileSystem fs(in.root(), plan);
    DiagCapture capture;
    EXPECT_EQ(walk({"d"}, &fs), kWalkFileFailed);
    EXPECT_TRUE(plan.fired);
    std::string diag = capture.take();
    EXPECT_EQ(countLines(diag, " E Could not read input file d/a.txt\n"), 1) << diag;
    EXPECT_EQ(countLines(diag, " E Error during conversion of d/a.txt\n"), 1) << diag;
}

// in/self -> in, in/sub/up -> in, in/sub/top -> the folder above in: each leads back into a folder
// being walked and is not entered again.
TEST_F(InputWalkerTest, LinkLoopsAreNotEnteredAgain) {
    in.write("w/in/a.txt", smallLog("1", "1", 1));
    in.write("w/in/sub/b.txt", smallLog("1", "2", 2));
    in.link("w/in/self", ".");
    in.link("w/in/sub/up", "..");
    in.link("w/in/sub/top", "../..");
    DiagCapture capture;
    EXPECT_EQ(walk({"w/in"}), kWalkOk);
    std::string diag = capture.take();
    EXPECT_EQ(startedPaths(), (Paths{"w/in/a.txt", "w/in/sub/b.txt"}));
    EXPECT_EQ(countLines(diag, " W Skipping folder w/in/self: "), 1) << diag;
    EXPECT_EQ(countLines(diag, " W Skipping folder w/in/sub/up: "), 1) << diag;
    EXPECT_EQ(countLines(diag, " W Skipping folder w/in/sub/top/in: "), 1) << diag;
    EXPECT_EQ(countLines(diag, "\n"), 3) << diag;
}

TEST_F(InputWalkerTest, FolderReachedTwiceWithoutALoopIsWalkedTwice) {
    in.write("w/x/f.txt", smallLog("1", "1", 1));
    in.link("w/l1", "x");
    in.link("w/l2", "x");
    DiagCapture capture;
    EXPECT_EQ(walk({"w"}), kWalkOk);
    std::string diag = capture.take();
    EXPECT_EQ(files, 3u);
    EXPECT_EQ(startedPaths(), Paths{"w/l1/f.txt"});
    EXPECT_EQ(countLines(diag, " W Repeated input file (1A2B3C4D, 00000001, 00000001)\n"), 2) << diag;
}

// Every advance the walker reports.
class RecordingObserver : public WalkObserver {
public:
    void onWalkAdvance(const WalkAdvance& advance) override { advances.push_back(advance); }
    std::vector<WalkAdvance> advances;
};

TEST_F(InputWalkerTest, ObserverHearsEachFileAndEveryStrideOfRecords) {
    constexpr unsigned kRecords = 2 * kWalkAdvanceStride + 10;
    std::vector<std::string> lines;
    for (unsigned i = 0; i < kRecords; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "%u.%03u;0;100;2;0102", 10 + i / 1000, i % 1000);
        lines.push_back(line);
    }
    LogHeaderText header;
    header.split = "1";
    std::string big = logText(lines, header);
    std::string small = smallLog("1", "2", 2);
    in.write("logs/a.txt", big);
    in.write("logs/b.txt", small);
    in.write("logs/c.txt", "no header at all\n");
    in.write("logs/d.csv", small);
    RecordingObserver observer;
    options.observer = &observer;
    DiagCapture capture;
    EXPECT_EQ(walk({"logs"}), kWalkFileFailed);

    // Before and after each of the three log files, and twice within the big one.
    const auto& seen = observer.advances;
    ASSERT_EQ(seen.size(), 8u);
    uint64_t total = big.size() + small.size() + 17;
    EXPECT_EQ(seen[0].filesDone, 0u);
    EXPECT_EQ(seen[0].bytesDone, 0u);
    for (int mid : {1, 2}) {
        EXPECT_EQ(seen[mid].filesDone, 0u);
        EXPECT_EQ(seen[mid].records, mid * kWalkAdvanceStride);
        EXPECT_GT(seen[mid].bytesDone, seen[mid - 1].bytesDone);
        EXPECT_LT(seen[mid].bytesDone, big.size());
    }
    EXPECT_EQ(seen[3].filesDone, 1u);
    EXPECT_EQ(seen[3].bytesDone, big.size());
    EXPECT_EQ(seen.back().filesDone, 3u);
    EXPECT_EQ(seen.back().records, records);
    EXPECT_EQ(seen.back().bytesDone, total);
    EXPECT_EQ(bytes, total);
}

} // namespace
} // namespace loglathe
