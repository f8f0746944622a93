#include "tp/j1939_tp_session.h"

#include "tp_test_support.h"

#include <gtest/gtest.h>

namespace loglathe {
namespace {

using namespace test;

// Priority 6, global destination, source 0x25.
constexpr uint32_t kBamCm = 0x18ECFF25;
constexpr uint32_t kBamDt = 0x18EBFF25;
// Priority 7, destination 0x10, source 0x25.
constexpr uint32_t kRtsCm = 0x1CEC1025;
constexpr uint32_t kRtsDt = 0x1CEB1025;

TpResult feed(J1939TpSession& session, uint32_t id, Bytes bytes, LogRecord* out = nullptr) {
    return processFrame(session, extendedFrame(id, std::move(bytes)), out);
}

Bytes announce(uint8_t control, uint16_t size, uint32_t pgn) {
    uint8_t packets = uint8_t((size + 6) / 7);
    return {control, uint8_t(size & 0xFF), uint8_t(size >> 8), packets,
            0xFF,    uint8_t(pgn),         uint8_t(pgn >> 8),  uint8_t(pgn >> 16)};
}

TEST(J1939TpSession, BroadcastBuildsTheFourteenByteMessageUnderItsOwnGroup) {
    J1939TpSession session;
    EXPECT_EQ(feed(session, kBamCm, {0x20, 0x0E, 0x00, 0x02, 0xFF, 0xCA, 0xFE, 0x00}), TpResult::InProgress);
    EXPECT_EQ(session.pgn(), 0xFECAu);
    EXPECT_EQ(session.totalSize(), 14u);
    EXPECT_EQ(feed(session, kBamDt, concat({0x01}, counting(7, 0))), TpResult::InProgress);
    LogRecord out;
    ASSERT_EQ(feed(session, kBamDt, concat({0x02}, counting(7, 7)), &out), TpResult::Complete);
    EXPECT_EQ(out.payload, counting(14, 0));
    // Priority and source of the packets, PGN 0xFECA in bits 8-25.
    EXPECT_EQ(out.identifier, 0x18FECA25u);
    EXPECT_EQ(out.extended, 1);
}

TEST(J1939TpSession, PeerToPeerTransferOfAPdu1GroupKeepsTheDestination) {
    J1939TpSession session;
    feed(session, kRtsCm, announce(kJ1939TpCmRts, 10, 0x00EF00));
    feed(session, kRtsDt, concat({0x01}, counting(7, 0)));
    LogRecord out;
    ASSERT_EQ(feed(session, kRtsDt, concat({0x02}, counting(7, 7)), &out), TpResult::Complete);
    EXPECT_EQ(out.identifier, 0x1CEF1025u);
    EXPECT_EQ(out.payload, counting(10, 0));
}

TEST(J1939TpSession, RewritesIdentifiersByTheKindOfTheTransportedGroup) {
    // PDU2: the group extension comes from the PGN, the frame's destination byte is dropped.
    EXPECT_EQ(j1939TpRewriteIdentifier(0x18EBFF25, 0xFECA), 0x18FECA25u);
    // PDU1: destination and source stay, data page and PDU format come from the PGN.
    EXPECT_EQ(j1939TpRewriteIdentifier(0x1CEB1025, 0x1EF00), 0x1DEF1025u);
}

TEST(J1939TpSession, SizeNotAMultipleOfSevenDropsTheSurplusOfTheLastPacket) {
    J1939TpSession session;
    feed(session, kBamCm, announce(kJ1939TpCmBam, 9, 0xFEE3));
    feed(session, kBamDt, concat({0x01}, counting(7, 0)));
    LogRecord out;
    ASSERT_EQ(feed(session, kBamDt, concat({0x02}, counting(7, 7)), &out), TpResult::Complete);
    EXPECT_EQ(out.payload, counting(9, 0));
}

TEST(J1939TpSession, SequenceGapFails) {
    J1939TpSession session;
    feed(session, kBamCm, announce(kJ1939TpCmBam, 20, 0xFEE3));
    EXPECT_EQ(feed(session, kBamDt, concat({0x01}, counting(7, 0))), TpResult::InProgress);
    EXPECT_EQ(feed(session, kBamDt, concat({0x03}, counting(7, 0))), TpResult::Error);
    EXPECT_EQ(session.state(), TpState::Failed);
}

TEST(J1939TpSession, ShortDataPacketFailsEvenWhenItWouldComplete) {
    J1939TpSession session;
    feed(session, kBamCm, announce(kJ1939TpCmBam, 9, 0xFEE3));
    feed(session, kBamDt, concat({0x01}, counting(7, 0)));
    EXPECT_EQ(feed(session, kBamDt, concat({0x02}, counting(6, 0))), TpResult::Error);
}

TEST(J1939TpSession, RepeatedAnnouncementNeitherRestartsNorEndsTheTransfer) {
    J1939TpSession session;
    feed(session, kBamCm, announce(kJ1939TpCmBam, 14, 0xFECA));
    feed(session, kBamDt, concat({0x01}, counting(7, 0)));
    EXPECT_EQ(feed(session, kBamCm, announce(kJ1939TpCmBam, 30, 0xFEE3)), TpResult::InProgress);
    LogRecord out;
    ASSERT_EQ(feed(session, kBamDt, concat({0x02}, counting(7, 7)), &out), TpResult::Complete);
    EXPECT_EQ(out.identifier, 0x18FECA25u);
}

TEST(J1939TpSession, AnnouncementsAndPacketsOutOfPlaceAreErrors) {
    J1939TpSession shortAnnouncement;
    EXPECT_EQ(feed(shortAnnouncement, kBamCm, {0x20, 0x0E, 0x00, 0x02, 0xFF, 0xCA, 0xFE}), TpResult::Error);
    J1939TpSession packetFirst;
    EXPECT_EQ(feed(packetFirst, kBamDt, concat({0x01}, counting(7, 0))), TpResult::Error);
    J1939TpSession clearToSend;
    EXPECT_EQ(feed(clearToSend, kRtsCm, {0x11, 0x02, 0x01, 0xFF, 0xFF, 0x00, 0xEF, 0x00}), TpResult::Error);
    J1939TpSession empty;
    EXPECT_EQ(feed(empty, kBamCm, {}), TpResult::Error);
    J1939TpSession otherGroup;
    EXPECT_EQ(feed(otherGroup, 0x18FECA25, announce(kJ1939TpCmBam, 14, 0xFECA)), TpResult::Error);
    // With the data page bit set the frame is not TP.CM.
    J1939TpSession dataPage;
    EXPECT_EQ(feed(dataPage, 0x19ECFF25, announce(kJ1939TpCmBam, 14, 0xFECA)), TpResult::Error);
}

TEST(J1939TpSession, CompletesAfter255PacketsAndFailsWhenMoreIsAnnounced) {
    J1939TpSession full;
    feed(full, kBamCm, announce(kJ1939TpCmBam, uint16_t(kJ1939TpPayloadLimit), 0xFEE3));
    LogRecord out;
    for (int sequence = 1; sequence < 255; ++sequence)
        ASSERT_EQ(feed(full, kBamDt, concat({uint8_t(sequence)}, counting(7, 0))), TpResult::InProgress);
    ASSERT_EQ(feed(full, kBamDt, concat({0xFF}, counting(7, 0)), &out), TpResult::Complete);
    EXPECT_EQ(out.payload.size(), kJ1939TpPayloadLimit);

    J1939TpSession tooLong;
    feed(tooLong, kBamCm, announce(kJ1939TpCmBam, 2000, 0xFEE3));
    for (int sequence = 1; sequence <= 255; ++sequence)
        ASSERT_EQ(feed(tooLong, kBamDt, concat({uint8_t(sequence)}, counting(7, 0))), TpResult::InProgress);
    // No sequence number follows 255.
    EXPECT_EQ(feed(tooLong, kBamDt, concat({0x00}, counting(7, 0))), TpResult::Error);
}

} // namespace
} // namespace loglathe
