#include "tp/fast_packet_session.h"

#include "tp_test_support.h"

#include <gtest/gtest.h>

namespace loglathe {
namespace {

using namespace test;

constexpr uint32_t kId = 0x09F80123;

TpResult feed(FastPacketSession& session, Bytes bytes, LogRecord* out = nullptr) {
    return processFrame(session, extendedFrame(kId, std::move(bytes)), out);
}

TEST(FastPacketSession, TenByteMessageDropsTheSurplusOfItsLastFrame) {
    FastPacketSession session;
    EXPECT_EQ(feed(session, concat({0x40, 0x0A}, counting(6, 0))), TpResult::InProgress);
    LogRecord out;
    ASSERT_EQ(feed(session, concat({0x41}, counting(7, 6)), &out), TpResult::Complete);
    EXPECT_EQ(out.payload, counting(10, 0));
    EXPECT_EQ(out.identifier, kId);
}

TEST(FastPacketSession, ShortMessageCompletesInItsFirstFrame) {
    FastPacketSession session;
    LogRecord out;
    ASSERT_EQ(feed(session, {0x40, 0x04, 0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF}, &out), TpResult::Complete);
    EXPECT_EQ(out.payload, (Bytes{0x01, 0x02, 0x03, 0x04}));

    FastPacketSession empty;
    ASSERT_EQ(feed(empty, {0x20, 0x00, 0xFF, 0xFF}, &out), TpResult::Complete);
    EXPECT_TRUE(out.payload.empty());
}

TEST(FastPacketSession, OtherSequenceCounterFails) {
    FastPacketSession session;
    feed(session, concat({0x40, 0x0A}, counting(6, 0)));
    EXPECT_EQ(feed(session, concat({0x61}, counting(7, 0))), TpResult::Error);
    EXPECT_EQ(session.state(), TpState::Failed);
}

TEST(FastPacketSession, SkippedFrameCounterFails) {
    FastPacketSession session;
    feed(session, concat({0x40, 0x14}, counting(6, 0)));
    EXPECT_EQ(feed(session, concat({0x42}, counting(7, 0))), TpResult::Error);
}

TEST(FastPacketSession, NewFirstFrameFailsAMessageBeingReceived) {
    FastPacketSession session;
    feed(session, concat({0x40, 0x14}, counting(6, 0)));
    EXPECT_EQ(feed(session, concat({0x60, 0x14}, counting(6, 0))), TpResult::Error);
}

TEST(FastPacketSession, IdleSessionAcceptsOnlyAFirstFrame) {
    FastPacketSession following;
    EXPECT_EQ(feed(following, concat({0x41}, counting(7, 0))), TpResult::Error);
    FastPacketSession oneByte;
    EXPECT_EQ(feed(oneByte, {0x40}), TpResult::Error);
    FastPacketSession empty;
    EXPECT_EQ(feed(empty, {}), TpResult::Error);
}

TEST(FastPacketSession, LargestMessageCompletesAndALongerOneWaitsThenFails) {
    FastPacketSession largest;
    feed(largest, concat({0x00, uint8_t(kFastPacketPayloadLimit)}, counting(6, 0)));
    LogRecord out;
    for (uint8_t counter = 1; counter < 31; ++counter)
        ASSERT_EQ(feed(largest, concat({counter}, counting(7, 0))), TpResult::InProgress);
    ASSERT_EQ(feed(largest, concat({31}, counting(7, 0)), &out), TpResult::Complete);
    EXPECT_EQ(out.payload.size(), kFastPacketPayloadLimit);

    FastPacketSession longer;
    feed(longer, concat({0x00, 0xE0}, counting(6, 0))); // 224 bytes cannot fit in 32 frames
    for (uint8_t counter = 1; counter <= 31; ++counter)
        ASSERT_EQ(feed(longer, concat({counter}, counting(7, 0))), TpResult::InProgress);
    EXPECT_EQ(feed(longer, concat({0x00}, counting(7, 0))), TpResult::Error);
}

} // namespace
} // namespace loglathe
