#include "app/dbc_options.h"

#include "support/temp_dir.h"
#include "tp/tp_test_support.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace loglathe {
namespace {

using test::DiagCapture;
using test::TempDir;

constexpr const char* kSmallDbc = "BO_ 256 M1: 8 ECU\n"
                                  " SG_ S1 : 0|8@1+ (1,0) [0|18446744073709551615] \"\" ECU\n";

// Runs dbcLoadOptions with the working directory set to `cwd`.
bool loadIn(RunConfig& config, const std::string& cwd) {
    std::filesystem::path saved = std::filesystem::current_path();
    std::filesystem::current_path(cwd);
    bool ok = dbcLoadOptions(config);
    std::filesystem::current_path(saved);
    return ok;
}

TEST(DbcOptions, OptionTextsSelectBusAndChannel) {
    TempDir dir;
    std::string dbc = dir.write("a.dbc", kSmallDbc);
    std::string txt = dir.write("a.txt", kSmallDbc);
    RunConfig config;
    config.dbcArgs = {
        "dbc-can0=" + dbc, "dbc-can256=" + dbc, "dbc-can255=" + dbc, "dbc-can1=" + txt,
        "dbc-lin7=" + dbc, "dbc-can1=" + dbc,   "dbc-can1=" + dbc,   "dbc-can2=" + dir.path("no.dbc")};
    DiagCapture diag;
    ASSERT_TRUE(loadIn(config, dir.root()));
    std::string log = diag.text();
    EXPECT_NE(log.find("E Invalid argument: dbc-can0=" + dbc + "\n"), std::string::npos);
    EXPECT_NE(log.find("E Invalid argument: dbc-can256=" + dbc + "\n"), std::string::npos);
    EXPECT_NE(log.find("E Invalid argument: dbc-can1=" + txt + "\n"), std::string::npos);
    EXPECT_NE(log.find("E Failed to open DBC file: " + dir.path("no.dbc") + "\n"), std::string::npos);
    EXPECT_NE(log.find("I Successfully loaded DBC file: " + dbc + "\n"), std::string::npos);
    EXPECT_EQ(config.canDbs.channel(255).size(), 1u);
    EXPECT_EQ(config.canDbs.channel(1).size(), 2u); // two options for one channel, both kept
    EXPECT_EQ(config.linDbs.channel(7).size(), 1u);
    EXPECT_TRUE(config.canDbs.channel(0).empty());
    EXPECT_TRUE(config.canDbs.channel(2).empty());
}

TEST(DbcOptions, NothingLoadedFailsTheRun) {
    TempDir dir;
    std::string broken = dir.write("broken.dbc", "");
    RunConfig config;
    config.dbcArgs = {"dbc-can1=" + broken};
    DiagCapture diag;
    EXPECT_FALSE(loadIn(config, dir.root()));
    std::string log = diag.text();
    EXPECT_NE(log.find("E Failed to load DBC file: " + broken + "\n"), std::string::npos);
    EXPECT_NE(log.find("E No DBC files found\n"), std::string::npos);
}

TEST(DbcOptions, DiscoversDatabasesInTheWorkingDirectory) {
    TempDir dir;
    dir.write("can1-a.dbc", kSmallDbc);
    dir.write("lin2-b.DBC", kSmallDbc);
    dir.write("notes.dbc", kSmallDbc);
    dir.mkdir("can3-folder.dbc");
    RunConfig config;
    DiagCapture diag;
    ASSERT_TRUE(loadIn(config, dir.root()));
    EXPECT_EQ(config.dbcArgs, (std::vector<std::string>{"dbc-can1=" + dir.path("can1-a.dbc"),
                                                        "dbc-lin2=" + dir.path("lin2-b.DBC")}));
    EXPECT_EQ(config.canDbs.channel(1).size(), 1u);
    // The upper-case extension fails the option pattern.
    EXPECT_NE(diag.text().find("E Invalid argument: dbc-lin2="), std::string::npos);
    EXPECT_TRUE(config.linDbs.channel(2).empty());
}

TEST(DbcOptions, DumpLandsInTheWorkingDirectory) {
    TempDir dir;
    std::string dbc = dir.write("data/can1-a.dbc", kSmallDbc);
    dir.mkdir("work");
    RunConfig config;
    config.dbDump = true;
    config.dbcArgs = {"dbc-can1=" + dbc};
    DiagCapture diag;
    ASSERT_TRUE(loadIn(config, dir.path("work")));
    EXPECT_NE(diag.text().find("I Dumping DB " + dbc + " to can1-a.json\n"), std::string::npos);
    std::string json = test::readFile(dir.path("work/can1-a.json"));
    EXPECT_EQ(json.rfind("{\"bus\":\"CAN\",\"messages\":[{ \"key\":256,\"name\":\"M1\"", 0), 0u) << json;
    // The dump prints limits with the C library's "%f".
    EXPECT_NE(json.find("\"max\":18446744073709551616.000000"), std::string::npos) << json;
}

} // namespace
} // namespace loglathe
