#include "db/dbc_patterns.h"

#include "pattern/pattern.h"

#include <gtest/gtest.h>

namespace loglathe {
namespace {

using Groups = std::vector<std::string_view>;

// The capture groups of a whole-line match, or {"NO MATCH"}.
Groups capture(std::string_view expression, std::string_view line) {
    auto pattern = patternCompile(expression);
    EXPECT_TRUE(pattern) << expression;
    Groups groups;
    if (!pattern || !pattern->match(line, groups))
        return {"NO MATCH"};
    return groups;
}

TEST(DbcPatterns, AttributeAssignmentOptionalGroupsGiveWay) {
    using dbc::kAttributePattern;
    // Network: keyword, identifier and object name take no part; the quoted value is the last group.
    EXPECT_EQ(capture(kAttributePattern, "BA_ \"ProtocolType\"   \"J1939\";"),
              (Groups{"ProtocolType", "", "", "", "\"J1939\""}));
    // A value with a blank: its first word is taken as the object name.
    EXPECT_EQ(capture(kAttributePattern, "BA_ \"BusType\" \"CAN FD\";"),
              (Groups{"BusType", "", "", "\"CAN", "FD\""}));
    // Message: the object name gives way so that the value keeps a blank before it.
    EXPECT_EQ(capture(kAttributePattern, "BA_ \"MessageIgnore\" BO_ 2147483904 1;"),
              (Groups{"MessageIgnore", "BO_", "2147483904", "", "1"}));
    EXPECT_EQ(capture(kAttributePattern, "BA_ \"TransportProtocolType\" BO_ 7 \"MUXTP#1:2:3:4\";"),
              (Groups{"TransportProtocolType", "BO_", "7", "", "\"MUXTP#1:2:3:4\""}));
    // Signal: identifier and signal name.
    EXPECT_EQ(capture(kAttributePattern, "BA_ \"SignalIgnore\" SG_ 1024 Engine_Speed 1;"),
              (Groups{"SignalIgnore", "SG_", "1024", "Engine_Speed", "1"}));
    // A value with blanks: the object name takes its first word.
    EXPECT_EQ(capture(kAttributePattern, "BA_ \"Note\" BO_ 5 \"two words\";"),
              (Groups{"Note", "BO_", "5", "\"two", "words\""}));
    EXPECT_EQ(capture(kAttributePattern, "BA_ \"NodeRole\" BU_ Gateway \"primary\";"),
              (Groups{"NodeRole", "BU_", "", "Gateway", "\"primary\""}));
}

TEST(DbcPatterns, AttributeDefinitionAndDefault) {
    using dbc::kAttributeDefaultPattern;
    using dbc::kAttributeDefinitionPattern;
    EXPECT_EQ(capture(kAttributeDefinitionPattern, "BA_DEF_  \"BusType\" STRING ;"),
              (Groups{"", "BusType", "STRING", ""}));
    EXPECT_EQ(capture(kAttributeDefinitionPattern, "BA_DEF_ \"BusType\" STRING ;"), (Groups{"NO MATCH"}));
    EXPECT_EQ(capture(kAttributeDefinitionPattern, "BA_DEF_ BO_  \"GenMsgCycleTime\" INT 0 65535;"),
              (Groups{"BO_", "GenMsgCycleTime", "INT", "0 65535"}));
    EXPECT_EQ(capture(kAttributeDefinitionPattern, "BA_DEF_ SG_  \"SigType\" ENUM  \"Default\",\"Range\";"),
              (Groups{"SG_", "SigType", "ENUM", "\"Default\",\"Range\""}));
    using dbc::kLenientAttributeDefinitionPattern;
    EXPECT_EQ(capture(kLenientAttributeDefinitionPattern, "BA_DEF_  \"ProtocolType\" STRING;"),
              (Groups{"", "ProtocolType", "STRING", ""}));
    EXPECT_EQ(capture(kLenientAttributeDefinitionPattern, "BA_DEF_ SG_ \"SPN\" INT 0 524287;"),
              (Groups{"SG_", "SPN", "INT", "0 524287"}));
    // Still two blanks around an absent keyword, and the value type must end there.
    EXPECT_EQ(capture(kLenientAttributeDefinitionPattern, "BA_DEF_ \"BusType\" STRING;"),
              (Groups{"NO MATCH"}));
    EXPECT_EQ(capture(kLenientAttributeDefinitionPattern, "BA_DEF_  \"BusType\" STRINGS;"),
              (Groups{"NO MATCH"}));
    EXPECT_EQ(capture(kAttributeDefaultPattern, "BA_DEF_DEF_  \"BusType\" \"CAN\";"),
              (Groups{"BusType", "\"CAN\""}));
    EXPECT_EQ(capture(kAttributeDefaultPattern, "BA_DEF_DEF_  \"BusType\" \"CAN FD\";"),
              (Groups{"NO MATCH"}));
}

TEST(DbcPatterns, MessagesSignalsAndMultiplexing) {
    EXPECT_EQ(capture(dbc::kMessagePattern, "BO_ 1160 DAS_control: 8 DAS"),
              (Groups{"1160", "DAS_control", "8", "DAS"}));
    EXPECT_EQ(capture(dbc::kMessagePattern, "BO_ 1160 DAS_control: 8"), (Groups{"NO MATCH"}));
    EXPECT_EQ(capture(dbc::kSignalPattern, "SG_ S m12M : 7|16@0- (0.5,-1E-3) [-10.5|10] \"km/h\" A,B"),
              (Groups{"S", "m12M", "7", "16", "0", "-", "0.5", "-1E-3", "-10.5", "10"}));
    EXPECT_EQ(capture(dbc::kSignalPattern, "SG_ S : 0|8@1+ (1,0) [0|0] \"\""),
              (Groups{"S", "", "0", "8", "1", "+", "1", "0", "0", "0"}));
    EXPECT_EQ(capture(dbc::kSignalPattern, "SG_ S : 0|8@1+ (1E+2,0) [0|0] \"\""), (Groups{"NO MATCH"}));
    EXPECT_EQ(capture(dbc::kLenientSignalPattern, "SG_ S : 7|64@0+ (1,0) [0|1.84467440737096E+019] \"\" T"),
              (Groups{"S", "", "7", "64", "0", "+", "1", "0", "0", "1.84467440737096E+019"}));
    EXPECT_EQ(capture(dbc::kLenientSignalPattern, "SG_ S : 8|8@1- (+1,-128) [-128|+127] \"\" X"),
              (Groups{"S", "", "8", "8", "1", "-", "+1", "-128", "-128", "+127"}));
    EXPECT_EQ(capture(dbc::kMultiplexIndicatorPattern, "m12M"), (Groups{"m", "12", "M"}));
}

TEST(DbcPatterns, LenientPatternsTakeRunsOfBlanksAndTabs) {
    EXPECT_EQ(capture(dbc::kLenientSignalPattern,
                      "SG_ MO_MKB_02 m1  : 59|5@1+ (1.0,0.0) [0.0|31] \"\"  Gateway_D4C7"),
              (Groups{"MO_MKB_02", "m1", "59", "5", "1", "+", "1.0", "0.0", "0.0", "31"}));
    EXPECT_EQ(capture(dbc::kLenientSignalPattern, "SG_\tS\t:\t0|8@1-\t(1,0)  [0|0]"),
              (Groups{"S", "", "0", "8", "1", "-", "1", "0", "0", "0"}));
    EXPECT_EQ(capture(dbc::kLenientMessagePattern, "BO_  1088\tMotor_06:  8 Motor_EDC17_D4"),
              (Groups{"1088", "Motor_06", "8", "Motor_EDC17_D4"}));
    EXPECT_EQ(capture(dbc::kLenientAttributePattern, "BA_\t\"SignalIgnore\"  SG_ 1024\tEngine_Speed  1;"),
              (Groups{"SignalIgnore", "SG_", "1024", "Engine_Speed", "1"}));
    EXPECT_EQ(capture(dbc::kLenientAttributePattern, "BA_  \"ProtocolType\"\t\"J1939\";"),
              (Groups{"ProtocolType", "", "", "", "\"J1939\""}));
    EXPECT_EQ(capture(dbc::kLenientValueTypePattern, "SIG_VALTYPE_  1024 Temp\t:  1;"),
              (Groups{"1024", "Temp", "1"}));
    EXPECT_EQ(capture(dbc::kLenientExtendedMuxPattern, "SG_MUL_VAL_ 2024  S3\tS0 1-1;"),
              (Groups{"2024", "S3", "S0", "1", "1", ""}));
    EXPECT_EQ(capture(dbc::kLenientExtendedMuxPattern,
                      "SG_MUL_VAL_ 2148676694 BIT_L Multiplexor 8-8, 16-16, 24-24;"),
              (Groups{"2148676694", "BIT_L", "Multiplexor", "8", "8", ", 16-16, 24-24"}));
    EXPECT_EQ(capture(dbc::kLenientExtendedMuxPattern, "SG_MUL_VAL_ 1 A B 0-0,3-5 ,-"),
              (Groups{"1", "A", "B", "0", "0", ",3-5 ,-"}));
    EXPECT_EQ(capture(dbc::kLenientExtendedMuxPattern, "SG_MUL_VAL_ 1 A B 0-0, 3;"), (Groups{"NO MATCH"}));
    // A blank is still needed where the strict pattern has one.
    EXPECT_EQ(capture(dbc::kLenientMessagePattern, "BO_ 1088 Motor_06:8 Motor"), (Groups{"NO MATCH"}));
    EXPECT_EQ(capture(dbc::kMultiplexIndicatorPattern, "m"), (Groups{"m", "", ""}));
    EXPECT_EQ(capture(dbc::kMultiplexIndicatorPattern, "Mm1"), (Groups{"NO MATCH"}));
    EXPECT_EQ(capture(dbc::kExtendedMuxPattern, "SG_MUL_VAL_ 2024 S3 S0 1-12;"),
              (Groups{"2024", "S3", "S0", "1", "12"}));
    EXPECT_EQ(capture(dbc::kExtendedMuxPattern, "SG_MUL_VAL_ 2024 S3 S0 1-1, 3-3;"), (Groups{"NO MATCH"}));
    EXPECT_EQ(capture(dbc::kValueTypePattern, "SIG_VALTYPE_ 1024 Temp : 1;"), (Groups{"1024", "Temp", "1"}));
}

} // namespace
} // namespace loglathe
