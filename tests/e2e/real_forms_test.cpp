// DBC lines and traffic in the forms that real tools and devices write, converted through the binary.
// The DBC lines are copied from, or written in the form of, the public files named beside them.

#include "e2e/e2e_databases.h"
#include "e2e/e2e_support.h"

#include <gtest/gtest.h>

namespace loglathe::test {
namespace {

using Tree = std::map<std::string, std::string>;

// Converts one log with the DBC texts given for channel 1, in order, at verbosity 4, and checks that
// the run succeeds, drops no decoded value for want of a column, and writes exactly `expected`: the
// files of the log's day and session by message folder, any other file by its whole path below the
// logger folder. Answers the run.
RunResult convert(const std::vector<std::string>& dbcs, const LogFile& log, const Tree& expected) {
    TempDir dir;
    std::vector<std::string> args = {"--verbosity=4"};
    for (std::size_t i = 0; i < dbcs.size(); ++i)
        args.push_back("--dbc-can1=" + dir.write("dbc/" + std::to_string(i) + ".dbc", dbcs[i]));
    dir.write("logs/1.txt", log.text());
    std::string out = dir.mkdir("out");
    args.insert(args.end(), {"-O", out, dir.path("logs")});
    RunResult run = runLoglathe(args);
    const std::string prefix = log.loggerId + "_out/";
    const std::string suffix = "/" + log.time.substr(0, 4) + "/" + log.time.substr(4, 2) + "/" +
                               log.time.substr(6, 2) + "/00000001_00000001.csv";
    Tree tree;
    for (auto& [path, content] : readTree(out)) {
        std::string folder = path.starts_with(prefix) ? path.substr(prefix.size()) : path;
        if (folder.ends_with(suffix))
            folder.resize(folder.size() - suffix.size());
        tree[folder] = content;
    }
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(countLines(run.err, "has no column"), 0) << run.err;
    EXPECT_EQ(tree, expected);
    return run;
}

// The same for a log of the default day holding the given data lines.
RunResult convert(const std::vector<std::string>& dbcs, std::vector<std::string> lines,
                  const Tree& expected) {
    LogFile log;
    log.lines = std::move(lines);
    return convert(dbcs, log, expected);
}

const std::string kCanHeader = "BA_DEF_  \"BusType\" STRING ;\nBA_DEF_DEF_  \"BusType\" \"CAN\";\n";

// Limits and factors with a sign (opendbc cadillac_ct6_object.dbc, cantools signed.dbc and
// issue_207_sig_plus.dbc), and a bit length of 800 in an 8-byte message (canmatrix j1939.dbc), which
// kept in 8 bits would read as 32. Rows print 2 to the power 64 with 17 significant digits.
TEST(EndToEndRealForms, SignedNumbersParseAndLayoutsAreCheckedAsWritten) {
    const std::string dbc =
        kCanHeader +
        "BO_ 1 Diagnostic: 8 TestTool\n"
        " SG_ DgnInf : 7|64@0+ (1,0) [0|1.84467440737096E+019] \"\"  TestTool_FO\n"
        "BO_ 2 Signed64: 8 Vector__XXX\n"
        " SG_ s64 : 0|64@1- (1,0) [-9.22337203685478E+018|9.22337203685478E+018] \"\" Vector__XXX\n"
        "BO_ 3 PlusLimit: 2 Vector__XXX\n"
        " SG_ myExtraSigWithPlus : 8|8@1- (1,-128) [-128|+127] \"\" Vector__XXX\n"
        "BO_ 4 TR1: 8 Vector__XXX\n"
        " SG_ Agency : 0|8@1+ (1,0) [0|255] \"\" Vector__XXX\n"
        " SG_ Transit_Assigned_Run_Identity : 0|800@1+ (1,0) "
        "[0|6.668014432879854274079851791E+240] \"\" Vector__XXX\n";
    RunResult run =
        convert({dbc},
                {
                    frame("31T12:00:00.000", 1, "FFFFFFFFFFFFFFFF"),
                    frame("31T12:00:00.100", 2, "FEFFFFFFFFFFFFFF"),
                    frame("31T12:00:00.200", 3, "007F"),
                    frame("31T12:00:00.300", 4, "2A00000001000000"),
                },
                Tree{
                    {"CAN1_Diagnostic", "t,DgnInf\n1706702400.000000,18446744073709551700.000000\n"},
                    {"CAN1_Signed64", "t,s64\n1706702400.100000,-2.000000\n"},
                    {"CAN1_PlusLimit", "t,myExtraSigWithPlus\n1706702400.200000,-1.000000\n"},
                    {"CAN1_TR1", "t,Agency\n1706702400.300000,42.000000\n"},
                });
    // Reported on each placement pass, and once more as a signal that found no place.
    EXPECT_GE(countLines(run.err, " F Failed to add signal Transit_Assigned_Run_Identity to message TR1"), 1);
    EXPECT_EQ(countLines(run.err, " E Failed to load signal Transit_Assigned_Run_Identity"), 1) << run.err;
}

// Two blanks before the colon of multiplexed signals (opendbc vw_mlb.dbc, Motor_06).
TEST(EndToEndRealForms, SignalLinesWithRunsOfBlanksAreRead) {
    const std::string dbc =
        kCanHeader + "BO_ 1088 Motor_06: 8 Motor_EDC17_D4\n"
                     " SG_ MO_Kuehlerluefter_MUX M  : 0|1@1+ (1.0,0.0) [0.0|1] \"\"  Gateway_D4C7\n"
                     " SG_ MO_Kuehlerluefter_1 m0  : 1|7@1+ (1,0) [0|100] \"Unit_PerCent\"  Gateway_D4C7\n"
                     " SG_ MO_Kuehlerluefter_2 m1  : 1|7@1+ (1,0) [0|100] \"Unit_PerCent\"  Gateway_D4C7\n"
                     " SG_ MO_HYB_Status_HV_Ladung : 8|3@1+ (1.0,0.0) [0.0|7] \"\"  Gateway_D4C7\n";
    // Fan 1 at 50 %, then fan 2 at 75 %; charge status 2.
    convert({dbc},
            {
                frame("31T12:00:00.000", 0x440, "6402000000000000"),
                frame("31T12:00:00.100", 0x440, "9702000000000000"),
            },
            Tree{
                {"CAN1_Motor06_MOKuehlerluefterMUX_M00",
                 "t,MO_Kuehlerluefter_MUX,MO_Kuehlerluefter_1,MO_HYB_Status_HV_Ladung\n"
                 "1706702400.000000,0.000000,50.000000,2.000000\n"},
                {"CAN1_Motor06_MOKuehlerluefterMUX_M01",
                 "t,MO_Kuehlerluefter_MUX,MO_Kuehlerluefter_2,MO_HYB_Status_HV_Ladung\n"
                 "1706702400.100000,1.000000,75.000000,2.000000\n"},
            });
}

// A J1939 database whose ProtocolType definition has no blank before its semicolon (canmatrix
// j1939.dbc, EEC1 and its attribute lines): it is a J1939 database, so EEC1 from any source is found.
TEST(EndToEndRealForms, ProtocolTypeDefinedWithoutBlankMakesAJ1939Database) {
    const std::string dbc = "BO_ 2163213312 EEC1: 8 Vector__XXX\n"
                            " SG_ Engine_Torque_Mode : 0|4@1+ (1,0) [0|15] \"\" Vector__XXX\n"
                            " SG_ Actual_Engine___Percent_Torque : 16|8@1+ (1,0) [0|255] \"\" Vector__XXX\n"
                            " SG_ Engine_Speed : 24|16@1+ (1,0) [0|65535] \"\" Vector__XXX\n"
                            "BA_DEF_ SG_ \"SPN\" INT 0 524287;\n"
                            "BA_DEF_  \"ProtocolType\" STRING;\n"
                            "BA_ \"ProtocolType\"   \"J1939\";\n";
    const std::string header = "t,Engine_Torque_Mode,Actual_Engine___Percent_Torque,Engine_Speed\n";
    convert({dbc},
            {
                frame("31T12:00:00.000", 0x0CF00400, "F1918F0019FFFFFF", true),
                frame("31T12:00:00.010", 0x0CF00417, "F3917D2019FFFFFF", true),
            },
            Tree{
                {"CAN1_EEC1_S00", header + "1706702400.000000,1.000000,143.000000,6400.000000\n"},
                {"CAN1_EEC1_S17", header + "1706702400.010000,3.000000,125.000000,6432.000000\n"},
            });
}

// Extended multiplexing lines with several ranges (cantools multiplex.dbc, Message1): BIT_L, BIT_G,
// BIT_C and BIT_J are decoded for the multiplexor values 8, 16 and 24.
TEST(EndToEndRealForms, EveryRangeOfAnExtendedMultiplexingLineSelectsTheSignal) {
    const std::string dbc = kCanHeader + "BO_ 2148676694 Message1: 8 Vector__XXX\n"
                                         " SG_ BIT_K m24 : 28|1@1+ (1,0) [0|0] \"\" Vector__XXX\n"
                                         " SG_ BIT_D m24 : 32|1@1+ (1,0) [0|0] \"\" Vector__XXX\n"
                                         " SG_ BIT_L m8 : 24|1@1+ (1,0) [0|0] \"\" Vector__XXX\n"
                                         " SG_ BIT_G m8 : 23|1@1+ (1,0) [0|0] \"\" Vector__XXX\n"
                                         " SG_ Multiplexor M : 2|6@1+ (1,0) [0|0] \"\" Vector__XXX\n"
                                         "SG_MUL_VAL_ 2148676694 BIT_L Multiplexor 8-8, 16-16, 24-24;\n"
                                         "SG_MUL_VAL_ 2148676694 BIT_G Multiplexor 8-8, 16-16, 24-24;\n";
    // Multiplexor 8, 16, 24 (bits 2-7 of byte 0), BIT_G (bit 23) and BIT_L (bit 24) set, and BIT_K (bit
    // 28) in the last frame.
    const std::string header = "t,Multiplexor,BIT_L,BIT_G\n";
    convert({dbc},
            {
                frame("31T12:00:00.000", 0x123456, "2000800100000000", true),
                frame("31T12:00:00.100", 0x123456, "4000800100000000", true),
                frame("31T12:00:00.200", 0x123456, "6000801100000000", true),
            },
            Tree{
                {"CAN1_Message1_Multiplexor_M08", header + "1706702400.000000,8.000000,1.000000,1.000000\n"},
                {"CAN1_Message1_Multiplexor_M10", header + "1706702400.100000,16.000000,1.000000,1.000000\n"},
                {"CAN1_Message1_Multiplexor_M18", "t,Multiplexor,BIT_K,BIT_D,BIT_L,BIT_G\n"
                                                  "1706702400.200000,24.000000,1.000000,0.000000,1."
                                                  "000000,1.000000\n"},
            });
}

// A J1939 database with signals of one name in several messages (cantools multiplex_2.dbc, Normal,
// Shared and ExtendedTypes): the SG_MUL_VAL_ line that puts S0 of ExtendedTypes under S11 leaves the
// multiplexor S0 of the other messages alone, and Shared's S1 is listed under two ranges.
TEST(EndToEndRealForms, ExtendedMultiplexingLinesOfTheSignalsOwnMessageDecide) {
    const std::string dbc = "BA_DEF_  \"ProtocolType\" STRING ;\n"
                            "BA_DEF_DEF_  \"ProtocolType\" \"J1939\";\n"
                            "BO_ 2348941054 Normal: 8 Vector__XXX\n"
                            " SG_ S2 m1 : 8|8@1- (1,0) [0|0] \"\" Vector__XXX\n"
                            " SG_ S1 m0 : 4|4@1- (1,0) [0|0] \"\" Vector__XXX\n"
                            " SG_ S0 M : 0|4@1- (1,0) [0|0] \"\" Vector__XXX\n"
                            "BO_ 2349006590 Shared: 8 Vector__XXX\n"
                            " SG_ S2 m2 : 8|8@1- (1,0) [0|0] \"\" Vector__XXX\n"
                            " SG_ S1 m1 : 4|4@1- (1,0) [0|0] \"\" Vector__XXX\n"
                            " SG_ S0 M : 0|4@1- (1,0) [0|0] \"\" Vector__XXX\n"
                            "BO_ 2349072126 ExtendedTypes: 8 Vector__XXX\n"
                            " SG_ S10 m0 : 16|32@1- (1,0) [-3.4E+038|3.4E+038] \"\" Vector__XXX\n"
                            " SG_ S0 m3M : 8|4@1- (1,0) [0|0] \"\" Vector__XXX\n"
                            " SG_ S11 M : 0|5@1+ (1,0) [2|6] \"\" Vector__XXX\n"
                            "SG_MUL_VAL_ 2349072126 S10 S0 0-0;\n"
                            "SG_MUL_VAL_ 2349072126 S0 S11 3-3;\n"
                            "SG_MUL_VAL_ 2349006590 S2 S0 2-5;\n"
                            "SG_MUL_VAL_ 2349006590 S1 S0 1-1, 3-3;\n"
                            "SIG_VALTYPE_ 2349072126 S10 : 1;\n";
    RunResult run = convert({dbc},
                            {
                                frame("31T12:00:00.000", 0x0C01FEFE, "5000000000000000", true),
                                frame("31T12:00:00.100", 0x0C02FEFE, "7100000000000000", true),
                                frame("31T12:00:00.200", 0x0C02FEFE, "02FE000000000000", true),
                                // S11 = 3 selects S0 = 0, which selects the float S10 = 1.5.
                                frame("31T12:00:00.300", 0x0C03FEFE, "03000000C03F0000", true),
                            },
                            Tree{
                                {"CAN1_Normal_S0_M00_SFE", "t,S0,S1\n1706702400.000000,0.000000,5.000000\n"},
                                {"CAN1_Shared_S0_M01_SFE", "t,S0,S1\n1706702400.100000,1.000000,7.000000\n"},
                                {"CAN1_Shared_S0_M02_SFE", "t,S0,S2\n1706702400.200000,2.000000,-2.000000\n"},
                                {"CAN1_ExtendedTypes_S11_M03_S0_M00_SFE",
                                 "t,S11,S0,S10\n1706702400.300000,3.000000,0.000000,1.500000\n"},
                            });
    EXPECT_EQ(countLines(run.err, "Failed to load signal"), 0) << run.err;
}

// A multiplexor with a factor: raw 3 is 1.5, which decoding matches to no group while the folder is
// named by its truncation 1, and raw 2 is 1.0, group 1. Both rows go to the file of group 1, whose
// columns come from the same choice as its name, so the second row's group value has its column.
TEST(EndToEndRealForms, MultiplexorValueBetweenGroupsSharesTheColumnsOfItsFolder) {
    const std::string dbc = kCanHeader + "BO_ 768 SensorMux: 8 ECU\n"
                                         " SG_ SensorIndex M : 0|8@1+ (0.5,0) [0|3] \"\" GW\n"
                                         " SG_ Humidity m1 : 8|16@1+ (0.01,0) [0|100] \"%\" GW\n"
                                         " SG_ Battery : 24|8@1+ (0.1,0) [0|25] \"V\" GW\n";
    convert({dbc},
            {
                frame("31T12:00:00.000", 0x300, "03941178"),
                frame("31T12:00:00.100", 0x300, "02941178"),
            },
            Tree{
                {"CAN1_SensorMux_SensorIndex_M01", "t,SensorIndex,Humidity,Battery\n"
                                                   "1706702400.000000,1.500000,NaN,12.000000\n"
                                                   "1706702400.100000,1.000000,45.000000,12.000000\n"},
            });
}

// Diagnostics over ISO-TP with 29-bit identifiers (0x18DAF110: ECU 0x10 answers tester 0xF1), declared
// by a CAN database on a channel that also has a J1939 database: the response is reassembled.
TEST(EndToEndRealForms, IsoTpUnderAnExtendedIdentifierNextToAJ1939Database) {
    const std::string can = kCanHeader + "BA_DEF_ BO_  \"TransportProtocolType\" STRING ;\n"
                                         "BO_ 2564485392 UdsResponse: 20 ECU\n"
                                         " SG_ ServiceId : 0|8@1+ (1,0) [0|255] \"\" TESTER\n"
                                         " SG_ DataId : 8|16@1+ (1,0) [0|65535] \"\" TESTER\n"
                                         " SG_ LastByte : 152|8@1+ (1,0) [0|255] \"\" TESTER\n"
                                         "BA_ \"TransportProtocolType\" BO_ 2564485392 \"ISOTP\";\n";
    RunResult run = convert({kJ1939Dbc, can},
                            {
                                frame("31T12:00:00.000", 0x18DAF110, "10146290F1000000", true),
                                frame("31T12:00:00.002", 0x18DA10F1, "300000AAAAAAAAAA", true),
                                frame("31T12:00:00.005", 0x18DAF110, "2100000000000000", true),
                                frame("31T12:00:00.010", 0x18DAF110, "220000000000002A", true),
                            },
                            Tree{
                                {"CAN1_UdsResponse", "t,ServiceId,DataId,LastByte\n"
                                                     "1706702400.010000,98.000000,61840.000000,42.000000\n"},
                            });
    std::optional<Summaries> summaries = parseSummaries(run.out);
    ASSERT_TRUE(summaries) << run.out;
    EXPECT_EQ(summaries->tpSuccessful, 1u);
}

// Real NMEA 2000 traffic: 6-byte frames of the 8-byte magnetic variation PGN 127258, transcribed from
// canboat's samples/sample3_PCAN-View.trc (Apache License 2.0, see
// ../shared/data/nmea2000-recordings), decoded with that PGN's lines of canboat.dbc (same licence,
// ../shared/dbc/canboat) and the J1939 protocol type its README asks for. The DBC lists the signals
// from the highest bit down, so the first one lies beyond the frame; all the others are in it.
TEST(EndToEndRealForms, FrameShorterThanItsMessageGivesEverySignalWithinIt) {
    const std::string dbc = "BO_ 2582715134 PGN_127258_magneticVariation: 8 Vector__XXX\n"
                            " SG_ reserved6 : 48|16@1+ (1,0) [0|0] \"\" Vector__XXX\n"
                            " SG_ variation : 32|16@1- (0.0001,0) [0|0] \"rad\" Vector__XXX\n"
                            " SG_ ageOfService : 16|16@1+ (1,0) [0|0] \"d\" Vector__XXX\n"
                            " SG_ reserved : 12|4@1+ (1,0) [0|0] \"\" Vector__XXX\n"
                            " SG_ source : 8|4@1+ (1,0) [0|0] \"\" Vector__XXX\n"
                            " SG_ sid : 0|8@1+ (1,0) [0|0] \"\" Vector__XXX\n"
                            "BA_DEF_  \"ProtocolType\" STRING ;\n"
                            "BA_ \"ProtocolType\" \"J1939\";\n";
    // Trace start 2015-06-21 18:11:07.246, messages 9 (+190.4 ms) and 597 (+6598.8 ms).
    LogFile log;
    log.time = "20150621T181107";
    log.lines = {
        frame("21T18:11:07.436", 0x19F11A09, "FFFFDF40FF7F", true),
        frame("21T18:11:13.845", 0x19F11A03, "FFF2DF404701", true),
    };
    const std::string header = "t,reserved6,variation,ageOfService,reserved,source,sid\n";
    RunResult run =
        convert({dbc}, log,
                Tree{
                    {"CAN1_PGN127258magneticVariation_S09",
                     header + "1434910267.436000,NaN,3.276700,16607.000000,15.000000,15.000000,255.000000\n"},
                    {"CAN1_PGN127258magneticVariation_S03",
                     header + "1434910273.845000,NaN,0.032700,16607.000000,15.000000,2.000000,255.000000\n"},
                });
    EXPECT_EQ(countLines(run.err, " W Failed to decode signal: \"reserved6\""), 2) << run.err;
}

} // namespace
} // namespace loglathe::test
