#include "db/dbc_parser.h"
#include "db/dbc_records.h"

#include "db/signal_decode.h"
#include "support/diag_capture.h"
#include "support/numbered_name.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace loglathe {
namespace {

using test::DiagCapture;

std::unique_ptr<MessageDb> parse(std::string_view text) {
    MemoryStream stream(text);
    return dbcParse(stream);
}

const DbSignal* signalIn(const MessageDb& db, DbMsgKey key, std::string_view name) {
    const DbMessage* message = dbFind(&db, key);
    return message ? findSignalByName(message->signals, name) : nullptr;
}

std::vector<std::string> namesOf(const std::vector<DbSignal>& signals) {
    std::vector<std::string> names;
    for (const DbSignal& s : signals)
        names.push_back(s.name);
    return names;
}

using Names = std::vector<std::string>;

constexpr std::string_view kCanHeader = "BA_DEF_  \"BusType\" STRING ;\n"
                                        "BA_DEF_DEF_  \"BusType\" \"CAN\";\n";

TEST(DbcParser, ReadsMessagesAndSignalLayouts) {
    auto db = parse(std::string(kCanHeader) + "BO_ 256 Engine: 8 ECU\n"
                                              " SG_ Speed : 0|16@1+ (0.1,-5) [0|6000] \"rpm\" Dash\n"
                                              " SG_ Temp : 23|12@0- (1,2.5E1) [-40|215] \"C\" Dash\n"
                                              "BO_ 2147484672 Ext: 4 ECU\n"
                                              " SG_ Level : 7|1@0+ (1,0) [0|1] \"\" Dash\n");
    ASSERT_TRUE(db);
    EXPECT_EQ(db->busType, BusType::Can);
    ASSERT_EQ(db->messages.size(), 2u);
    const DbMessage* engine = dbFind(db.get(), 256);
    ASSERT_TRUE(engine);
    EXPECT_EQ(engine->name, "Engine");
    EXPECT_EQ(engine->length, 8u);
    EXPECT_EQ(engine->db, db.get());
    EXPECT_EQ(engine->nameHash, nameHash64("Engine"));
    EXPECT_EQ(namesOf(engine->signals), (Names{"Speed", "Temp"}));
    const SignalLayout& speed = engine->signals[0].layout;
    EXPECT_EQ(speed.littleEndian, 1u);
    EXPECT_EQ(speed.valueType, SignalValueType::Unsigned);
    EXPECT_EQ(speed.startBit, 0);
    EXPECT_EQ(speed.bitLength, 16);
    EXPECT_EQ(speed.factor, 0.1);
    EXPECT_EQ(speed.offset, -5.0);
    EXPECT_EQ(speed.maximum, 6000.0);
    const SignalLayout& temp = engine->signals[1].layout;
    EXPECT_EQ(temp.littleEndian, 0u);
    EXPECT_EQ(temp.valueType, SignalValueType::Signed);
    EXPECT_EQ(temp.startBit, 23 ^ 7); // big-endian start bits are stored XOR 7
    EXPECT_EQ(temp.offset, 25.0);
    EXPECT_EQ(temp.minimum, -40.0);
    // Bit 31 of the DBC identifier marks an extended identifier.
    EXPECT_TRUE(dbFind(db.get(), 0x80000400));
}

TEST(DbcParser, TrimsLinesAndReplacesHighBytes) {
    auto db = parse(std::string(kCanHeader) +
                    "\r\r  \t\tBO_ 1 M\xC3\xA4ssage: 8 ECU\t \r\r\n"
                    "\t SG_ Hidden : 0|8@1+ (1,0) [0|0] \"\" X\n" // tab then blank: the blank stays
                    "  SG_ \xFFName : 8|8@1+ (1,0) [0|0] \"\" X\r\n");
    ASSERT_TRUE(db);
    const DbMessage* message = dbFind(db.get(), 1);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->name, "M__ssage");
    EXPECT_EQ(namesOf(message->signals), (Names{"_Name"}));
}

TEST(DbcParser, AttributeDefinitionNeedsBlanksAroundAnAbsentKeyword) {
    DiagCapture diag(kDiagWarning);
    // One blank before the quoted name: the network definition does not match, so BusType is unset.
    auto db = parse("BA_DEF_ \"BusType\" STRING ;\n"
                    "BA_DEF_DEF_ \"BusType\" \"LIN\";\n"
                    "BO_ 1 M: 8 E\n");
    ASSERT_TRUE(db);
    EXPECT_EQ(db->busType, BusType::Can);
    EXPECT_TRUE(diag.has("W \"BusType\" attribute not set. Defaulting to \"CAN\""));
    db = parse("BA_DEF_  \"BusType\" STRING ;\n"
               "BA_DEF_DEF_ \"BusType\" \"LIN\";\n"
               "BO_ 1 M: 8 E\n");
    ASSERT_TRUE(db);
    EXPECT_EQ(db->busType, BusType::Lin);
    // A message attribute with one blank on each side of BO_ matches.
    db = parse(std::string(kCanHeader) + "BA_DEF_ BO_ \"MessageIgnore\" INT 0 1;\n"
                                         "BO_ 1 M: 8 E\n"
                                         "BA_ \"MessageIgnore\" BO_ 1 1;\n");
    ASSERT_TRUE(db);
    EXPECT_TRUE(dbFind(db.get(), 1)->ignored);
}

BusType busTypeFor(std::string_view definition, std::string_view value) {
    auto db =
        parse(std::string(definition) + "BA_ \"BusType\" \"" + std::string(value) + "\";\nBO_ 1 M: 8 E\n");
    return db ? db->busType : BusType::Invalid;
}

TEST(DbcParser, ResolvesBusTypeFromItsStringAttribute) {
    const std::string_view kString = "BA_DEF_  \"BusType\" STRING ;\n";
    {
        // The blank makes "CAN" the object name of the assignment, so the network has no value.
        DiagCapture diag(kDiagWarning);
        EXPECT_EQ(busTypeFor(kString, "CAN FD"), BusType::Can);
        EXPECT_TRUE(diag.has("W \"BusType\" attribute not set. Defaulting to \"CAN\""));
    }
    EXPECT_EQ(busTypeFor(kString, "lin"), BusType::Lin);
    EXPECT_EQ(busTypeFor(kString, "CAN"), BusType::Can);
    {
        DiagCapture diag(kDiagWarning);
        EXPECT_EQ(busTypeFor(kString, "FlexRay"), BusType::Can);
        EXPECT_TRUE(diag.has("E Unknown \"BusType\": \"FlexRay\""));
        EXPECT_TRUE(diag.has("W \"BusType\" attribute not set. Defaulting to \"CAN\""));
    }
    {
        // An ENUM-typed BusType is not taken, whatever it holds.
        DiagCapture diag(kDiagWarning);
        EXPECT_EQ(busTypeFor("BA_DEF_  \"BusType\" ENUM \"CAN\",\"LIN\";\n", "1"), BusType::Can);
        EXPECT_TRUE(diag.has("W \"BusType\" attribute not set. Defaulting to \"CAN\""));
    }
}

TEST(DbcParser, ProtocolTypeJ1939MakesAJ1939Database) {
    auto db = parse(std::string(kCanHeader) + "BA_DEF_  \"ProtocolType\" STRING ;\n"
                                              "BA_DEF_DEF_  \"ProtocolType\" \"\";\n"
                                              "BA_ \"ProtocolType\" \"J1939\";\n"
                                              "BO_ 2565800190 PGN1: 8 E\n"
                                              "BO_ 2297431290 PGN2: 8 E\n");
    ASSERT_TRUE(db);
    EXPECT_EQ(db->busType, BusType::J1939);
    // 0x98EF00FE (PDU1) and 0x88F004FA (PDU2), priority and addresses dropped.
    EXPECT_TRUE(dbFind(db.get(), 0x80EF0000));
    EXPECT_TRUE(dbFind(db.get(), 0x80F00400));
    // The comparison is case-sensitive.
    db = parse(std::string(kCanHeader) + "BA_DEF_  \"ProtocolType\" STRING ;\n"
                                         "BA_ \"ProtocolType\" \"j1939\";\n");
    ASSERT_TRUE(db);
    EXPECT_EQ(db->busType, BusType::Can);
}

TEST(DbcParser, AttributeDefinitionWithoutBlankBeforeSemicolonCounts) {
    // The attribute lines of a generated J1939 database, as written.
    auto db = parse("BO_ 2163213312 EEC1: 8 Vector__XXX\n"
                    " SG_ Engine_Speed : 24|16@1+ (1,0) [0|65535] \"\" Vector__XXX\n"
                    "BA_DEF_ SG_ \"SystemSignalLongSymbol\" STRING;\n"
                    "BA_DEF_  \"ProtocolType\" STRING;\n"
                    "BA_ \"ProtocolType\"   \"J1939\";\n");
    ASSERT_TRUE(db);
    EXPECT_EQ(db->busType, BusType::J1939);
    EXPECT_TRUE(signalIn(*db, 0x80F00400, "Engine_Speed"));
}

TEST(DbcParser, ResolvesTransportProtocolsAndIgnoreFlags) {
    DiagCapture diag(kDiagError);
    auto db = parse(std::string(kCanHeader) + "BA_DEF_ BO_  \"TransportProtocolType\" STRING ;\n"
                                              "BA_DEF_ BO_  \"MessageIgnore\" INT 0 1;\n"
                                              "BA_DEF_ SG_  \"SignalIgnore\" INT 0 1;\n"
                                              "BA_DEF_DEF_  \"TransportProtocolType\" \"\";\n"
                                              "BA_DEF_DEF_  \"SignalIgnore\" 0;\n"
                                              "BO_ 1 Iso: 8 E\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" X\n"
                                              " SG_ B : 8|8@1+ (1,0) [0|0] \"\" X\n"
                                              "BO_ 2 Nmea: 8 E\n"
                                              "BO_ 3 Mux: 8 E\n"
                                              "BO_ 4 Odd: 8 E\n"
                                              "BO_ 5 Plain: 8 E\n"
                                              "BA_ \"TransportProtocolType\" BO_ 1 \"ISOTP\";\n"
                                              "BA_ \"TransportProtocolType\" BO_ 2 \"NMEATP\";\n"
                                              "BA_ \"TransportProtocolType\" BO_ 3 \"MUXTP#1:2:3:4\";\n"
                                              "BA_ \"TransportProtocolType\" BO_ 4 \"BAMTP\";\n"
                                              "BA_ \"MessageIgnore\" BO_ 5 1;\n"
                                              "BA_ \"SignalIgnore\" SG_ 1 B 1;\n"
                                              "BA_ \"SignalIgnore\" SG_ 1 A 0;\n");
    ASSERT_TRUE(db);
    EXPECT_EQ(dbFind(db.get(), 1)->transportProtocol, TransportProtocolType::IsoTp);
    EXPECT_EQ(dbFind(db.get(), 2)->transportProtocol, TransportProtocolType::NmeaTp);
    EXPECT_EQ(dbFind(db.get(), 3)->transportProtocol, TransportProtocolType::MuxTp);
    EXPECT_EQ(dbFind(db.get(), 3)->tpParameter, "MUXTP#1:2:3:4");
    EXPECT_EQ(dbFind(db.get(), 1)->tpParameter, "");
    EXPECT_EQ(dbFind(db.get(), 4)->transportProtocol, TransportProtocolType::None);
    EXPECT_TRUE(diag.has("E \"TransportProtocolType\" \"BAMTP\" not supported (\"Odd\")"));
    EXPECT_TRUE(dbFind(db.get(), 5)->ignored);
    EXPECT_FALSE(dbFind(db.get(), 1)->ignored);
    EXPECT_FALSE(signalIn(*db, 1, "A")->ignored);
    EXPECT_TRUE(signalIn(*db, 1, "B")->ignored);
}

TEST(DbcParser, FirstAssignmentInFileOrderWins) {
    auto db = parse(std::string(kCanHeader) + "BA_DEF_ BO_  \"MessageIgnore\" INT 0 1;\n"
                                              "BA_DEF_ BO_  \"MessageIgnore\" STRING ;\n"
                                              "BO_ 1 M: 8 E\n"
                                              "BA_ \"MessageIgnore\" BO_ 1 1;\n"
                                              "BA_ \"MessageIgnore\" BO_ 1 0;\n");
    ASSERT_TRUE(db);
    EXPECT_TRUE(dbFind(db.get(), 1)->ignored);
}

TEST(DbcParser, ValueTypeRecordsMakeFloatAndDoubleSignals) {
    auto db = parse(std::string(kCanHeader) + "BO_ 1 M: 16 E\n"
                                              " SG_ F : 0|32@1- (1,0) [0|0] \"\" X\n"
                                              " SG_ D : 64|64@1- (1,0) [0|0] \"\" X\n"
                                              " SG_ I : 32|32@1- (1,0) [0|0] \"\" X\n"
                                              "SIG_VALTYPE_ 1 F : 1;\n"
                                              "SIG_VALTYPE_ 1 D : 2;\n"
                                              "SIG_VALTYPE_ 1 I : 3;\n"
                                              "SIG_VALTYPE_ 2 I : 1;\n");
    ASSERT_TRUE(db);
    EXPECT_EQ(signalIn(*db, 1, "F")->layout.valueType, SignalValueType::Float);
    EXPECT_EQ(signalIn(*db, 1, "D")->layout.valueType, SignalValueType::Double);
    EXPECT_EQ(signalIn(*db, 1, "I")->layout.valueType, SignalValueType::Signed);
}

TEST(DbcParser, SilentlyDropsLinesThatDoNotMatch) {
    auto db = parse(std::string(kCanHeader) +
                    "BO_ 1 M: 8 E\n"
                    " SG_ NoLimits : 0|8@1+ (1,0) \"\" X\n"
                    " SG_ Kept : 8|8@1+ (1E-2,0) [0|0] \"\" X\n"
                    "BA_DEF_DEF_  \"BusType\" \"CAN FD\";\n" // a blank in the value: no match
                    "SG_MUL_VAL_ 1 Kept Mux 1-1 3-3;\n");
    ASSERT_TRUE(db);
    EXPECT_EQ(namesOf(dbFind(db.get(), 1)->signals), (Names{"Kept"}));
    EXPECT_EQ(signalIn(*db, 1, "Kept")->layout.factor, 0.01);
}

TEST(DbcParser, ReadsNumbersWithSignsAndChecksLayoutsAsWritten) {
    DiagCapture diag(kDiagError);
    auto db = parse(std::string(kCanHeader) +
                    "BO_ 1 Diag: 8 TestTool\n"
                    " SG_ DgnInf : 7|64@0+ (1,0) [0|1.84467440737096E+019] \"\"  TestTool_FO\n"
                    " SG_ s64 : 0|64@1- (1,0) [-9.22337203685478E+018|9.22337203685478E+018] \"\" X\n"
                    "BO_ 2 Plus: 8 E\n"
                    " SG_ myExtraSigWithPlus : 8|8@1- (1,-128) [-128|+127] \"\" Vector__XXX\n"
                    " SG_ Scaled : 16|8@1+ (+1.5E+0,-1E+1) [+0|+1E+3] \"\" X\n"
                    // Lengths and start bits beyond their 8 and 16 bits: as stored they would read
                    // 800 -> 32, 264 -> 8 and 65544 -> 8, which would all fit.
                    "BO_ 2164112896 TR1: 8 Vector__XXX\n"
                    " SG_ Agency : 0|8@1+ (1,0) [0|255] \"\" Vector__XXX\n"
                    " SG_ Transit_Assigned_Run_Identity : 0|800@1+ (1,0) "
                    "[0|6.668014432879854274079851791E+240] \"\" Vector__XXX\n"
                    "BO_ 3 Long: 40 E\n"
                    " SG_ Widest : 0|255@1+ (1,0) [0|0] \"\" X\n"
                    " SG_ TooWide : 0|264@1+ (1,0) [0|0] \"\" X\n"
                    " SG_ FarStart : 65544|8@1+ (1,0) [0|0] \"\" X\n");
    ASSERT_TRUE(db);
    const DbSignal* dgn = signalIn(*db, 1, "DgnInf");
    ASSERT_TRUE(dgn);
    EXPECT_EQ(dgn->layout.maximum, 1.84467440737096E+019);
    EXPECT_EQ(dgn->layout.bitLength, 64);
    EXPECT_EQ(signalIn(*db, 1, "s64")->layout.minimum, -9.22337203685478E+018);
    EXPECT_EQ(signalIn(*db, 2, "myExtraSigWithPlus")->layout.maximum, 127.0);
    const SignalLayout& scaled = signalIn(*db, 2, "Scaled")->layout;
    EXPECT_EQ(scaled.factor, 1.5);
    EXPECT_EQ(scaled.offset, -10.0);
    EXPECT_EQ(scaled.maximum, 1000.0);

    EXPECT_EQ(namesOf(dbFind(db.get(), 0x80FDBE00)->signals), (Names{"Agency"}));
    EXPECT_EQ(namesOf(dbFind(db.get(), 3)->signals), (Names{"Widest"}));
    EXPECT_TRUE(diag.has("F Failed to add signal Transit_Assigned_Run_Identity to message TR1"));
    EXPECT_TRUE(diag.has("F Failed to add signal TooWide to message Long"));
    EXPECT_TRUE(diag.has("F Failed to add signal FarStart to message Long"));
    EXPECT_TRUE(diag.has("E Failed to load signal Transit_Assigned_Run_Identity"));
    EXPECT_EQ(diag.count("Failed to load signal"), 3);
}

TEST(DbcParser, ReadsLinesWithRunsOfBlanksAndTabs) {
    auto db = parse(std::string(kCanHeader) +
                    "BA_DEF_ BO_  \"MessageIgnore\" INT 0 1;\n"
                    "BO_ 1088 Motor_06: 8 Motor_EDC17_D4\n"
                    " SG_ MO_Kuehlerluefter_MUX M  : 0|1@1+ (1.0,0.0) [0.0|1] \"\"  Gateway_D4C7\n"
                    " SG_ MO_Kuehlerluefter_1 m0  : 1|7@1+ (1,0) [0|100] \"Unit_PerCent\"  Gateway_D4C7\n"
                    " SG_ MO_Kuehlerluefter_2 m1  : 1|7@1+ (1,0) [0|100] \"Unit_PerCent\"  Gateway_D4C7\n"
                    "BO_\t5\tTabbed:\t4\tE\n"
                    "SG_\tF\t:\t0|32@1-\t(1,0)\t[0|0]\t\"\"\tX\n"
                    "SIG_VALTYPE_  5  F  :  1;\n"
                    "BA_\t\"MessageIgnore\"\tBO_\t5\t1;\n");
    ASSERT_TRUE(db);
    // Fan 2 (multiplexor 1) at 75 %.
    DecodedMessage decoded;
    ASSERT_TRUE(dbDecode(db.get(), 1088, std::vector<uint8_t>{0x97}, decoded));
    ASSERT_EQ(decoded.values.size(), 2u);
    EXPECT_EQ(decoded.values[1].name, "MO_Kuehlerluefter_2");
    EXPECT_EQ(decoded.values[1].value, 75.0);
    const DbMessage* tabbed = dbFind(db.get(), 5);
    ASSERT_TRUE(tabbed);
    EXPECT_EQ(tabbed->length, 4u);
    EXPECT_TRUE(tabbed->ignored);
    EXPECT_EQ(signalIn(*db, 5, "F")->layout.valueType, SignalValueType::Float);
}

TEST(DbcParser, SignalsBeforeFirstMessageBelongToIdentifierZero) {
    auto db = parse(std::string(kCanHeader) + "SG_ Early : 0|8@1+ (1,0) [0|0] \"\" X\n"
                                              "BO_ 5 Later: 8 E\n"
                                              "BO_ 0 Zero: 8 E\n");
    ASSERT_TRUE(db);
    EXPECT_EQ(namesOf(dbFind(db.get(), 0)->signals), (Names{"Early"}));
    EXPECT_TRUE(dbFind(db.get(), 5)->signals.empty());
}

TEST(DbcParser, SignalsAfterAnUnmatchedMessageGoToThePreviousOne) {
    auto db = parse(std::string(kCanHeader) + "BO_ 1 First: 8 E\n"
                                              " SG_ A : 0|8@1+ (1,0) [0|0] \"\" X\n"
                                              "BO_ 2 NoTransmitter: 8\n"
                                              " SG_ A : 8|8@1+ (1,0) [0|0] \"\" X\n"
                                              " SG_ B : 16|8@1+ (1,0) [0|0] \"\" X\n");
    ASSERT_TRUE(db);
    EXPECT_FALSE(dbFind(db.get(), 2));
    EXPECT_EQ(namesOf(dbFind(db.get(), 1)->signals), (Names{"A", "B"}));
    EXPECT_EQ(signalIn(*db, 1, "A")->layout.startBit, 0);
}

TEST(DbcParser, CollidingKeysFailTheWholeFile) {
    DiagCapture diag(kDiagError);
    EXPECT_FALSE(parse(std::string(kCanHeader) + "BO_ 291 A: 8 E\nBO_ 2339 B: 8 E\n"));
    EXPECT_TRUE(diag.has("E Message key collision: 291 (B, A)"));
    EXPECT_TRUE(diag.has("E Failed to add message B with DBC key: 923 and DB key: 123"));
}

TEST(DbcParser, ReportsSignalsOutsideTheirMessageOnEveryPass) {
    DiagCapture diag(kDiagError);
    // The multiplexed signal comes before its multiplexor, so placement takes two passes that
    // place something and a third that places nothing; the overrun is reported on each.
    auto db = parse(std::string(kCanHeader) + "BO_ 1 M: 8 E\n"
                                              " SG_ Inner m1 : 8|8@1+ (1,0) [0|0] \"\" X\n"
                                              " SG_ Over : 60|8@1+ (1,0) [0|0] \"\" X\n"
                                              " SG_ Mux M : 0|8@1+ (1,0) [0|0] \"\" X\n");
    ASSERT_TRUE(db);
    EXPECT_EQ(diag.count("F Failed to add signal Over to message M"), 3);
    EXPECT_EQ(diag.count("E Failed to load signal Over"), 1);
    EXPECT_EQ(namesOf(dbFind(db.get(), 1)->signals), (Names{"Mux"}));
    EXPECT_EQ(namesOf(signalIn(*db, 1, "Mux")->muxGroups.at(0).signals), (Names{"Inner"}));
}

TEST(DbcParser, PlacesSimpleMultiplexingByIndicatorValue) {
    auto db = parse(std::string(kCanHeader) + "BO_ 1 M: 8 E\n"
                                              " SG_ Zero m : 16|8@1+ (1,0) [0|0] \"\" X\n"
                                              " SG_ Mux M : 0|8@1+ (1,0) [0|0] \"\" X\n"
                                              " SG_ Two m2 : 8|8@1+ (1,0) [0|0] \"\" X\n"
                                              " SG_ OtherTwo m2 : 16|8@1+ (1,0) [0|0] \"\" X\n");
    ASSERT_TRUE(db);
    const DbSignal* mux = signalIn(*db, 1, "Mux");
    ASSERT_TRUE(mux);
    ASSERT_EQ(mux->muxGroups.size(), 2u);
    // Two is placed in the first pass, after Mux; Zero comes before Mux and waits for the second.
    EXPECT_EQ(mux->muxGroups[0].from, 2u);
    EXPECT_EQ(namesOf(mux->muxGroups[0].signals), (Names{"Two", "OtherTwo"}));
    EXPECT_EQ(mux->muxGroups[1].from, 0u);
    EXPECT_EQ(mux->muxGroups[1].to, 0u);
    EXPECT_EQ(namesOf(mux->muxGroups[1].signals), (Names{"Zero"}));
}

TEST(DbcParser, PlacesExtendedMultiplexorsByTheirRanges) {
    auto db = parse(std::string(kCanHeader) + "BO_ 1 M: 8 E\n"
                                              " SG_ S m1M : 8|8@1+ (1,0) [0|0] \"\" X\n"
                                              " SG_ T M : 0|8@1+ (1,0) [0|0] \"\" X\n"
                                              " SG_ U m2 : 16|8@1+ (1,0) [0|0] \"\" X\n"
                                              " SG_ V m3 : 24|8@1+ (1,0) [0|0] \"\" X\n"
                                              "SG_MUL_VAL_ 1 S T 1-1;\n"
                                              "SG_MUL_VAL_ 1 U S 2-5;\n"
                                              "SG_MUL_VAL_ 1 V S 3-3;\n");
    ASSERT_TRUE(db);
    const DbMessage* message = dbFind(db.get(), 1);
    EXPECT_EQ(namesOf(message->signals), (Names{"T"}));
    const DbSignal& t = message->signals[0];
    ASSERT_EQ(t.muxGroups.size(), 1u);
    EXPECT_EQ(t.muxGroups[0].from, 1u);
    EXPECT_EQ(namesOf(t.muxGroups[0].signals), (Names{"S"}));
    const DbSignal& s = t.muxGroups[0].signals[0];
    ASSERT_EQ(s.muxGroups.size(), 2u);
    EXPECT_EQ(s.muxGroups[0].from, 2u);
    EXPECT_EQ(s.muxGroups[0].to, 5u);
    EXPECT_EQ(namesOf(s.muxGroups[0].signals), (Names{"U"}));
    EXPECT_EQ(namesOf(s.muxGroups[1].signals), (Names{"V"}));

    // T = 1 selects S; S = 4 selects the group 2..5.
    DecodedMessage decoded;
    std::vector<uint8_t> payload{1, 4, 7, 8, 0, 0, 0, 0};
    ASSERT_TRUE(dbDecode(db.get(), 1, payload, decoded));
    std::vector<std::string_view> decodedNames;
    for (const auto& v : decoded.values)
        decodedNames.push_back(v.name);
    EXPECT_EQ(decodedNames, (std::vector<std::string_view>{"T", "S", "U"}));
}

TEST(DbcParser, ReadsEveryRangeOfAnExtendedMultiplexingLine) {
    DbcParseState state;
    ASSERT_TRUE(dbcReadText("SG_MUL_VAL_ 2148676694 BIT_L Multiplexor 8-8, 16-16, 24-24;\n"
                            "SG_MUL_VAL_ 7 A B 2-5;\n"
                            "SG_MUL_VAL_ 7 C B 1-1 ,\t3-3,-;\n",
                            state));
    ASSERT_EQ(state.muxRanges.size(), 3u);
    auto rangesOf = [](const MuxRangeRecord& r) {
        std::vector<std::pair<uint32_t, uint32_t>> out;
        for (const MuxRange& range : r.ranges)
            out.emplace_back(range.from, range.to);
        return out;
    };
    using Ranges = std::vector<std::pair<uint32_t, uint32_t>>;
    EXPECT_EQ(state.muxRanges[0].messageId, 2148676694u);
    EXPECT_EQ(state.muxRanges[0].multiplexed, "BIT_L");
    EXPECT_EQ(state.muxRanges[0].multiplexor, "Multiplexor");
    EXPECT_EQ(rangesOf(state.muxRanges[0]), (Ranges{{8, 8}, {16, 16}, {24, 24}}));
    EXPECT_EQ(rangesOf(state.muxRanges[1]), (Ranges{{2, 5}}));
    EXPECT_EQ(rangesOf(state.muxRanges[2]), (Ranges{{1, 1}, {3, 3}, {0, 0}}));
}

TEST(DbcParser, PlacesASignalListedUnderManyRanges) {
    constexpr uint32_t kRanges = 100000;
    std::string text = std::string(kCanHeader) + "BO_ 1 M: 8 E\n"
                                                 " SG_ A m0 : 8|8@1+ (1,0) [0|0] \"\" X\n"
                                                 " SG_ Mux M : 0|8@1+ (1,0) [0|0] \"\" X\n"
                                                 "SG_MUL_VAL_ 1 A Mux 0-0";
    for (uint32_t i = 1; i < kRanges; ++i)
        text += ", " + std::to_string(i) + '-' + std::to_string(i);
    auto db = parse(text + ";\n");
    ASSERT_TRUE(db);
    const std::vector<MuxGroup>& groups = signalIn(*db, 1, "Mux")->muxGroups;
    ASSERT_EQ(groups.size(), std::size_t{kRanges});
    EXPECT_EQ(groups.back().from, kRanges - 1);
    EXPECT_EQ(namesOf(groups.back().signals), (Names{"A"}));
}

TEST(DbcParser, KeepsTheFirstPlaceableOfTwoSignalsWithOneName) {
    DiagCapture diag(kDiagError);
    auto db = parse(std::string(kCanHeader) + "BO_ 1 M: 8 E\n"
                                              " SG_ Dup m1 : 8|8@1+ (1,0) [0|0] \"\" X\n"
                                              " SG_ Mux M : 0|8@1+ (1,0) [0|0] \"\" X\n"
                                              " SG_ Dup m2 : 16|8@1+ (1,0) [0|0] \"\" X\n");
    ASSERT_TRUE(db);
    const DbSignal* mux = signalIn(*db, 1, "Mux");
    ASSERT_EQ(mux->muxGroups.size(), 1u);
    EXPECT_EQ(mux->muxGroups[0].from, 2u);
    EXPECT_EQ(signalIn(*db, 1, "Dup")->layout.startBit, 16);
    EXPECT_FALSE(diag.has("E Failed to load signal Dup"));
}

TEST(DbcParser, IgnoresTheIndependentSignalMessage) {
    DiagCapture diag(kDiagWarning);
    auto db = parse(std::string(kCanHeader) + "BO_ 3221225472 VECTOR__INDEPENDENT_SIG_MSG: 0 None\n"
                                              " SG_ Orphan : 0|8@1+ (1,0) [0|0] \"\" X\n"
                                              "BO_ 1 M: 8 E\n");
    ASSERT_TRUE(db);
    EXPECT_EQ(db->messages.size(), 1u);
    EXPECT_TRUE(diag.has("W Ignoring message: VECTOR__INDEPENDENT_SIG_MSG"));
    EXPECT_FALSE(diag.has("E Failed to load signal Orphan"));
}

// A stream that claims a size and reads fewer bytes than asked, or none.
class SizedStream : public ByteStream {
public:
    SizedStream(int64_t size, std::string bytes) : size_(size), bytes_(std::move(bytes)) {}
    int64_t read(void* destination, std::size_t length) override {
        std::size_t n = std::min(length, bytes_.size());
        std::memcpy(destination, bytes_.data(), n);
        return static_cast<int64_t>(n);
    }
    int64_t tell() override { return 0; }
    int64_t seek(uint64_t offset, int whence) override {
        return whence == kSeekEnd ? size_ : static_cast<int64_t>(offset);
    }

private:
    int64_t size_;
    std::string bytes_;
};

TEST(DbcParser, UnusableStreamsGiveNothing) {
    DiagCapture diag(kDiagError);
    MemoryStream empty;
    EXPECT_FALSE(dbcParse(empty));
    EXPECT_EQ(diag.text(), "");
    SizedStream huge(int64_t{1} << 62, "");
    EXPECT_FALSE(dbcParse(huge));
    EXPECT_TRUE(diag.has("E Could not allocate memory for DBC-file"));
    SizedStream shortRead(100, "BO_ 1 M: 8 E\n");
    EXPECT_FALSE(dbcParse(shortRead));
    EXPECT_TRUE(diag.has("E Could not read DBC-file"));
}

TEST(DbcParser, SurvivesMalformedFiles) {
    DiagCapture diag(kDiagFatal);
    std::string garbage;
    uint32_t seed = 12345;
    for (int i = 0; i < 200000; ++i) {
        seed = seed * 1103515245 + 12345;
        garbage += static_cast<char>(seed >> 16);
    }
    auto db = parse(garbage);
    EXPECT_TRUE(db); // nothing recognisable: an empty CAN database

    std::string longLine = "BA_ \"BusType\" ";
    for (int i = 0; i < 50000; ++i)
        longLine += "1 ";
    longLine += "\nSG_ " + std::string(100000, 'x') + " : 0|8@1+ (1,0) [0|0] \"\" X\n";
    EXPECT_TRUE(parse(longLine));

    std::string onlyAttributes;
    for (int i = 0; i < 20000; ++i)
        onlyAttributes +=
            "BA_ \"SignalIgnore\" SG_ " + std::to_string(i) + " S" + std::to_string(i) + " 1;\n";
    db = parse(onlyAttributes);
    ASSERT_TRUE(db);
    EXPECT_TRUE(db->messages.empty());

    db = parse(std::string(kCanHeader) + "BA_DEF_ BO_ \"TransportProtocolType\" STRING ;\n"
                                         "BO_ 1 \"M: 8 E\nBA_ \"TransportProtocolType\" BO_ 1 \"ISOTP;\n"
                                         "BA_ \"TransportProtocolType\" BO_ 1 ISOTP\";\n"
                                         " SG_ \"Q : 0|8@1+ (1,0) [0|0] \"unit X\n");
    ASSERT_TRUE(db);
    EXPECT_EQ(dbFind(db.get(), 1)->name, "\"M");
    EXPECT_EQ(dbFind(db.get(), 1)->transportProtocol, TransportProtocolType::IsoTp);
    EXPECT_EQ(namesOf(dbFind(db.get(), 1)->signals), (Names{"\"Q"}));
}

TEST(DbcParser, MultiplexorCycleLeavesBothUnplaced) {
    DiagCapture diag(kDiagError);
    auto db = parse(std::string(kCanHeader) + "BO_ 1 M: 8 E\n"
                                              " SG_ A m1M : 0|8@1+ (1,0) [0|0] \"\" X\n"
                                              " SG_ B m1M : 8|8@1+ (1,0) [0|0] \"\" X\n"
                                              "SG_MUL_VAL_ 1 A B 1-1;\n"
                                              "SG_MUL_VAL_ 1 B A 1-1;\n");
    ASSERT_TRUE(db);
    EXPECT_TRUE(dbFind(db.get(), 1)->signals.empty());
    EXPECT_TRUE(diag.has("E Failed to load signal A"));
    EXPECT_TRUE(diag.has("E Failed to load signal B"));
}

// Each multiplexor sits in group 1..1 of the one before it, and the lines come deepest first, so
// every pass can place only one more level.
std::string reverseChain(int depth) {
    std::string text(kCanHeader);
    text += "BO_ 1 Chain: 8 E\n";
    for (int i = depth - 1; i >= 1; --i)
        text += " SG_ S" + std::to_string(i) + " m1M : 0|8@1+ (1,0) [0|0] \"\" X\n";
    text += " SG_ S0 M : 0|8@1+ (1,0) [0|0] \"\" X\n";
    for (int i = 1; i < depth; ++i)
        text += "SG_MUL_VAL_ 1 S" + std::to_string(i) + " S" + std::to_string(i - 1) + " 1-1;\n";
    return text;
}

TEST(DbcParser, PlacesADeepReverseChainOfMultiplexors) {
    constexpr int kDepth = 3000;
    auto db = parse(reverseChain(kDepth));
    ASSERT_TRUE(db);
    const DbMessage* message = dbFind(db.get(), 1);
    const DbSignal* deepest = findSignalByName(message->signals, test::numberedName("S", kDepth - 1));
    ASSERT_TRUE(deepest);
    const DbSignal* level = &message->signals.at(0);
    int depth = 1;
    while (!level->muxGroups.empty()) {
        ASSERT_EQ(level->muxGroups.size(), 1u);
        level = &level->muxGroups[0].signals.at(0);
        ++depth;
    }
    EXPECT_EQ(depth, kDepth);
    EXPECT_EQ(level, deepest);

    DecodedMessage decoded;
    std::vector<uint8_t> ones(8, 1);
    ASSERT_TRUE(dbDecode(db.get(), 1, ones, decoded));
    EXPECT_EQ(decoded.values.size(), std::size_t{kDepth});
}

} // namespace
} // namespace loglathe
