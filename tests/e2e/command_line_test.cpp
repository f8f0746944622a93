// The command line seen from a shell: where the databases come from (options, or files named like
// can1-x.dbc in the working directory), the JSON dump into the working directory, and a run that
// finds no database at all.

#include "e2e/e2e_databases.h"
#include "e2e/e2e_support.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace loglathe::test {
namespace {

LogFile oneEngineFrame() {
    LogFile log;
    log.lines = {frame("31T12:00:00.000", 0x100, engineData(800))};
    return log;
}

const std::string kEngineCsv = "1A2B3C_out/CAN1_EngineData/2024/01/31/00000001_00000001.csv";
const std::string kEngineContent =
    "t,EngineSpeed,CoolantTemp,ThrottlePos\n1706702400.000000,800.000000,50.000000,0.000000\n";

bool pythonAvailable() {
    return std::system("python3 -c '' >/dev/null 2>&1") == 0;
}

// True when python3's JSON parser accepts the file.
bool validJson(const std::string& path) {
    return std::system(("python3 -m json.tool '" + path + "' >/dev/null 2>&1").c_str()) == 0;
}

TEST(EndToEndCommandLine, ARunWithoutAnyDatabaseEndsWith129AndWritesNothing) {
    TempDir dir;
    // Without a "-" in its name a DBC file in the working directory is not taken.
    dir.write("work/powertrain.dbc", kCanDbc);
    dir.write("logs/a.txt", oneEngineFrame().text());
    RunOptions options;
    options.cwd = dir.path("work");

    RunResult run = runLoglathe({dir.path("logs")}, options);

    EXPECT_EQ(run.status, 129);
    EXPECT_EQ(countLines(run.err, " E No DBC files found"), 1) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(readTree(dir.root()).size(), 2u); // the DBC and the log, nothing else
}

TEST(EndToEndCommandLine, TakesDatabasesFromTheWorkingDirectoryAndDumpsThemThere) {
    for (const std::string& tz : timeZones()) {
        SCOPED_TRACE("TZ=" + tz);
        TempDir dir;
        std::string found = dir.write("work/can1-powertrain.dbc", kCanDbc);
        dir.write("work/notes.dbc", kJ1939Dbc);
        dir.write("logs/a.txt", oneEngineFrame().text());
        RunOptions options = inZone(tz);
        options.cwd = dir.path("work");

        RunResult run = runLoglathe({"--verbosity=4", "--dbdump", dir.path("logs")}, options);

        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(countLines(run.err, " I Successfully loaded DBC file: " + found), 1) << run.err;
        EXPECT_EQ(countLines(run.err, " I Dumping DB " + found + " to can1-powertrain.json"), 1) << run.err;
        EXPECT_EQ(countLines(run.err, "notes"), 0) << run.err;
        EXPECT_EQ(parseSummaries(run.out), (Summaries{1, 1, 0, 0, 0, 0, 1, 1, 3})) << run.out;
        // Without an output directory the tree grows next to the inputs.
        EXPECT_EQ(readTree(dir.root())[kEngineCsv], kEngineContent);

        std::string dump = readFile(dir.path("work/can1-powertrain.json"));
        EXPECT_EQ(
            dump.rfind(
                "{\"bus\":\"CAN\",\"messages\":[{ \"key\":256,\"name\":\"EngineData\",\"tp\":\"\","
                "\"ignored\":false,\"length\":8,\"signals\":[{\"name\":\"EngineSpeed\",\"ignored\":false,"
                "\"bitpos\":0,\"bitlen\":16,\"bigendian\":false,\"signed\":false,\"factor\":0.250000,"
                "\"offset\":0.000000,\"min\":0.000000,\"max\":16383.750000,\"multiplexed\":[]},",
                0),
            0u)
            << dump;
        EXPECT_NE(dump.find("\"name\":\"DiagResponse\",\"tp\":\"ISOTP\""), std::string::npos) << dump;
        EXPECT_FALSE(std::filesystem::exists(dir.path("work/notes.json")));
        if (!pythonAvailable())
            GTEST_SKIP() << "python3 is not available to check the JSON";
        EXPECT_TRUE(validJson(dir.path("work/can1-powertrain.json"))) << dump;
    }
}

TEST(EndToEndCommandLine, DumpsADatabaseNamedByAnOptionIntoTheWorkingDirectory) {
    for (const std::string& tz : timeZones()) {
        SCOPED_TRACE("TZ=" + tz);
        TempDir dir;
        std::string j1939 = dir.write("dbc/j1939.dbc", kJ1939Dbc);
        std::string can = dir.write("dbc/can1-powertrain.dbc", kCanDbc);
        // Not looked at: the command line names a database.
        dir.write("work/can1-other.dbc", kCanDbc);
        dir.write("logs/a.txt", oneEngineFrame().text());
        std::string out = dir.mkdir("out");
        RunOptions options = inZone(tz);
        options.cwd = dir.path("work");

        RunResult run = runLoglathe(
            {"--dbdump", "--dbc-can1=" + can, "--dbc-can1=" + j1939, "-O", out, dir.path("logs")}, options);

        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(readTree(out), (std::map<std::string, std::string>{{kEngineCsv, kEngineContent}}));
        std::map<std::string, std::string> work = readTree(dir.path("work"));
        std::vector<std::string> names;
        for (const auto& [name, content] : work)
            names.push_back(name);
        EXPECT_EQ(names, (std::vector<std::string>{"can1-other.dbc", "can1-powertrain.json", "j1939.json"}));
        EXPECT_EQ(work["j1939.json"].rfind("{\"bus\":\"CAN-PGN\",\"messages\":[", 0), 0u)
            << work["j1939.json"];
        EXPECT_NE(work["j1939.json"].find("\"name\":\"GnssPosition\",\"tp\":\"NMEATP\""), std::string::npos);
        if (!pythonAvailable())
            GTEST_SKIP() << "python3 is not available to check the JSON";
        EXPECT_TRUE(validJson(dir.path("work/j1939.json"))) << work["j1939.json"];
        EXPECT_TRUE(validJson(dir.path("work/can1-powertrain.json"))) << work["can1-powertrain.json"];
    }
}

} // namespace
} // namespace loglathe::test
