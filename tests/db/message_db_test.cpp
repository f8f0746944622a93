#include "db/message_db.h"

#include "support/diag_capture.h"

#include <gtest/gtest.h>

namespace loglathe {
namespace {

using test::DiagCapture;

TEST(DbKeys, CanKeysMaskToTheirIdentifierWidth) {
    EXPECT_EQ(dbcMsgKey2DbMsgKey(BusType::Can, 0x80000123), 0x80000123u);
    EXPECT_EQ(dbcMsgKey2DbMsgKey(BusType::Can, 0x123), 0x123u);
    EXPECT_EQ(dbcMsgKey2DbMsgKey(BusType::Can, 0x923), 0x123u);
    EXPECT_EQ(dbcMsgKey2DbMsgKey(BusType::Can, 0xFFFFFFFF), 0x9FFFFFFFu);
    EXPECT_EQ(canKey(0x12345678, false), 0x678u);
    EXPECT_EQ(canKey(0x12345678, true), 0x92345678u);
}

TEST(DbKeys, J1939KeysDropPriorityAndAddresses) {
    // PDU2: priority and source dropped, so these two collide.
    EXPECT_EQ(dbcMsgKey2DbMsgKey(BusType::J1939, 0x98FEF100), 0x80FEF100u);
    EXPECT_EQ(dbcMsgKey2DbMsgKey(BusType::J1939, 0x8CFEF1FE), 0x80FEF100u);
    // PDU1: the destination goes too.
    EXPECT_EQ(dbcMsgKey2DbMsgKey(BusType::J1939, 0x98EA12F9), 0x80EA0000u);
    EXPECT_EQ(j1939Key(0xEC0000, 1), 0x80EC0000u);
    // Received frames: standard identifiers are keyed like CAN.
    EXPECT_EQ(frameKey(BusType::J1939, 0x7AB, false), 0x7ABu);
    EXPECT_EQ(frameKey(BusType::J1939, 0x18FEF1FE, true), 0x80FEF100u);
    EXPECT_EQ(dbcMsgKey2DbMsgKey(BusType::J1939, 0x923), 0x123u);
}

TEST(DbKeys, LinKeysKeepSixBits) {
    EXPECT_EQ(dbcMsgKey2DbMsgKey(BusType::Lin, 0x3C), 0x3Cu);
    EXPECT_EQ(dbcMsgKey2DbMsgKey(BusType::Lin, 0x7C), 0x3Cu);
    EXPECT_EQ(frameKey(BusType::Lin, 0x7C, false), 0x3Cu);
}

TEST(DbKeys, InvalidBusTypeGivesKeyZero) {
    DiagCapture diag(kDiagFatal);
    EXPECT_EQ(dbcMsgKey2DbMsgKey(BusType::Invalid, 0x123), 0u);
    EXPECT_TRUE(diag.has("F dbcMsgKey2DbMsgKey called with invalid bus type"));
}

TEST(MessageDb, RefusesCollidingKeysAndIteratesInKeyOrder) {
    DiagCapture diag(kDiagError);
    auto db = createMessageDb(BusType::Can);
    ASSERT_TRUE(dbAddMessage(*db, "Ext", 0x80000001, 8, TransportProtocolType::None, "", false));
    ASSERT_TRUE(dbAddMessage(*db, "High", 0x7FF, 8, TransportProtocolType::None, "", false));
    ASSERT_TRUE(dbAddMessage(*db, "Low", 0x001, 8, TransportProtocolType::IsoTp, "", false));
    EXPECT_FALSE(dbAddMessage(*db, "Again", 0x7FF, 4, TransportProtocolType::None, "", false));
    EXPECT_TRUE(diag.has("E Message key collision: 2047 (Again, High)"));
    std::vector<std::string> order;
    dbForEachMessage(*db, [&](DbMsgKey, const DbMessage& message) { order.push_back(message.name); });
    EXPECT_EQ(order, (std::vector<std::string>{"Low", "High", "Ext"}));
    EXPECT_EQ(dbFind(db.get(), 0x7FF)->length, 8u);
    EXPECT_EQ(dbFind(db.get(), 0x002), nullptr);
    EXPECT_EQ(dbFind(nullptr, 0x001), nullptr);
}

SignalLayout bits(uint16_t start, uint8_t length) {
    SignalLayout l;
    l.startBit = start;
    l.bitLength = length;
    return l;
}

TEST(MessageDb, FindsSignalsDepthFirstThroughNestedGroups) {
    std::vector<DbSignal> top;
    DbSignal* outer = addSignal(top, "Outer", bits(0, 8), false);
    MuxGroup* g1 = addMuxGroup(outer->muxGroups, 1, 1);
    DbSignal* inner = addSignal(g1->signals, "Inner", bits(8, 8), false);
    addSignal(addMuxGroup(inner->muxGroups, 0, 3)->signals, "Deep", bits(16, 8), false);
    addSignal(addMuxGroup(outer->muxGroups, 2, 2)->signals, "Twin", bits(24, 8), false);
    addSignal(top, "Twin", bits(40, 8), false);

    const DbSignal* deep = findSignalByName(top, "Deep");
    ASSERT_TRUE(deep);
    EXPECT_EQ(deep->layout.startBit, 16);
    // The groups of Outer are searched before its next sibling.
    EXPECT_EQ(findSignalByName(top, "Twin")->layout.startBit, 24);
    EXPECT_EQ(findSignalByName(top, "Dee"), nullptr);
    EXPECT_EQ(findSignalByName(top, "DeepX"), nullptr);
}

TEST(MessageDb, MuxGroupsKeepValidRangesInCreationOrder) {
    std::vector<MuxGroup> groups;
    EXPECT_EQ(addMuxGroup(groups, 3, 2), nullptr);
    ASSERT_TRUE(addMuxGroup(groups, 2, 5));
    ASSERT_TRUE(addMuxGroup(groups, 4, 4));
    EXPECT_EQ(findMuxGroup(groups, 4)->from, 2u); // the first group holding the value
    EXPECT_EQ(findMuxGroup(groups, 6), nullptr);
    EXPECT_EQ(findMuxGroupExact(groups, 4, 4), &groups[1]);
    EXPECT_EQ(findMuxGroupExact(groups, 2, 4), nullptr);
}

TEST(MessageDb, AddSignalRefusesAMissingValueTypeAndHashesTheName) {
    std::vector<DbSignal> signals;
    SignalLayout none = bits(0, 8);
    none.valueType = static_cast<SignalValueType>(0);
    EXPECT_EQ(addSignal(signals, "X", none, false), nullptr);
    EXPECT_TRUE(signals.empty());
    DbSignal* s = addSignal(signals, "X", bits(0, 8), true);
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->ignored);
    EXPECT_EQ(s->nameHash, nameHash64("X"));
    EXPECT_NE(nameHash64("X"), nameHash64("Y"));
}

TEST(DbChannelTable, KeepsDatabasesPerChannelInLoadOrder) {
    DbChannelTable table;
    EXPECT_TRUE(table.empty());
    MessageDb* first = createMessageDb(BusType::Can).release();
    MessageDb* second = createMessageDb(BusType::J1939).release();
    table.add(1, std::unique_ptr<MessageDb>(first));
    table.add(1, std::unique_ptr<MessageDb>(second));
    table.add(255, createMessageDb(BusType::Lin));
    EXPECT_FALSE(table.empty());
    ASSERT_EQ(table.channel(1).size(), 2u);
    EXPECT_EQ(table.channel(1)[0].get(), first);
    EXPECT_EQ(table.channel(1)[1].get(), second);
    EXPECT_TRUE(table.channel(2).empty());
    std::vector<int> channels;
    table.forEachChannel([&](uint8_t channel, const DbChannelTable::List&) { channels.push_back(channel); });
    EXPECT_EQ(channels, (std::vector<int>{1, 255}));
}

} // namespace
} // namespace loglathe
