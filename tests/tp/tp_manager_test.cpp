#include "tp/tp_manager.h"

#include "tp_test_support.h"

#include <gtest/gtest.h>

namespace loglathe {
namespace {

using namespace test;

constexpr uint32_t kIsoTpId = 0x7E8;
constexpr uint32_t kFastPacketId = 0x09F80123;

struct Chain {
    RecordingSink sink;
    std::unique_ptr<TpManager> manager = tpManagerCreate(sink);

    bool feed(LogRecord record) { return manager->onRecord(record); }
    TpSummary summary() { return tpManagerSummary(*manager); }
};

void configureIsoTp(TpManager& manager, uint8_t channel = 1, uint32_t id = kIsoTpId) {
    ASSERT_TRUE(
        tpManagerConfigure(manager, BusType::Can, channel, canKey(id, 0), TransportProtocolType::IsoTp));
}

void configureJ1939(TpManager& manager, uint8_t channel = 1) {
    ASSERT_TRUE(
        tpManagerConfigure(manager, BusType::J1939, channel, kJ1939TpCmKey, TransportProtocolType::J1939Tp));
}

Bytes announce(uint8_t control, uint16_t size, uint32_t pgn) {
    return {control, uint8_t(size), uint8_t(size >> 8), uint8_t((size + 6) / 7),
            0xFF,    uint8_t(pgn),  uint8_t(pgn >> 8),  uint8_t(pgn >> 16)};
}

TEST(TpManager, PassesOtherBusKindsOnUntouchedEvenWhenTheirKeyIsConfigured) {
    Chain chain;
    configureIsoTp(*chain.manager);
    LogRecord remote = frame(kIsoTpId, {0x03, 1, 2, 3});
    remote.bus = kBusCanRemote;
    EXPECT_TRUE(chain.feed(remote));
    ASSERT_EQ(chain.sink.records.size(), 1u);
    EXPECT_EQ(chain.sink.records[0].payload, (Bytes{0x03, 1, 2, 3}));
    EXPECT_EQ(chain.summary().successful, 0u);
}

TEST(TpManager, PassesUnconfiguredFramesOnUnchangedAlsoOnJ1939Channels) {
    Chain chain;
    configureIsoTp(*chain.manager);
    configureJ1939(*chain.manager, 2);
    EXPECT_TRUE(chain.feed(frame(0x100, {0x10, 0x20, 1, 2, 3, 4, 5, 6})));
    EXPECT_TRUE(chain.feed(extendedFrame(0x18FEF100, {0x20, 1, 2, 3, 4, 5, 6, 7}, 2)));
    // The configured identifier on another channel is not configured there.
    EXPECT_TRUE(chain.feed(frame(kIsoTpId, {0x10, 0x20, 1, 2, 3, 4, 5, 6}, 3)));
    ASSERT_EQ(chain.sink.records.size(), 3u);
    EXPECT_EQ(chain.sink.records[1].identifier, 0x18FEF100u);
    EXPECT_EQ(chain.sink.records[2].payload.size(), 8u);
    EXPECT_EQ(chain.manager->openSessions(), 0u);
}

TEST(TpManager, SingleFrameIsPassedOnAtOnceCutToItsLength) {
    Chain chain;
    configureIsoTp(*chain.manager);
    LogRecord record = frame(kIsoTpId, {0x03, 0x11, 0x22, 0x33, 0xAA, 0xAA, 0xAA, 0xAA}, 1, false, 12.5);
    EXPECT_TRUE(chain.feed(record));
    ASSERT_EQ(chain.sink.records.size(), 1u);
    const LogRecord& out = chain.sink.records[0];
    EXPECT_EQ(out.payload, (Bytes{0x11, 0x22, 0x33}));
    EXPECT_EQ(out.identifier, kIsoTpId);
    EXPECT_EQ(out.timestamp, 12.5);
    EXPECT_EQ(out.length, 8);
    TpSummary summary = chain.summary();
    EXPECT_EQ(summary.successful, 1u);
    EXPECT_EQ(summary.failed, 0u);
    EXPECT_EQ(summary.unfinished, 0u);
}

TEST(TpManager, MultiFrameMessageIsPassedOnOnceWithTheFieldsOfItsLastFrame) {
    Chain chain;
    configureIsoTp(*chain.manager);
    chain.feed(frame(kIsoTpId, concat({0x10, 0x0A}, counting(6, 0)), 1, false, 1.0));
    EXPECT_TRUE(chain.sink.records.empty());
    EXPECT_EQ(chain.manager->openSessions(), 1u);
    chain.feed(frame(kIsoTpId, concat({0x21}, counting(7, 6)), 1, false, 2.0));
    ASSERT_EQ(chain.sink.records.size(), 1u);
    EXPECT_EQ(chain.sink.records[0].payload, counting(10, 0));
    EXPECT_EQ(chain.sink.records[0].timestamp, 2.0);
    EXPECT_EQ(chain.manager->openSessions(), 0u);
}

TEST(TpManager, FirstConfigurationOfAKeyWins) {
    Chain chain;
    configureIsoTp(*chain.manager);
    EXPECT_TRUE(tpManagerConfigure(*chain.manager, BusType::Can, 1, canKey(kIsoTpId, 0),
                                   TransportProtocolType::NmeaTp));
    // As a fast packet this frame would fail (frame counter 3 with no message open).
    chain.feed(frame(kIsoTpId, {0x03, 0x11, 0x22, 0x33}));
    ASSERT_EQ(chain.sink.records.size(), 1u);
    EXPECT_EQ(chain.sink.records[0].payload, (Bytes{0x11, 0x22, 0x33}));
}

TEST(TpManager, ExtendedFrameOfACanDatabaseIsFoundNextToAJ1939Database) {
    Chain chain;
    configureJ1939(*chain.manager);
    // ISO-TP with 29-bit identifiers, configured by a CAN database of the same channel.
    ASSERT_TRUE(tpManagerConfigure(*chain.manager, BusType::Can, 1, canKey(0x18DAF110, 1),
                                   TransportProtocolType::IsoTp));
    // Fast packets of a J1939 database under the same parameter group's J1939 key.
    ASSERT_TRUE(tpManagerConfigure(*chain.manager, BusType::J1939, 1, j1939Key(0x09F80100, 1),
                                   TransportProtocolType::NmeaTp));
    ASSERT_TRUE(tpManagerConfigure(*chain.manager, BusType::Can, 1, canKey(0x09F80102, 1),
                                   TransportProtocolType::IsoTp));
    EXPECT_TRUE(chain.feed(extendedFrame(0x18DAF110, {0x03, 0x62, 0xF1, 0x90, 0xAA, 0xAA, 0xAA, 0xAA})));
    // The J1939 key finds its configuration: a fast packet first frame, as before.
    EXPECT_TRUE(chain.feed(extendedFrame(0x09F80102, {0x40, 0x09, 1, 2, 3, 4, 5, 6})));
    EXPECT_TRUE(chain.feed(extendedFrame(0x09F80102, {0x41, 7, 8, 9, 0xFF, 0xFF, 0xFF, 0xFF})));
    ASSERT_EQ(chain.sink.records.size(), 2u);
    EXPECT_EQ(chain.sink.records[0].payload, (Bytes{0x62, 0xF1, 0x90}));
    EXPECT_EQ(chain.sink.records[1].payload, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(chain.summary().successful, 2u);
}

TEST(TpManager, ErrorIsLoggedCountedAndTheFrameDropped) {
    DiagCapture diag;
    Chain chain;
    configureIsoTp(*chain.manager);
    // A consecutive frame with no message open creates a session that fails at once.
    EXPECT_TRUE(chain.feed(frame(kIsoTpId, concat({0x21}, counting(7, 0)), 1, false, 1577836800.25)));
    EXPECT_TRUE(chain.sink.records.empty());
    TpSummary summary = chain.summary();
    EXPECT_EQ(summary.failed, 1u);
    EXPECT_EQ(summary.unfinished, 0u);
    std::string text = diag.text();
    EXPECT_NE(text.find(" I TP error (time: 1577836800.250000, id: 0x7E8)\n"), std::string::npos) << text;
}

TEST(TpManager, FlowControlOfAConfiguredIdentifierWithNoSessionFails) {
    Chain chain;
    configureIsoTp(*chain.manager);
    EXPECT_TRUE(chain.feed(frame(kIsoTpId, {0x30, 0x00, 0x00})));
    EXPECT_EQ(chain.summary().failed, 1u);
}

TEST(TpManager, J1939BroadcastIsPassedOnUnderTheTransportedGroup) {
    Chain chain;
    configureJ1939(*chain.manager);
    chain.feed(extendedFrame(0x18ECFF25, {0x20, 0x0E, 0x00, 0x02, 0xFF, 0xCA, 0xFE, 0x00}));
    chain.feed(extendedFrame(0x18EBFF25, concat({0x01}, counting(7, 0))));
    EXPECT_TRUE(chain.sink.records.empty());
    chain.feed(extendedFrame(0x18EBFF25, concat({0x02}, counting(7, 7))));
    ASSERT_EQ(chain.sink.records.size(), 1u);
    EXPECT_EQ(chain.sink.records[0].identifier, 0x18FECA25u);
    EXPECT_EQ(chain.sink.records[0].payload, counting(14, 0));
    EXPECT_EQ(chain.summary().successful, 1u);
}

TEST(TpManager, ClearToSendAndAbortAreDroppedWithoutTouchingTheSession) {
    DiagCapture diag;
    Chain chain;
    configureJ1939(*chain.manager);
    chain.feed(extendedFrame(0x1CEC1025, announce(16, 10, 0xEF00)));
    // The receiver's clear to send, then an abort on the sender's connection.
    EXPECT_TRUE(chain.feed(extendedFrame(0x1CEC2510, {0x11, 0x02, 0x01, 0xFF, 0xFF, 0x00, 0xEF, 0x00})));
    EXPECT_TRUE(chain.feed(extendedFrame(0x1CEC1025, {0xFF, 0x01, 0xFF, 0xFF, 0xFF, 0x00, 0xEF, 0x00})));
    EXPECT_TRUE(chain.sink.records.empty());
    EXPECT_EQ(chain.manager->openSessions(), 1u);
    chain.feed(extendedFrame(0x1CEB1025, concat({0x01}, counting(7, 0))));
    chain.feed(extendedFrame(0x1CEB1025, concat({0x02}, counting(7, 7))));
    ASSERT_EQ(chain.sink.records.size(), 1u);
    EXPECT_EQ(chain.sink.records[0].identifier, 0x1CEF1025u);
    TpSummary summary = chain.summary();
    EXPECT_EQ(summary.successful, 1u);
    EXPECT_EQ(summary.failed, 0u);
    EXPECT_EQ(diag.text(), "");
}

TEST(TpManager, DataPageConnectionManagementIsPassedOnUnchanged) {
    Chain chain;
    configureJ1939(*chain.manager);
    Bytes bytes = announce(32, 14, 0xFECA);
    chain.feed(extendedFrame(0x19ECFF25, bytes));
    ASSERT_EQ(chain.sink.records.size(), 1u);
    EXPECT_EQ(chain.sink.records[0].identifier, 0x19ECFF25u);
    EXPECT_EQ(chain.sink.records[0].payload, bytes);
    EXPECT_EQ(chain.manager->openSessions(), 0u);
}

TEST(TpManager, DataPacketWithAnotherPriorityFindsNoSessionAndFails) {
    Chain chain;
    configureJ1939(*chain.manager);
    chain.feed(extendedFrame(0x18ECFF25, announce(32, 14, 0xFECA)));
    chain.feed(extendedFrame(0x1CEBFF25, concat({0x01}, counting(7, 0))));
    TpSummary summary = chain.summary();
    EXPECT_EQ(summary.failed, 1u);
    EXPECT_EQ(summary.unfinished, 1u);
}

TEST(TpManager, TransfersFromTwoSourcesAreKeptApart) {
    Chain chain;
    configureJ1939(*chain.manager);
    chain.feed(extendedFrame(0x18ECFF25, announce(32, 9, 0xFECA)));
    chain.feed(extendedFrame(0x18ECFF26, announce(32, 9, 0xFEE3)));
    chain.feed(extendedFrame(0x18EBFF26, concat({0x01}, counting(7, 100))));
    chain.feed(extendedFrame(0x18EBFF25, concat({0x01}, counting(7, 0))));
    chain.feed(extendedFrame(0x18EBFF25, concat({0x02}, counting(7, 7))));
    chain.feed(extendedFrame(0x18EBFF26, concat({0x02}, counting(7, 107))));
    ASSERT_EQ(chain.sink.records.size(), 2u);
    EXPECT_EQ(chain.sink.records[0].identifier, 0x18FECA25u);
    EXPECT_EQ(chain.sink.records[0].payload, counting(9, 0));
    EXPECT_EQ(chain.sink.records[1].identifier, 0x18FEE326u);
    EXPECT_EQ(chain.sink.records[1].payload, counting(9, 100));
}

TEST(TpManager, RestartedFastPacketTransferFailsTwice) {
    Chain chain;
    ASSERT_TRUE(tpManagerConfigure(*chain.manager, BusType::Can, 1, canKey(kFastPacketId, 1),
                                   TransportProtocolType::NmeaTp));
    chain.feed(extendedFrame(kFastPacketId, concat({0x40, 0x14}, counting(6, 0))));
    chain.feed(extendedFrame(kFastPacketId, concat({0x60, 0x14}, counting(6, 0))));
    chain.feed(extendedFrame(kFastPacketId, concat({0x61}, counting(7, 0))));
    TpSummary summary = chain.summary();
    EXPECT_EQ(summary.failed, 2u);
    EXPECT_EQ(summary.unfinished, 0u);
    EXPECT_TRUE(chain.sink.records.empty());
}

TEST(TpManager, LinMessagesAreKeyedByTheLinRule) {
    Chain chain;
    ASSERT_TRUE(
        tpManagerConfigure(*chain.manager, BusType::Lin, 1, linKey(0x3C), TransportProtocolType::IsoTp));
    LogRecord lin = frame(0x3C, {0x02, 0x55, 0x66, 0xFF});
    lin.bus = kBusLin;
    chain.feed(lin);
    chain.feed(frame(0x3C, {0x02, 0x55, 0x66, 0xFF})); // the same identifier on CAN is not configured
    ASSERT_EQ(chain.sink.records.size(), 2u);
    EXPECT_EQ(chain.sink.records[0].payload, (Bytes{0x55, 0x66}));
    EXPECT_EQ(chain.sink.records[1].payload.size(), 4u);
}

TEST(TpManager, UnsupportedProtocolDropsTheFrame) {
    DiagCapture diag;
    Chain chain;
    ASSERT_TRUE(tpManagerConfigure(*chain.manager, BusType::Can, 1, canKey(kIsoTpId, 0),
                                   static_cast<TransportProtocolType>(2)));
    EXPECT_TRUE(chain.feed(frame(kIsoTpId, {0x03, 1, 2, 3})));
    EXPECT_TRUE(chain.sink.records.empty());
    TpSummary summary = chain.summary();
    EXPECT_EQ(summary.failed + summary.successful + summary.unfinished, 0u);
    std::string text = diag.text();
    std::size_t unsupported = text.find(" E Unsupported transport protocol\n");
    ASSERT_NE(unsupported, std::string::npos) << text;
    EXPECT_NE(text.find(" E Failed to initialize TP session\n", unsupported), std::string::npos) << text;
}

TEST(TpManager, MessageSplitAcrossContinuedFilesIsReassembled) {
    Chain chain;
    configureIsoTp(*chain.manager);
    FileInfo first{"a/00000001.TXT", "a/00000001", "LOGGER", 0.0, 1, 1};
    FileInfo second{"a/00000002.TXT", "a/00000002", "LOGGER", 0.0, 1, 2};
    EXPECT_TRUE(chain.manager->onFileStart(first, false));
    chain.feed(frame(kIsoTpId, concat({0x10, 0x0A}, counting(6, 0))));
    EXPECT_TRUE(chain.manager->onFileEnd(first));
    EXPECT_TRUE(chain.manager->onFileStart(second, true));
    chain.feed(frame(kIsoTpId, concat({0x21}, counting(7, 6))));
    EXPECT_TRUE(chain.manager->onFileEnd(second));
    ASSERT_EQ(chain.sink.records.size(), 1u);
    EXPECT_EQ(chain.sink.records[0].payload, counting(10, 0));
    EXPECT_EQ(chain.sink.fileStarts, (std::vector<bool>{false, true}));
    EXPECT_EQ(chain.sink.fileEnds, 2);
}

TEST(TpManager, UnrelatedFileStartDropsOpenSessionsSilently) {
    Chain chain;
    configureIsoTp(*chain.manager);
    FileInfo info;
    chain.manager->onFileStart(info, false);
    chain.feed(frame(kIsoTpId, concat({0x10, 0x0A}, counting(6, 0))));
    chain.manager->onFileStart(info, false);
    EXPECT_EQ(chain.manager->openSessions(), 0u);
    TpSummary dropped = chain.summary();
    EXPECT_EQ(dropped.failed + dropped.unfinished, 0u);
    // The rest of the message no longer has a session to join.
    chain.feed(frame(kIsoTpId, concat({0x21}, counting(7, 6))));
    EXPECT_EQ(chain.summary().failed, 1u);
    EXPECT_TRUE(chain.sink.records.empty());
}

TEST(TpManager, SummaryCountsSessionsStillOpenAsUnfinished) {
    Chain chain;
    configureIsoTp(*chain.manager);
    configureIsoTp(*chain.manager, 2);
    chain.feed(frame(kIsoTpId, concat({0x10, 0x0A}, counting(6, 0))));
    chain.feed(frame(kIsoTpId, concat({0x10, 0x0A}, counting(6, 0)), 2));
    chain.feed(frame(kIsoTpId, concat({0x21}, counting(7, 6)), 2));
    TpSummary summary = chain.summary();
    EXPECT_EQ(summary.successful, 1u);
    EXPECT_EQ(summary.unfinished, 1u);
}

TEST(TpManager, AnswersTheNextSinksAnswerForWhatItPassesOn) {
    Chain chain;
    configureIsoTp(*chain.manager);
    chain.sink.answer = false;
    EXPECT_FALSE(chain.feed(frame(0x100, {1, 2})));
    EXPECT_FALSE(chain.feed(frame(kIsoTpId, {0x01, 0x11})));
    EXPECT_EQ(chain.summary().successful, 1u);
    // Frames taken by a session or failed never stop the reading of a file.
    EXPECT_TRUE(chain.feed(frame(kIsoTpId, concat({0x10, 0x0A}, counting(6, 0)))));
    EXPECT_TRUE(chain.feed(frame(kIsoTpId, {0x50})));
    FileInfo info;
    EXPECT_FALSE(chain.manager->onFileStart(info, false));
    EXPECT_FALSE(chain.manager->onFileEnd(info));
}

TEST(TpManager, ReentryDuringACompletionKeepsTheCountsAndLaterSessions) {
    Chain chain;
    configureIsoTp(*chain.manager);
    configureIsoTp(*chain.manager, 2);
    bool reentered = false;
    chain.sink.onEach = [&](const LogRecord& passedOn) {
        if (reentered || passedOn.channel != 1)
            return;
        reentered = true;
        // While the outer message is passed on: a message on another channel completes, a stray
        // frame hits the completed session under the outer key, and a new transfer opens there.
        chain.feed(frame(kIsoTpId, {0x02, 0xB0, 0xB1}, 2));
        chain.feed(frame(kIsoTpId, {0x01, 0xC0}, 1));
        chain.feed(frame(kIsoTpId, concat({0x10, 0x0A}, counting(6, 0)), 1));
    };
    chain.feed(frame(kIsoTpId, concat({0x10, 0x0A}, counting(6, 0))));
    chain.feed(frame(kIsoTpId, concat({0x21}, counting(7, 6))));
    ASSERT_EQ(chain.sink.records.size(), 2u);
    EXPECT_EQ(chain.sink.records[0].payload, counting(10, 0));
    EXPECT_EQ(chain.sink.records[1].channel, 2);
    TpSummary summary = chain.summary();
    EXPECT_EQ(summary.successful, 2u);
    EXPECT_EQ(summary.failed, 1u);
    // The transfer opened during the outer call survives the removal of the outer session.
    EXPECT_EQ(summary.unfinished, 1u);
    chain.feed(frame(kIsoTpId, concat({0x21}, counting(7, 6))));
    EXPECT_EQ(chain.sink.records.size(), 3u);
}

} // namespace
} // namespace loglathe
