#include "tp/mux_transport.h"

#include "tp/tp_manager.h"
#include "tp_test_support.h"

#include <gtest/gtest.h>

namespace loglathe {
namespace {

using namespace test;

constexpr uint32_t kContainerId = 0x600;

// Item header of a standard frame: index, DLC code, identifier; `remoteBit` is bit 5 of byte 1 and
// `notRemote` bit 3 of byte 0.
Bytes standardItem(uint8_t index, uint8_t dlc, uint32_t id, const Bytes& data, bool remoteBit = false,
                   bool notRemote = false, bool fd = false) {
    Bytes item = {uint8_t((index << 5) | (notRemote ? 0x08 : 0) | ((dlc >> 1) & 0x07)),
                  uint8_t(((dlc & 1) << 7) | (fd ? 0x40 : 0) | (remoteBit ? 0x20 : 0) | ((id >> 8) & 0x07)),
                  uint8_t(id)};
    return concat(item, data);
}

Bytes extendedItem(uint8_t index, uint8_t dlc, uint32_t id, const Bytes& data) {
    Bytes item = {uint8_t((index << 5) | 0x10 | ((dlc >> 1) & 0x07)),
                  uint8_t(((dlc & 1) << 7) | ((id >> 24) & 0x1F)), uint8_t(id >> 16), uint8_t(id >> 8),
                  uint8_t(id)};
    return concat(item, data);
}

struct Mux {
    RecordingSink next;
    RecordingSink reentry;
    std::unique_ptr<MuxTransport> mux = muxCreate(next, &reentry);

    explicit Mux(MuxChannelTable table = {2, 3, 4, 5}) {
        EXPECT_TRUE(muxConfigure(*mux, kBusCan, 1, canKey(kContainerId, 0), table, BusType::Can));
    }
    bool container(Bytes payload, double timestamp = 7.25) {
        LogRecord record = frame(kContainerId, std::move(payload), 1, false, timestamp);
        return mux->onRecord(record);
    }
};

TEST(MuxTransport, StandardItemBecomesARecordOfItsTargetChannel) {
    Mux mux;
    EXPECT_TRUE(mux.container({0x00, 0x81, 0x23, 0xAA}));
    EXPECT_TRUE(mux.next.records.empty());
    ASSERT_EQ(mux.reentry.records.size(), 1u);
    const LogRecord& item = mux.reentry.records[0];
    EXPECT_EQ(item.channel, 2);
    EXPECT_EQ(item.identifier, 0x123u);
    EXPECT_EQ(item.payload, (Bytes{0xAA}));
    EXPECT_EQ(item.bus, kBusCan);
    EXPECT_EQ(item.extended, 0);
    EXPECT_EQ(item.length, 1);
    EXPECT_EQ(item.timestamp, 7.25);
}

TEST(MuxTransport, ItemsAimedAtTheContainersOwnChannelAreSkipped) {
    Mux mux({1, 1, 1, 1});
    EXPECT_TRUE(mux.container({0x20, 0x81, 0x23, 0xAA}));
    EXPECT_TRUE(mux.reentry.records.empty());
    EXPECT_TRUE(mux.next.records.empty());
}

TEST(MuxTransport, ItemsWithIndexFourToSevenAreSkippedButTheRestIsForwarded) {
    Mux mux;
    mux.container(concat(standardItem(5, 2, 0x111, {1, 2}), standardItem(3, 1, 0x222, {3})));
    ASSERT_EQ(mux.reentry.records.size(), 1u);
    EXPECT_EQ(mux.reentry.records[0].identifier, 0x222u);
    EXPECT_EQ(mux.reentry.records[0].channel, 5);
}

TEST(MuxTransport, ExtendedItemHasAFiveByteHeader) {
    Mux mux;
    mux.container(concat({0x10, 0x80, 0x12, 0x34, 0x56, 0xBB}, standardItem(1, 0, 0x7FF, {})));
    ASSERT_EQ(mux.reentry.records.size(), 2u);
    EXPECT_EQ(mux.reentry.records[0].identifier, 0x00123456u);
    EXPECT_EQ(mux.reentry.records[0].extended, 1);
    EXPECT_EQ(mux.reentry.records[0].payload, (Bytes{0xBB}));
    EXPECT_EQ(mux.reentry.records[1].identifier, 0x7FFu);
    EXPECT_EQ(mux.reentry.records[1].channel, 3);

    Mux high;
    high.container(extendedItem(0, 8, 0x1FFFFFFF, counting(8, 0)));
    ASSERT_EQ(high.reentry.records.size(), 1u);
    EXPECT_EQ(high.reentry.records[0].identifier, 0x1FFFFFFFu);
}

TEST(MuxTransport, DlcCodesAboveEightUseTheFdLengths) {
    EXPECT_EQ(dlcToLength(8), 8);
    EXPECT_EQ(dlcToLength(9), 12);
    EXPECT_EQ(dlcToLength(15), 64);
    Mux mux;
    // DLC code 13: bits 2-0 of byte 0 are 6, bit 7 of byte 1 is set.
    mux.container(concat({0x06, 0xC1, 0x00}, counting(32, 0)));
    ASSERT_EQ(mux.reentry.records.size(), 1u);
    EXPECT_EQ(mux.reentry.records[0].length, 13);
    EXPECT_EQ(mux.reentry.records[0].fd, 1);
    EXPECT_EQ(mux.reentry.records[0].payload, counting(32, 0));
}

TEST(MuxTransport, RemoteFrameItemCarriesNoData) {
    Mux mux;
    mux.container(concat(standardItem(0, 4, 0x321, {}, true), standardItem(0, 1, 0x100, {0xCC})));
    ASSERT_EQ(mux.reentry.records.size(), 2u);
    EXPECT_EQ(mux.reentry.records[0].bus, kBusCanRemote);
    EXPECT_EQ(mux.reentry.records[0].length, 4);
    EXPECT_TRUE(mux.reentry.records[0].payload.empty());
    EXPECT_EQ(mux.reentry.records[1].payload, (Bytes{0xCC}));

    // With bit 3 of byte 0 set the same bit of byte 1 no longer marks a remote frame.
    Mux data;
    data.container(standardItem(0, 1, 0x321, {0xDD}, true, true));
    ASSERT_EQ(data.reentry.records.size(), 1u);
    EXPECT_EQ(data.reentry.records[0].bus, kBusCan);
    EXPECT_EQ(data.reentry.records[0].payload, (Bytes{0xDD}));
}

TEST(MuxTransport, StatusItemTakesTwoBytes) {
    Mux mux;
    mux.container(concat({0x27, 0x03}, standardItem(2, 1, 0x100, {0xEE})));
    ASSERT_EQ(mux.reentry.records.size(), 2u);
    EXPECT_EQ(mux.reentry.records[0].bus, kBusMuxStatus);
    EXPECT_EQ(mux.reentry.records[0].channel, 3);
    EXPECT_TRUE(mux.reentry.records[0].payload.empty());
    EXPECT_EQ(mux.reentry.records[1].channel, 4);
    EXPECT_EQ(mux.reentry.records[1].payload, (Bytes{0xEE}));
}

TEST(MuxTransport, TruncatedItemIsDroppedAfterTheItemsBeforeIt) {
    Mux data;
    EXPECT_TRUE(
        data.container(concat(standardItem(0, 1, 0x100, {0x01}), standardItem(0, 8, 0x200, {1, 2, 3}))));
    ASSERT_EQ(data.reentry.records.size(), 1u);
    EXPECT_EQ(data.reentry.records[0].identifier, 0x100u);

    Mux header;
    header.container(concat(standardItem(0, 1, 0x100, {0x01}), {0x10, 0x80, 0x12}));
    EXPECT_EQ(header.reentry.records.size(), 1u);
}

TEST(MuxTransport, EmptyContainerForwardsNothing) {
    Mux mux;
    EXPECT_TRUE(mux.container({}));
    EXPECT_TRUE(mux.reentry.records.empty());
    EXPECT_TRUE(mux.next.records.empty());
}

TEST(MuxTransport, PassesOnEverythingThatIsNotAConfiguredContainer) {
    Mux mux;
    LogRecord otherId = frame(0x601, {0x00, 0x81, 0x23, 0xAA});
    LogRecord otherChannel = frame(kContainerId, {0x00, 0x81, 0x23, 0xAA}, 2);
    LogRecord extended = extendedFrame(kContainerId, {0x00, 0x81, 0x23, 0xAA});
    LogRecord remote = frame(kContainerId, {0x00, 0x81, 0x23, 0xAA});
    remote.bus = kBusCanRemote;
    for (LogRecord* record : {&otherId, &otherChannel, &extended, &remote})
        EXPECT_TRUE(mux.mux->onRecord(*record));
    EXPECT_EQ(mux.next.records.size(), 4u);
    EXPECT_TRUE(mux.reentry.records.empty());
    mux.next.answer = false;
    EXPECT_FALSE(mux.mux->onRecord(otherId));
    FileInfo info;
    EXPECT_FALSE(mux.mux->onFileStart(info, true));
    EXPECT_FALSE(mux.mux->onFileEnd(info));
    EXPECT_EQ(mux.next.fileStarts, (std::vector<bool>{true}));
}

TEST(MuxTransport, AnswersWhatTheLastForwardedItemGot) {
    Mux mux;
    int calls = 0;
    mux.reentry.onEach = [&](const LogRecord&) { mux.reentry.answer = ++calls != 1; };
    // The first item is refused; unpacking goes on and the last answer counts.
    EXPECT_TRUE(mux.container(concat(standardItem(0, 1, 0x100, {1}), standardItem(0, 1, 0x101, {2}))));
    EXPECT_EQ(mux.reentry.records.size(), 2u);

    mux.reentry.onEach = nullptr;
    mux.reentry.answer = false;
    // A refused item followed by an index 6 item, which is skipped: the refusal stands.
    EXPECT_FALSE(mux.container(concat(standardItem(0, 1, 0x100, {1}), standardItem(6, 1, 0x101, {2}))));
}

TEST(MuxTransport, ConfigurationAcceptsOnlyCanAndKeepsTheFirstTable) {
    RecordingSink next;
    RecordingSink reentry;
    auto mux = muxCreate(next, nullptr);
    EXPECT_FALSE(muxConfigure(*mux, kBusLin, 1, 0x3C, {2, 2, 2, 2}, BusType::Lin));
    EXPECT_TRUE(muxConfigure(*mux, kBusCan, 1, kContainerId, {2, 3, 4, 5}, BusType::Can));
    EXPECT_TRUE(muxConfigure(*mux, kBusCan, 1, kContainerId, {6, 6, 6, 6}, BusType::Can));
    EXPECT_FALSE(muxAttach(mux.get(), nullptr));
    EXPECT_FALSE(muxAttach(nullptr, &reentry));
    // Without a re-entry sink the items go nowhere, and the container is not passed on either.
    LogRecord container = frame(kContainerId, {0x00, 0x81, 0x23, 0xAA});
    EXPECT_TRUE(mux->onRecord(container));
    EXPECT_TRUE(next.records.empty());
    EXPECT_TRUE(muxAttach(mux.get(), &reentry));
    mux->onRecord(container);
    ASSERT_EQ(reentry.records.size(), 1u);
    EXPECT_EQ(reentry.records[0].channel, 2);
}

TEST(MuxTransport, ContainersOfJ1939DatabasesAreFoundFromAnySource) {
    RecordingSink next;
    RecordingSink reentry;
    auto mux = muxCreate(next, &reentry);
    const DbMsgKey groupKey = j1939Key(0x18FF1000, 1);
    ASSERT_TRUE(muxConfigure(*mux, kBusCan, 1, groupKey, {2, 3, 4, 5}, BusType::J1939));
    ASSERT_TRUE(muxConfigure(*mux, kBusCan, 2, groupKey, {3, 3, 4, 5}, BusType::Can));
    LogRecord fromJ1939Db = extendedFrame(0x0CFF1033, {0x00, 0x81, 0x23, 0xAA}, 1);
    LogRecord fromCanDb = extendedFrame(0x0CFF1033, {0x00, 0x81, 0x23, 0xAA}, 2);
    LogRecord exact = extendedFrame(0x00FF1000, {0x00, 0x81, 0x23, 0xAA}, 2);
    mux->onRecord(fromJ1939Db);
    mux->onRecord(fromCanDb);
    mux->onRecord(exact);
    ASSERT_EQ(reentry.records.size(), 2u);
    EXPECT_EQ(reentry.records[0].channel, 2);
    EXPECT_EQ(reentry.records[1].channel, 3);
    // The container keyed by the CAN rule matches only its exact identifier.
    ASSERT_EQ(next.records.size(), 1u);
    EXPECT_EQ(next.records[0].identifier, 0x0CFF1033u);
}

TEST(MuxTransport, ContainersNestedTooDeeplyArePassedOnWhole) {
    Mux mux;
    std::size_t depth = 0;
    // A re-entry sink that answers every item with a further container keeps nesting until the
    // transport stops unpacking.
    mux.reentry.onEach = [&](const LogRecord&) {
        ++depth;
        mux.container({0x00, 0x81, 0x23, 0xAA});
    };
    mux.container({0x00, 0x81, 0x23, 0xAA});
    EXPECT_EQ(mux.next.records.size(), 1u);
    EXPECT_EQ(depth, 32u);
}

TEST(MuxTransport, NestedContainerIsReassembledAndUnpackedThroughTheManager) {
    RecordingSink writer;
    auto mux = muxCreate(writer, nullptr);
    auto manager = tpManagerCreate(*mux);
    ASSERT_TRUE(muxAttach(mux.get(), manager.get()));
    for (auto [channel, id, table] : {std::tuple{uint8_t(1), 0x600u, MuxChannelTable{2, 3, 4, 5}},
                                      std::tuple{uint8_t(2), 0x601u, MuxChannelTable{3, 1, 1, 1}}}) {
        ASSERT_TRUE(tpManagerConfigure(*manager, BusType::Can, channel, id, TransportProtocolType::MuxTp));
        ASSERT_TRUE(muxConfigure(*mux, kBusCan, channel, id, table, BusType::Can));
    }
    // The inner container (item to channel 3) travels as an ISO-TP single frame inside the outer one.
    Bytes inner = {0x04, 0x00, 0x81, 0x23, 0xAA};
    Bytes outer = concat(standardItem(0, 5, 0x601, inner), standardItem(1, 1, 0x200, {0xBB}));
    ASSERT_EQ(outer.size(), 12u);
    LogRecord first =
        frame(0x600, concat({0x10, 0x0C}, Bytes(outer.begin(), outer.begin() + 6)), 1, false, 3.0);
    LogRecord last =
        frame(0x600, concat(concat({0x21}, Bytes(outer.begin() + 6, outer.end())), {0x55}), 1, false, 4.0);
    EXPECT_TRUE(manager->onRecord(first));
    EXPECT_TRUE(manager->onRecord(last));

    ASSERT_EQ(writer.records.size(), 2u);
    EXPECT_EQ(writer.records[0].channel, 3);
    EXPECT_EQ(writer.records[0].identifier, 0x123u);
    EXPECT_EQ(writer.records[0].payload, (Bytes{0xAA}));
    EXPECT_EQ(writer.records[0].timestamp, 4.0);
    EXPECT_EQ(writer.records[1].channel, 3);
    EXPECT_EQ(writer.records[1].identifier, 0x200u);
    TpSummary summary = tpManagerSummary(*manager);
    EXPECT_EQ(summary.successful, 2u);
    EXPECT_EQ(summary.failed, 0u);
    EXPECT_EQ(summary.unfinished, 0u);
}

} // namespace
} // namespace loglathe
