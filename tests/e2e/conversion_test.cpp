// Conversion of a small log through the binary, checked file by file: the folder layout (logger,
// channel and message, multiplexor group, J1939 addresses under the merge options, UTC date folders,
// session and split), the header and row texts, and the summaries.

#include "e2e/e2e_databases.h"
#include "e2e/e2e_support.h"

#include <gtest/gtest.h>

namespace loglathe::test {
namespace {

// The last second of 31 January 2024 UTC (1706745599) and the first of the next day.
LogFile layoutLog(const std::string& loggerId) {
    LogFile log;
    log.loggerId = loggerId;
    log.session = 12;
    log.split = 3;
    log.time = "20240131T235959";
    log.lines = {
        frame("31T23:59:59.000", 0x100, "800C821900000000"), // EngineData 800 rpm, 90 degC, 10 %
        frame("31T23:59:59.100", 0x123, "0102"),             // in no database
        frame("31T23:59:59.150", 0x400, "0102030405060708"), // IgnoredMsg: never decoded
        frame("31T23:59:59.200", 0x300, "0066080000000007"), // SensorMux group 0: 21.50 degC
        frame("31T23:59:59.300", 0x300, "0194110000000007"), // SensorMux group 1: 45.00 %
        // EEC1 from source 0x00 (18 %, 800 rpm); the CAN database reads it as EngineExt (241).
        frame("31T23:59:59.500", 0x0CF00400, "F1918F0019FFFFFF", true),
        frame("31T23:59:59.600", 0x18EA21F9, "00EE00", true), // Request F9 -> 21 for PGN 0xEE00
        frame("31T23:59:59.700", 0x18EA21FA, "CAFE00", true), // Request FA -> 21 for PGN 0xFECA
        // Next UTC day: 840 rpm, 91 degC, throttle 102 % beyond its limit.
        frame("01T00:00:00.100", 0x100, "200D83FF00000000"),
    };
    return log;
}

struct Variant {
    std::vector<std::string> options;
    std::string loggerId;
    std::string loggerFolder;
    std::map<std::string, std::string> j1939Files; // below the logger folder, without the date part
    Summaries summaries;
};

const std::string kDay31 = "/2024/01/31/00000012_00000003.csv";
const std::string kDay01 = "/2024/02/01/00000012_00000003.csv";
const std::string kRequestF9 = "1706745599.600000,60928.000000\n";
const std::string kRequestFA = "1706745599.700000,65226.000000\n";
const std::string kEec1 = "t,ActualTorque,EngineSpeed\n1706745599.500000,18.000000,800.000000\n";

std::map<std::string, std::string> expectedTree(const Variant& v) {
    std::map<std::string, std::string> tree = {
        {"CAN1_EngineData" + kDay31,
         "t,EngineSpeed,CoolantTemp,ThrottlePos\n1706745599.000000,800.000000,90.000000,10.000000\n"},
        {"CAN1_EngineData" + kDay01,
         "t,EngineSpeed,CoolantTemp,ThrottlePos\n1706745600.100000,840.000000,91.000000,NaN\n"},
        {"CAN1_SensorMux_SensorIndex_M00" + kDay31,
         "t,SensorIndex,Temperature\n1706745599.200000,0.000000,21.500000\n"},
        {"CAN1_SensorMux_SensorIndex_M01" + kDay31,
         "t,SensorIndex,Humidity\n1706745599.300000,1.000000,45.000000\n"},
        // Read by the CAN database after the J1939 one: no J1939 address in its name.
        {"CAN1_EngineExt" + kDay31, "t,FirstByte\n1706745599.500000,241.000000\n"},
    };
    for (const auto& [folder, content] : v.j1939Files)
        tree[folder + kDay31] = content;
    std::map<std::string, std::string> rooted;
    for (const auto& [path, content] : tree)
        rooted[v.loggerFolder + "/" + path] = content;
    return rooted;
}

std::vector<Variant> variants() {
    const Summaries eightFiles{1, 9, 0, 0, 0, 0, 8, 8, 14};
    const std::string request = "t,RequestedPgn\n";
    return {
        {{},
         "1A2B3C",
         "1A2B3C_out",
         {{"CAN1_EEC1_S00", kEec1},
          {"CAN1_Request_SF9", request + kRequestF9},
          {"CAN1_Request_SFA", request + kRequestFA}},
         eightFiles},
        {{"--no-pgn-dst-merge"},
         "1A2B3C",
         "1A2B3C_out",
         {{"CAN1_EEC1_S00", kEec1},
          {"CAN1_Request_SF9_D21", request + kRequestF9},
          {"CAN1_Request_SFA_D21", request + kRequestFA}},
         eightFiles},
        {{"--pgn-src-merge"},
         "1A2B3C",
         "1A2B3C_out",
         {{"CAN1_EEC1", kEec1}, {"CAN1_Request", request + kRequestF9 + kRequestFA}},
         Summaries{1, 9, 0, 0, 0, 0, 7, 8, 14}},
        {{"--no-append-root"},
         "1A2B3C",
         "1A2B3C",
         {{"CAN1_EEC1_S00", kEec1},
          {"CAN1_Request_SF9", request + kRequestF9},
          {"CAN1_Request_SFA", request + kRequestFA}},
         eightFiles},
        // Only ASCII letters and digits name the folder, at most 15 of them.
        {{},
         "A-B_\xC3\xBC"
         "CDEFGHIJKLMNOPQ",
         "ABCDEFGHIJKLMNO_out",
         {{"CAN1_EEC1_S00", kEec1},
          {"CAN1_Request_SF9", request + kRequestF9},
          {"CAN1_Request_SFA", request + kRequestFA}},
         eightFiles},
    };
}

TEST(EndToEndConversion, WritesEachMessageIntoItsFolderAndDayWithExactRows) {
    for (const Variant& v : variants()) {
        for (const std::string& tz : timeZones()) {
            SCOPED_TRACE("TZ=" + tz + " options: " + (v.options.empty() ? "none" : v.options[0]));
            TempDir dir;
            std::string j1939 = dir.write("dbc/j1939.dbc", kJ1939Dbc);
            std::string can = dir.write("dbc/powertrain.dbc", kCanDbc);
            dir.write("logs/00000012/00000003.TXT", layoutLog(v.loggerId).text());
            std::string out = dir.mkdir("out");

            std::vector<std::string> args = {"--dbc-can1=" + j1939, "--dbc-can1=" + can, "-O", out};
            args.insert(args.end(), v.options.begin(), v.options.end());
            args.push_back(dir.path("logs"));
            RunResult run = runLoglathe(args, inZone(tz));

            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(parseSummaries(run.out), v.summaries) << run.out;
            EXPECT_EQ(readTree(out), expectedTree(v));
        }
    }
}

} // namespace
} // namespace loglathe::test
