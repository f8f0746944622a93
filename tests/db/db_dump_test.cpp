#include "db/db_dump.h"

#include "db/dbc_parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>

namespace loglathe {
namespace {

SignalLayout layoutOf(uint32_t littleEndian, SignalValueType type, uint16_t start, uint8_t length,
                      double factor, double offset, double minimum, double maximum) {
    SignalLayout l;
    l.littleEndian = littleEndian;
    l.valueType = type;
    l.startBit = start;
    l.bitLength = length;
    l.factor = factor;
    l.offset = offset;
    l.minimum = minimum;
    l.maximum = maximum;
    return l;
}

// True when python3 accepts the text as JSON; skips the caller's test when python3 is missing.
bool isValidJson(const std::string& text) {
    char path[] = "/tmp/loglathe_dump_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return false;
    std::FILE* file = fdopen(fd, "wb");
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    std::string command = std::string("python3 -m json.tool ") + path + " >/dev/null 2>&1";
    int status = std::system(command.c_str());
    std::remove(path);
    return status == 0;
}

bool havePython() {
    return std::system("python3 -c 'import json' >/dev/null 2>&1") == 0;
}

TEST(DbDump, EmptyDatabase) {
    EXPECT_EQ(dbDumpJson(*createMessageDb(BusType::Can)), "{\"bus\":\"CAN\",\"messages\":[]}");
    EXPECT_EQ(dbDumpJson(*createMessageDb(BusType::J1939)), "{\"bus\":\"CAN-PGN\",\"messages\":[]}");
    EXPECT_EQ(dbDumpJson(*createMessageDb(BusType::Lin)), "{\"bus\":\"LIN\",\"messages\":[]}");
}

TEST(DbDump, WritesMessagesSignalsAndGroupsInOrder) {
    auto db = createMessageDb(BusType::Can);
    DbMessage* m = dbAddMessage(*db, "M1", 256, 8, TransportProtocolType::IsoTp, "", true);
    DbSignal* mux =
        addSignal(m->signals, "Mux",
                  layoutOf(0, SignalValueType::Unsigned, 0, 8, 1, 0, 0, 18446744073709551615.0), false);
    addSignal(addMuxGroup(mux->muxGroups, 1, 2)->signals, "In",
              layoutOf(1, SignalValueType::Signed, 8, 4, 0.5, -1.25, -10, 10), true);
    addMuxGroup(mux->muxGroups, 3, 3);
    addSignal(m->signals, "F", layoutOf(1, SignalValueType::Float, 32, 32, 1, 0, 0, 0), false);
    dbAddMessage(*db, "M0", 0x80000001, 0, TransportProtocolType::MuxTp, "MUXTP#1:2:3:4", false);

    EXPECT_EQ(
        dbDumpJson(*db),
        "{\"bus\":\"CAN\",\"messages\":["
        "{ \"key\":256,\"name\":\"M1\",\"tp\":\"ISOTP\",\"ignored\":true,\"length\":8,\"signals\":["
        "{\"name\":\"Mux\",\"ignored\":false,\"bitpos\":0,\"bitlen\":8,\"bigendian\":true,\"signed\":false,"
        "\"factor\":1.000000,\"offset\":0.000000,\"min\":0.000000,\"max\":18446744073709551616.000000,"
        "\"multiplexed\":["
        "{\"from\":1,\"to\":2,\"signals\":["
        "{\"name\":\"In\",\"ignored\":true,\"bitpos\":8,\"bitlen\":4,\"bigendian\":false,\"signed\":true,"
        "\"factor\":0.500000,\"offset\":-1.250000,\"min\":-10.000000,\"max\":10.000000,\"multiplexed\":[]}]},"
        "{\"from\":3,\"to\":3,\"signals\":[]}]},"
        "{\"name\":\"F\",\"ignored\":false,\"bitpos\":32,\"bitlen\":32,\"bigendian\":false,\"signed\":false,"
        "\"factor\":1.000000,\"offset\":0.000000,\"min\":0.000000,\"max\":0.000000,\"multiplexed\":[]}]},"
        "{ "
        "\"key\":2147483649,\"name\":\"M0\",\"tp\":\"MUXTP\",\"ignored\":false,\"length\":0,\"signals\":[]}]"
        "}");
}

TEST(DbDump, ParsedSignalShowsStoredBitPositionAndLargeLimits) {
    MemoryStream stream("BA_DEF_  \"BusType\" STRING ;\nBA_DEF_DEF_  \"BusType\" \"CAN\";\n"
                        "BO_ 1 M: 8 E\n SG_ S : 7|64@0+ (1,0) [0|18446744073709551615] \"\" X\n");
    auto db = dbcParse(stream);
    ASSERT_TRUE(db);
    EXPECT_EQ(dbDumpJson(*db),
              "{\"bus\":\"CAN\",\"messages\":[{ \"key\":1,\"name\":\"M\",\"tp\":\"\",\"ignored\":false,"
              "\"length\":8,\"signals\":[{\"name\":\"S\",\"ignored\":false,\"bitpos\":0,\"bitlen\":64,"
              "\"bigendian\":true,\"signed\":false,\"factor\":1.000000,\"offset\":0.000000,"
              "\"min\":0.000000,\"max\":18446744073709551616.000000,\"multiplexed\":[]}]}]}");
}

TEST(DbDump, EscapesNamesAndWritesNonFiniteNumbersAsNull) {
    auto db = createMessageDb(BusType::Can);
    DbMessage* m = dbAddMessage(*db, "Say \"hi\"\\", 1, 8, TransportProtocolType::None, "", false);
    addSignal(m->signals, std::string("Tab\tNul\0\x7F\xE9", 10),
              layoutOf(1, SignalValueType::Double, 0, 64, std::numeric_limits<double>::infinity(),
                       std::nan(""), -std::numeric_limits<double>::infinity(),
                       std::numeric_limits<double>::max()),
              false);
    std::string json = dbDumpJson(*db);
    EXPECT_NE(json.find("\"name\":\"Say \\\"hi\\\"\\\\\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"name\":\"Tab\\u0009Nul\\u0000\\u007f\\u00e9\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"factor\":null,\"offset\":null,\"min\":null,\"max\":1797693134862315"),
              std::string::npos)
        << json;
    if (!havePython())
        GTEST_SKIP() << "python3 not available to check the JSON";
    EXPECT_TRUE(isValidJson(json));
}

TEST(DbDump, DumpsADeepChainWithoutRecursion) {
    constexpr int kDepth = 100000;
    auto db = createMessageDb(BusType::Can);
    DbMessage* m = dbAddMessage(*db, "Deep", 1, 1, TransportProtocolType::None, "", false);
    std::vector<DbSignal>* level = &m->signals;
    for (int i = 0; i < kDepth; ++i) {
        DbSignal* s = addSignal(*level, "S", layoutOf(1, SignalValueType::Unsigned, 0, 1, 1, 0, 0, 0), false);
        level = &addMuxGroup(s->muxGroups, 0, 0)->signals;
    }
    std::string json = dbDumpJson(*db);
    std::string tail = "\"signals\":[]}";
    for (int i = 0; i < 2 * kDepth + 1; ++i)
        tail += "]}";
    EXPECT_TRUE(json.ends_with(tail));
    std::size_t groups = 0;
    for (std::size_t at = json.find("\"from\""); at != std::string::npos; at = json.find("\"from\"", at + 1))
        ++groups;
    EXPECT_EQ(groups, std::size_t{kDepth});
    // Too deep for common JSON readers; the brackets must balance and nest as deep as the chain.
    long depth = 0, deepest = 0;
    for (char c : json) {
        depth += (c == '[' || c == '{') - (c == ']' || c == '}');
        deepest = std::max(deepest, depth);
        ASSERT_GE(depth, 0);
    }
    EXPECT_EQ(depth, 0);
    EXPECT_EQ(deepest, 2 + 4L * kDepth + 2);
}

} // namespace
} // namespace loglathe
