// The output side seen through the binary when the system pushes back: more output files than file
// descriptors, a file-size limit, an output folder the program may not write, and a run that comes
// back to a file it has already written.

#include "e2e/e2e_databases.h"
#include "e2e/e2e_support.h"

#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace loglathe::test {
namespace {

constexpr long long kNoon = 1706659200 + 12 * 3600; // 2024-01-31 12:00:00 UTC
const std::string kEngineHeader = "t,EngineSpeed,CoolantTemp,ThrottlePos\n";
const std::string kDayFile = "/2024/01/31/00000001_00000001.csv";

// A line time and the CSV time stamp of `tenths` tenths of a second after noon.
std::string lineTime(int tenths) {
    char text[32];
    std::snprintf(text, sizeof text, "31T12:%02d:%02d.%d00", tenths / 600, tenths / 10 % 60, tenths % 10);
    return text;
}
std::string rowTime(int tenths) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%d00000", kNoon + tenths / 10, tenths % 10);
    return text;
}

// EngineData frames at tenths first, first + 1, ... with speeds rpm, rpm + 1, ...; and their rows.
std::vector<std::string> engineFrames(int first, int count, int rpm) {
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i)
        lines.push_back(frame(lineTime(first + i), 0x100, engineData(rpm + i)));
    return lines;
}
std::string engineRows(int first, int count, int rpm) {
    std::string rows;
    for (int i = 0; i < count; ++i)
        rows += rowTime(first + i) + "," + std::to_string(rpm + i) + ".000000,50.000000,0.000000\n";
    return rows;
}

TEST(EndToEndWriter, KeepsEveryRowWhenFilesOutnumberTheDescriptorLimit) {
    // Three rounds of EEC1 from 80 sources: 80 files, each written to again after 79 others, under a
    // limit of 64 descriptors.
    constexpr int kSources = 80;
    constexpr int kRounds = 3;
    LogFile log;
    std::map<std::string, std::string> expected;
    for (int source = 0; source < kSources; ++source) {
        char folder[64];
        std::snprintf(folder, sizeof folder, "1A2B3C_out/CAN1_EEC1_S%02X", source);
        expected[folder + kDayFile] = "t,ActualTorque,EngineSpeed\n";
    }
    for (int round = 0; round < kRounds; ++round) {
        for (int source = 0; source < kSources; ++source) {
            int i = round * kSources + source; // hundredths of a second after noon
            int rpm = 10 * source + round;     // ActualTorque = round - 0, speed raw = 8 rpm
            char time[32];
            char data[17];
            std::snprintf(time, sizeof time, "31T12:00:%02d.%02d0", i / 100, i % 100);
            std::snprintf(data, sizeof data, "FFFF%02X%02X%02XFFFFFF", 125 + round, (8 * rpm) & 0xFF,
                          (8 * rpm) >> 8);
            log.lines.push_back(frame(time, 0x0CF00400 | static_cast<uint32_t>(source), data, true));
            char folder[64];
            char row[96];
            std::snprintf(folder, sizeof folder, "1A2B3C_out/CAN1_EEC1_S%02X", source);
            std::snprintf(row, sizeof row, "%lld.%02d0000,%d.000000,%d.000000\n", kNoon + i / 100, i % 100,
                          round, rpm);
            expected[folder + kDayFile] += row;
        }
    }
    for (const std::string& tz : timeZones()) {
        SCOPED_TRACE("TZ=" + tz);
        TempDir dir;
        std::string dbc = dir.write("j1939.dbc", kJ1939Dbc);
        dir.write("logs/00000001.txt", log.text());
        std::string out = dir.mkdir("out");
        RunOptions options = inZone(tz);
        options.openFilesLimit = 64;

        RunResult run = runLoglathe({"--dbc-can1=" + dbc, "-O", out, dir.path("logs")}, options);

        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(parseSummaries(run.out), (Summaries{1, kSources * kRounds, 0, 0, 0, 0, kSources,
                                                      kSources * kRounds, 2 * kSources * kRounds}))
            << run.out;
        EXPECT_EQ(readTree(out), expected);
    }
}

TEST(EndToEndWriter, AWriteBeyondTheFileSizeLimitFailsTheInputAndKeepsIt) {
    constexpr long kLimit = 4096;
    LogFile big; // about 14 KB of rows
    big.lines = engineFrames(0, 300, 1000);
    LogFile small;
    small.loggerId = "4D5E6F";
    small.lines = engineFrames(0, 2, 500);
    for (const std::string& tz : timeZones()) {
        SCOPED_TRACE("TZ=" + tz);
        TempDir dir;
        std::string dbc = dir.write("powertrain.dbc", kCanDbc);
        dir.write("logs/big.txt", big.text());
        dir.write("logs/small.txt", small.text());
        std::string out = dir.mkdir("out");
        RunOptions options = inZone(tz);
        options.fileSizeLimit = kLimit;

        RunResult run =
            runLoglathe({"--delete-converted", "--dbc-can1=" + dbc, "-O", out, dir.path("logs")}, options);

        // A status, not a kill by SIGXFSZ.
        EXPECT_EQ(run.status, 8);
        std::string bigCsv = "1A2B3C_out/CAN1_EngineData" + kDayFile;
        EXPECT_EQ(countLines(run.err, " E Could not write output file "), 1) << run.err;
        EXPECT_EQ(countLines(run.err, " E Could not write output file " + out + bigCsv), 1) << run.err;
        EXPECT_EQ(countLines(run.err, " E Error during end file callback"), 1) << run.err;
        EXPECT_EQ(countLines(run.err, " E Error during conversion of logs/big.txt"), 1) << run.err;
        EXPECT_EQ(splitLines(run.err).size(), 3u) << run.err;
        EXPECT_EQ(parseSummaries(run.out), (Summaries{2, 302, 0, 0, 0, 0, 2, 302, 906})) << run.out;

        // The input whose rows did not all reach the disk stays; the converted one is gone.
        EXPECT_TRUE(std::filesystem::exists(dir.path("logs/big.txt")));
        EXPECT_FALSE(std::filesystem::exists(dir.path("logs/small.txt")));
        std::map<std::string, std::string> tree = readTree(out);
        EXPECT_EQ(tree["4D5E6F_out/CAN1_EngineData" + kDayFile], kEngineHeader + engineRows(0, 2, 500));
        // What did reach the disk is the start of the file, up to the limit.
        const std::string& written = tree[bigCsv];
        std::string whole = kEngineHeader + engineRows(0, 300, 1000);
        EXPECT_GT(written.size(), kEngineHeader.size());
        EXPECT_LE(written.size(), static_cast<std::size_t>(kLimit));
        EXPECT_EQ(written, whole.substr(0, written.size()));
    }
}

TEST(EndToEndWriter, AnOutputFolderItMayNotWriteIsReportedOnEveryAttempt) {
    if (!canDropDacOverride())
        GTEST_SKIP() << "setpriv cannot drop CAP_DAC_OVERRIDE here, so root writes every folder";
    LogFile log;
    log.lines = engineFrames(0, 3, 800);
    log.lines.push_back(frame(lineTime(5), 0x300, "0066080000000007"));
    log.lines.push_back(frame(lineTime(6), 0x300, "0066080000000007"));
    for (const std::string& tz : timeZones()) {
        SCOPED_TRACE("TZ=" + tz);
        TempDir dir;
        std::string dbc = dir.write("powertrain.dbc", kCanDbc);
        dir.write("logs/a.txt", log.text());
        std::string out = dir.mkdir("out");
        ::chmod(out.c_str(), 0500);
        RunOptions options = inZone(tz);
        options.withoutDacOverride = true;

        RunResult run =
            runLoglathe({"--delete-converted", "--dbc-can1=" + dbc, "-O", out, dir.path("logs")}, options);

        EXPECT_EQ(run.status, 8);
        // One report per record of each message: every record tries again.
        EXPECT_EQ(countLines(run.err, " E Could not create output writer"), 5) << run.err;
        EXPECT_EQ(countLines(run.err, " E Error during conversion of logs/a.txt"), 1) << run.err;
        EXPECT_EQ(parseSummaries(run.out), (Summaries{1, 5, 0, 0, 0, 0, 0, 5, 13})) << run.out;
        EXPECT_TRUE(std::filesystem::exists(dir.path("logs/a.txt")));
        EXPECT_TRUE(readTree(out).empty());
    }
}

TEST(EndToEndWriter, AppendsWhenTheRunComesBackToAFileItWrote) {
    // Logger 1A2B3C session 1 split 1, then another logger, then 1A2B3C session 1 split 1 again: the
    // third input is no continuation, yet its file is the first one's.
    LogFile first;
    first.lines = engineFrames(0, 3, 100);
    LogFile other;
    other.loggerId = "4D5E6F";
    other.lines = engineFrames(10, 2, 200);
    LogFile again;
    again.lines = engineFrames(20, 3, 300);
    for (const std::string& tz : timeZones()) {
        SCOPED_TRACE("TZ=" + tz);
        TempDir dir;
        std::string dbc = dir.write("powertrain.dbc", kCanDbc);
        dir.write("logs/1.txt", first.text());
        dir.write("logs/2.txt", other.text());
        dir.write("logs/3.txt", again.text());
        std::string out = dir.mkdir("out");
        // Left by an earlier run: replaced, not appended to.
        dir.write("out/1A2B3C_out/CAN1_EngineData" + kDayFile, "t,Stale\n1.000000,2.000000\n");

        RunResult run = runLoglathe({"--dbc-can1=" + dbc, "-O", out, dir.path("logs")}, inZone(tz));

        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(parseSummaries(run.out), (Summaries{3, 8, 0, 0, 0, 0, 2, 8, 24})) << run.out;
        EXPECT_EQ(readTree(out),
                  (std::map<std::string, std::string>{
                      {"1A2B3C_out/CAN1_EngineData" + kDayFile,
                       kEngineHeader + engineRows(0, 3, 100) + engineRows(20, 3, 300)},
                      {"4D5E6F_out/CAN1_EngineData" + kDayFile, kEngineHeader + engineRows(10, 2, 200)},
                  }));
    }
}

} // namespace
} // namespace loglathe::test
