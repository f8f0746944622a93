// The input side seen through the binary: which files are taken and in what order, how sessions are
// followed across split files, repeated and missing inputs, deletion of converted inputs, and inputs
// the program may not read.

#include "e2e/e2e_databases.h"
#include "e2e/e2e_support.h"

#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace loglathe::test {
namespace {

constexpr long long kNoon = 1706659200 + 12 * 3600; // 2024-01-31 12:00:00 UTC
constexpr int kFramesPerFile = 120;                 // about 6 KB of log, more than one 4096-byte buffer

// Split file `n` of session 1: frames every 100 ms from 12:0n:00, the speed counting up from 100 n.
std::string splitFile(int n) {
    LogFile log;
    log.session = 1;
    log.split = n;
    log.time = "20240131T120" + std::to_string(n) + "00";
    for (int i = 0; i < kFramesPerFile; ++i) {
        char time[32];
        std::snprintf(time, sizeof time, "31T12:%02d:%02d.%d00", n, i / 10, i % 10);
        log.lines.push_back(frame(time, 0x100, engineData(100 * n + i)));
    }
    return log.text();
}

// The CSV rows that splitFile(n) gives.
std::string rowsOf(int n) {
    std::string rows;
    for (int i = 0; i < kFramesPerFile; ++i) {
        char row[96];
        std::snprintf(row, sizeof row, "%lld.%d00000,%d.000000,50.000000,0.000000\n", kNoon + 60 * n + i / 10,
                      i % 10, 100 * n + i);
        rows += row;
    }
    return rows;
}

const std::string kHeader = "t,EngineSpeed,CoolantTemp,ThrottlePos\n";
const std::string kFolder = "1A2B3C_out/CAN1_EngineData/2024/01/31/";

// Z.txt sorts before a.TXT by bytes (not by letters), the folder c is finished before e.txt, c/e.txt
// repeats c/d.txt, split 5 is missing (notes.csv holds it but is not a log file name), so e.txt
// (split 6) starts a new output session.
void writeSessionTree(const TempDir& dir) {
    dir.write("logs/Z.txt", splitFile(1));
    dir.write("logs/a.TXT", splitFile(2));
    dir.write("logs/b.txt", splitFile(3));
    dir.write("logs/c/d.txt", splitFile(4));
    dir.write("logs/c/e.txt", splitFile(4));
    dir.write("logs/notes.csv", splitFile(5));
    dir.write("logs/e.txt", splitFile(6));
}

TEST(EndToEndWalker, TakesLogFilesInByteOrderDepthFirstAndFollowsTheSession) {
    struct Case {
        std::vector<std::string> options;
        std::map<std::string, std::string> tree;
        uint64_t files;
    };
    const std::map<std::string, std::string> concatenated = {
        {kFolder + "00000001_00000001.csv", kHeader + rowsOf(1) + rowsOf(2) + rowsOf(3) + rowsOf(4)},
        {kFolder + "00000001_00000006.csv", kHeader + rowsOf(6)},
    };
    const std::vector<Case> cases = {
        {{}, concatenated, 2},
        // The read buffer does not change what is read.
        {{"--buffer=0"}, concatenated, 2},
        {{"--buffer=4096"}, concatenated, 2},
        {{"--no-concat"},
         {
             {kFolder + "00000001_00000001.csv", kHeader + rowsOf(1)},
             {kFolder + "00000001_00000002.csv", kHeader + rowsOf(2)},
             {kFolder + "00000001_00000003.csv", kHeader + rowsOf(3)},
             {kFolder + "00000001_00000004.csv", kHeader + rowsOf(4)},
             {kFolder + "00000001_00000006.csv", kHeader + rowsOf(6)},
         },
         5},
    };
    for (const Case& c : cases) {
        for (const std::string& tz : timeZones()) {
            SCOPED_TRACE("TZ=" + tz + " options: " + (c.options.empty() ? "none" : c.options[0]));
            TempDir dir;
            std::string dbc = dir.write("powertrain.dbc", kCanDbc);
            writeSessionTree(dir);
            std::string out = dir.mkdir("out");

            std::vector<std::string> args = {"--verbosity=3", "--dbc-can1=" + dbc, "-O", out};
            args.insert(args.end(), c.options.begin(), c.options.end());
            args.push_back(dir.path("logs"));
            args.push_back(dir.path("missing.txt")); // next to the folder: the folder is still converted
            RunResult run = runLoglathe(args, inZone(tz));

            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(countLines(run.err, " W Could not find input file/folder missing.txt"), 1) << run.err;
            EXPECT_EQ(countLines(run.err, " W Repeated input file (1A2B3C, 00000001, 00000004)"), 1)
                << run.err;
            EXPECT_EQ(splitLines(run.err).size(), 2u) << run.err;
            // Six log files are counted (the repeated one too), five are read.
            EXPECT_EQ(parseSummaries(run.out), (Summaries{6, 5 * kFramesPerFile, 0, 0, 0, 0, c.files,
                                                          5 * kFramesPerFile, 3 * 5 * kFramesPerFile}))
                << run.out;
            EXPECT_EQ(readTree(out), c.tree);
        }
    }
}

TEST(EndToEndWalker, DeletesOnlyTheInputsItConverted) {
    for (const std::string& tz : timeZones()) {
        SCOPED_TRACE("TZ=" + tz);
        TempDir dir;
        std::string dbc = dir.write("powertrain.dbc", kCanDbc);
        LogFile good;
        good.lines = {frame("31T12:00:00.000", 0x100, engineData(800))};
        LogFile other = good;
        other.loggerId = "4D5E6F";
        LogFile noSession = good;
        noSession.session = 0;
        dir.write("logs/a_no_session.txt", noSession.text());
        dir.write("logs/b_garbage.txt", std::string("\x00\x01\xFF\xFEnot a log\n", 15));
        dir.write("logs/c_good.txt", good.text());
        dir.write("logs/d_repeat.txt", good.text()); // same logger, session and split as c_good.txt
        dir.write("logs/e_other.txt", other.text());
        dir.write("logs/notes.csv", good.text());
        std::string out = dir.mkdir("out");

        RunResult run =
            runLoglathe({"--delete-converted", "--dbc-can1=" + dbc, "-O", out, dir.path("logs")}, inZone(tz));

        EXPECT_EQ(run.status, 8);
        EXPECT_EQ(countLines(run.err, " E Could not parse file header"), 1) << run.err;
        EXPECT_EQ(countLines(run.err, " E Error during conversion of logs/a_no_session.txt"), 1) << run.err;
        EXPECT_EQ(countLines(run.err, " E Could not open log"), 1) << run.err;
        EXPECT_EQ(countLines(run.err, " E Error during conversion of logs/b_garbage.txt"), 1) << run.err;
        EXPECT_EQ(splitLines(run.err).size(), 4u) << run.err;
        EXPECT_EQ(parseSummaries(run.out), (Summaries{5, 2, 0, 0, 0, 0, 2, 2, 6})) << run.out;

        std::map<std::string, std::string> left = readTree(dir.path("logs"));
        std::vector<std::string> names;
        for (const auto& [name, content] : left)
            names.push_back(name);
        EXPECT_EQ(names, (std::vector<std::string>{"a_no_session.txt", "b_garbage.txt", "d_repeat.txt",
                                                   "notes.csv"}));
        const std::string row = "1706702400.000000,800.000000,50.000000,0.000000\n";
        EXPECT_EQ(readTree(out),
                  (std::map<std::string, std::string>{
                      {kFolder + "00000001_00000001.csv", kHeader + row},
                      {"4D5E6F_out/CAN1_EngineData/2024/01/31/00000001_00000001.csv", kHeader + row},
                  }));
    }
}

TEST(EndToEndWalker, AnInputItMayNotReadFailsAndTheOthersAreConverted) {
    if (!canDropDacOverride())
        GTEST_SKIP() << "setpriv cannot drop CAP_DAC_OVERRIDE here, so root reads every file";
    for (const std::string& tz : timeZones()) {
        SCOPED_TRACE("TZ=" + tz);
        TempDir dir;
        std::string dbc = dir.write("powertrain.dbc", kCanDbc);
        std::string locked = dir.write("logs/a.txt", splitFile(1));
        ::chmod(locked.c_str(), 0);
        dir.write("logs/b.txt", splitFile(2));
        std::string out = dir.mkdir("out");
        RunOptions options = inZone(tz);
        options.withoutDacOverride = true;

        RunResult run = runLoglathe({"--dbc-can1=" + dbc, "-O", out, dir.path("logs")}, options);

        EXPECT_EQ(run.status, 8);
        EXPECT_EQ(countLines(run.err, " E Could not open input file logs/a.txt"), 1) << run.err;
        EXPECT_EQ(countLines(run.err, " E Error during conversion of logs/a.txt"), 1) << run.err;
        EXPECT_EQ(parseSummaries(run.out),
                  (Summaries{2, kFramesPerFile, 0, 0, 0, 0, 1, kFramesPerFile, 3 * kFramesPerFile}))
            << run.out;
        // b.txt does not continue a.txt, which was never read: it names its own file.
        EXPECT_EQ(readTree(out), (std::map<std::string, std::string>{
                                     {kFolder + "00000001_00000002.csv", kHeader + rowsOf(2)}}));
    }
}

TEST(EndToEndWalker, BadInputsFailAloneAndTheGoodOneIsConverted) {
    // Larger than the memory of any machine the tests run on.
    constexpr long long kHuge = 64LL << 30;
    constexpr long long kLongLine = 10LL << 20;
    std::mt19937 random(7);
    std::string garbage;
    for (int i = 0; i < 4096; ++i)
        garbage.push_back(i % 97 == 96 ? '\n' : static_cast<char>(0x80 | (random() & 0x7F)));
    LogFile good;
    good.lines = {frame("31T12:00:00.000", 0x100, engineData(800))};
    std::string headerOnly = good.text().substr(0, good.text().find("Timestamp;"));

    for (const std::string& tz : timeZones()) {
        SCOPED_TRACE("TZ=" + tz);
        TempDir dir;
        std::string dbc = dir.write("powertrain.dbc", kCanDbc);
        dir.write("logs/a_good.txt", good.text());
        dir.write("logs/b_garbage.txt", garbage);
        dir.write("logs/c_empty.txt", "");
        dir.write("logs/d_header_only.txt", headerOnly);
        dir.write("logs/e_long_line.txt", std::string(kLongLine, 'A'));
        // Larger than memory: the file is read through a window, and its zeros are no log.
        std::filesystem::resize_file(dir.write("logs/f_huge.txt", ""), kHuge);
        dir.mkdir("logs/x.txt");
        // A FIFO inside a folder is not listed; one named on the command line is neither file nor folder.
        ASSERT_EQ(::mkfifo(dir.path("logs/y.txt").c_str(), 0600), 0);
        ASSERT_EQ(::mkfifo(dir.path("fifo.txt").c_str(), 0600), 0);
        dir.mkdir("logs/z");
        std::filesystem::create_directory_symlink("..", dir.path("logs/z/back"));
        std::string out = dir.mkdir("out");

        RunResult run = runLoglathe(
            {"--verbosity=3", "--dbc-can1=" + dbc, "-O", out, dir.path("logs"), dir.path("fifo.txt")},
            inZone(tz));

        // 8 for the files that failed, 129 for the FIFO input.
        EXPECT_EQ(run.status, 8 | 129);
        EXPECT_EQ(countLines(run.err, " E Could not open log"), 5) << run.err;
        EXPECT_EQ(countLines(run.err, " E Could not allocate buffer"), 0) << run.err;
        EXPECT_EQ(countLines(run.err, " E Error during conversion of logs/"), 5) << run.err;
        for (const char* name : {"b_garbage", "c_empty", "d_header_only", "e_long_line", "f_huge"})
            EXPECT_EQ(countLines(run.err, std::string(" E Error during conversion of logs/") + name + ".txt"),
                      1)
                << run.err;
        EXPECT_EQ(countLines(run.err, " W Skipping folder logs/z/back"), 1) << run.err;
        // No other warning or error.
        EXPECT_EQ(countLines(run.err, " E ") + countLines(run.err, " W "), 11) << run.err;
        // Every selected file counts towards the size, also those that failed.
        uint64_t megabytes = static_cast<uint64_t>(kHuge + kLongLine) >> 20;
        EXPECT_EQ(parseSummaries(run.out), (Summaries{6, 1, megabytes, 0, 0, 0, 1, 1, 3})) << run.out;
        EXPECT_EQ(readTree(out), (std::map<std::string, std::string>{
                                     {kFolder + "00000001_00000001.csv",
                                      kHeader + "1706702400.000000,800.000000,50.000000,0.000000\n"}}));
    }
}

} // namespace
} // namespace loglathe::test
