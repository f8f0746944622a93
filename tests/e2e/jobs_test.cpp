// Conversion on several workers: random input sets give the same outputs on one worker and on four
// (runLoglathe runs every conversion in a test folder both ways and compares all the user sees).

#include "e2e/e2e_databases.h"
#include "e2e/e2e_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace loglathe::test {
namespace {

// "12:00:07.250" style stamps of the default log layout, from seconds after noon.
std::string stampAt(double seconds) {
    int whole = static_cast<int>(seconds);
    char text[40];
    std::snprintf(text, sizeof text, "31T12:%02d:%02d.%03d", whole / 60 % 60, whole % 60,
                  static_cast<int>((seconds - whole) * 1000 + 0.5) % 1000);
    return text;
}

// An input set drawn from `seed`: loggers whose ids collide in their folder names, sessions split
// over several files (continued, with gaps, repeated, coming back later in the walk and in another
// folder), ISO-TP transfers cut by a split, files that fail, and options.
struct InputSet {
    std::vector<std::string> args;
    int files = 0;
};

InputSet makeInputSet(const TempDir& dir, unsigned seed) {
    std::mt19937 random(seed);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const std::vector<std::string> loggers = {"1A2B3C", "1A-2B-3C", "77FF00", ""};
    InputSet set;
    int folders = 1 + pick(3);
    double clock = 0;
    for (int f = 0; f < folders; ++f) {
        int sessions = 1 + pick(4);
        int name = 1;
        for (int s = 0; s < sessions; ++s) {
            LogFile log;
            log.loggerId = loggers[static_cast<std::size_t>(pick(4))];
            log.session = 1 + pick(3);
            log.split = 1 + pick(2);
            int splits = 1 + pick(4);
            for (int k = 0; k < splits; ++k) {
                log.lines.clear();
                int frames = 1 + pick(40);
                for (int i = 0; i < frames; ++i) {
                    clock += 0.05 + pick(100) * 0.001;
                    int kind = pick(10);
                    if (kind < 6)
                        log.lines.push_back(frame(stampAt(clock), 0x100, engineData(pick(16000))));
                    else if (kind < 8)
                        log.lines.push_back(frame(stampAt(clock), 0x7E8, "2100000000000000"));
                    else
                        log.lines.push_back(frame(stampAt(clock), 0x300, "01E8030000000000"));
                }
                // A transfer whose first frame ends this file and whose rest may start the next one.
                if (pick(2))
                    log.lines.push_back(frame(stampAt(clock += 0.01), 0x7E8, "10146290F10F2700"));
                if (pick(12) == 0)
                    log.lines.push_back(frame(stampAt(clock - 30), 0x100, engineData(1))); // goes back
                std::string text = log.text();
                int damage = pick(16);
                if (damage == 0)
                    text.replace(text.find("# Split No."), 2, "##"); // header without a split
                else if (damage == 1)
                    text = "not a log\n";
                char file[32];
                std::snprintf(file, sizeof file, "f%d/%08d.txt", f, name++);
                dir.write("logs/" + std::string(file), text);
                ++set.files;
                // Next split: continued, repeated or after a gap.
                int step = pick(8);
                log.split += step == 0 ? 0 : step == 1 ? 2 : 1;
            }
        }
        if (pick(3) == 0)
            dir.write("logs/f" + std::to_string(f) + "/notes.csv", "ignored\n");
    }
    set.args = {"--dbc-can1=" + dir.path("dbc/can.dbc"), "--verbosity=3", "-O", dir.mkdir("out")};
    if (pick(3) == 0)
        set.args.push_back("--no-concat");
    if (pick(3) == 0)
        set.args.push_back("-d");
    const char* buffers[] = {"-b0", "-b1KB", "-b-1"};
    set.args.push_back(buffers[pick(3)]);
    set.args.push_back(dir.path("logs/"));
    if (pick(4) == 0)
        set.args.push_back(dir.path("missing.txt"));
    return set;
}

TEST(Jobs, RandomInputSetsGiveTheSameOutputsOnOneWorkerAndOnFour) {
    for (unsigned seed = 1; seed <= 30; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        TempDir dir;
        dir.write("dbc/can.dbc", kCanDbc);
        InputSet set = makeInputSet(dir, seed);
        RunResult run = runLoglathe(set.args);
        // The comparison is in runLoglathe; this makes sure there was a conversion to compare.
        std::optional<Summaries> summaries = parseSummaries(run.out);
        ASSERT_TRUE(summaries) << run.out << run.err;
        EXPECT_EQ(summaries->readerFiles, static_cast<uint64_t>(set.files));
        if (::testing::Test::HasFailure())
            return;
    }
}

// The same logger session in two folders and again later in the walk appends to the same files in
// walk order; on four workers the rows come out as on one.
TEST(Jobs, ASessionComingBackLaterAppendsInWalkOrder) {
    TempDir dir;
    dir.write("dbc/can.dbc", kCanDbc);
    LogFile log;
    for (int part = 0; part < 6; ++part) {
        log.loggerId = part % 2 ? "77FF00" : "1A2B3C";
        log.session = 1;
        log.split = 1;
        log.lines = {frame(stampAt(part * 10 + 1), 0x100, engineData(100 * part + 1)),
                     frame(stampAt(part * 10 + 2), 0x100, engineData(100 * part + 2))};
        dir.write("logs/" + std::string(part < 3 ? "a" : "b") + "/" + std::to_string(part) + ".txt",
                  log.text());
    }
    RunResult run =
        runLoglathe({"--dbc-can1=" + dir.path("dbc/can.dbc"), "-O", dir.mkdir("out"), dir.path("logs/")});
    EXPECT_EQ(run.status, 0) << run.err;
    std::string rows = readFile(dir.path("out/1A2B3C_out/CAN1_EngineData/2024/01/31/00000001_00000001.csv"));
    EXPECT_EQ(countLines(rows, "\n"), 1 + 3 * 2) << rows;
    EXPECT_LT(rows.find(",1.000000,"), rows.find(",201.000000,")) << rows;
    EXPECT_LT(rows.find(",201.000000,"), rows.find(",401.000000,")) << rows;
}

// With -d a file converted earlier in the walk is gone when the walk comes to it again: through a
// second path to its folder, or named twice. The workers lag behind the walk, which must find what
// a walk converting each file at once finds.
TEST(Jobs, FilesRemovedAfterConversionAreGoneWhenTheWalkComesBack) {
    TempDir dir;
    dir.write("dbc/can.dbc", kCanDbc);
    LogFile log;
    for (int split = 1; split <= 3; ++split) {
        log.split = split;
        log.lines = {frame(stampAt(split), 0x100, engineData(100 * split))};
        dir.write("logs/a/" + std::to_string(split) + ".txt", log.text());
    }
    dir.link("logs/b", dir.path("logs/a"));
    log.session = 2;
    dir.write("top.txt", log.text());
    RunResult run =
        runLoglathe({"-d", "--verbosity=3", "--dbc-can1=" + dir.path("dbc/can.dbc"), "-O", dir.mkdir("out"),
                     dir.path("top.txt"), dir.path("logs/"), dir.path("top.txt")});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(countLines(run.err, " W Could not find input file/folder top.txt"), 1) << run.err;
    EXPECT_EQ(parseSummaries(run.out).value_or(Summaries{}).readerFiles, 4u) << run.out;
    EXPECT_FALSE(dir.exists("logs/a/2.txt"));
}

TEST(Jobs, InvalidJobCountsAreSetupErrors) {
    TempDir dir;
    dir.write("dbc/can.dbc", kCanDbc);
    dir.write("logs/1.txt", LogFile().text());
    for (const char* jobs : {"--jobs=0", "-j-2", "--jobs=abc", "--jobs=257"}) {
        RunResult run = runLoglathe({jobs, "--dbc-can1=" + dir.path("dbc/can.dbc"), dir.path("logs/")});
        EXPECT_EQ(run.status, 131) << jobs;
        EXPECT_FALSE(dir.exists("logs_out")) << jobs;
    }
    RunResult run = runLoglathe({"-j", "3", "--dbc-can1=" + dir.path("dbc/can.dbc"), dir.path("logs/")});
    EXPECT_EQ(run.status, 0) << run.err;
}

} // namespace
} // namespace loglathe::test
