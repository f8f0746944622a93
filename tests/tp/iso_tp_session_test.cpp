#include "tp/iso_tp_session.h"

#include "tp_test_support.h"

#include <gtest/gtest.h>

namespace loglathe {
namespace {

using namespace test;

constexpr uint32_t kId = 0x7E8;

TpResult feed(IsoTpSession& session, Bytes bytes, LogRecord* out = nullptr) {
    return processFrame(session, frame(kId, std::move(bytes)), out);
}

TEST(IsoTpSession, SingleFrameKeepsItsDataAndDropsThePadding) {
    IsoTpSession session;
    LogRecord out;
    ASSERT_EQ(feed(session, {0x03, 0x11, 0x22, 0x33, 0xAA, 0xAA, 0xAA, 0xAA}, &out), TpResult::Complete);
    EXPECT_EQ(out.payload, (Bytes{0x11, 0x22, 0x33}));
    EXPECT_EQ(out.identifier, kId);
    EXPECT_EQ(session.state(), TpState::Complete);
}

TEST(IsoTpSession, SingleFrameWithFewerBytesThanItsLengthIsAnError) {
    IsoTpSession session;
    EXPECT_EQ(feed(session, {0x05, 0x11, 0x22}), TpResult::Error);
}

TEST(IsoTpSession, CanFdSingleFrameTakesItsLengthFromTheSecondByte) {
    IsoTpSession longer;
    LogRecord out;
    ASSERT_EQ(feed(longer, concat({0x00, 0x0A}, counting(12, 1)), &out), TpResult::Complete);
    EXPECT_EQ(out.payload, counting(10, 1));

    IsoTpSession empty;
    ASSERT_EQ(feed(empty, {0x00, 0x00}, &out), TpResult::Complete);
    EXPECT_TRUE(out.payload.empty());

    IsoTpSession noLength;
    EXPECT_EQ(feed(noLength, {0x00}), TpResult::Error);
    IsoTpSession tooShort;
    EXPECT_EQ(feed(tooShort, {0x00, 0x05, 1, 2}), TpResult::Error);
}

TEST(IsoTpSession, FirstAndConsecutiveFramesBuildTheNineteenByteMessage) {
    IsoTpSession session;
    LogRecord out;
    EXPECT_EQ(feed(session, concat({0x10, 0x13}, counting(6, 0)), &out), TpResult::InProgress);
    EXPECT_EQ(session.expectedLength(), 19u);
    EXPECT_EQ(feed(session, concat({0x21}, counting(7, 6))), TpResult::InProgress);
    ASSERT_EQ(feed(session, concat({0x22}, counting(7, 13)), &out), TpResult::Complete);
    // 6 + 7 + 6 bytes: the last byte of the second consecutive frame is padding.
    EXPECT_EQ(out.payload, counting(19, 0));
}

TEST(IsoTpSession, ConsecutiveFrameWithTheWrongSequenceNumberFails) {
    IsoTpSession session;
    feed(session, concat({0x10, 0x20}, counting(6, 0)));
    EXPECT_EQ(feed(session, concat({0x21}, counting(7, 0))), TpResult::InProgress);
    EXPECT_EQ(feed(session, concat({0x23}, counting(7, 0))), TpResult::Error);
    EXPECT_EQ(session.state(), TpState::Failed);
}

TEST(IsoTpSession, SequenceNumberWrapsToZeroAfterFifteen) {
    const uint32_t length = 6 + 17 * 7;
    IsoTpSession session;
    feed(session, concat({uint8_t(0x10 | (length >> 8)), uint8_t(length & 0xFF)}, counting(6, 0)));
    for (int sequence = 1; sequence <= 15; ++sequence)
        ASSERT_EQ(feed(session, concat({uint8_t(0x20 | sequence)}, counting(7, 0))), TpResult::InProgress);
    EXPECT_EQ(feed(session, concat({0x20}, counting(7, 0))), TpResult::InProgress);
    LogRecord out;
    EXPECT_EQ(feed(session, concat({0x21}, counting(7, 0)), &out), TpResult::Complete);
    EXPECT_EQ(out.payload.size(), length);

    IsoTpSession noWrap;
    feed(noWrap, concat({uint8_t(0x10 | (length >> 8)), uint8_t(length & 0xFF)}, counting(6, 0)));
    for (int sequence = 1; sequence <= 15; ++sequence)
        feed(noWrap, concat({uint8_t(0x20 | sequence)}, counting(7, 0)));
    EXPECT_EQ(feed(noWrap, concat({0x21}, counting(7, 0))), TpResult::Error);
}

TEST(IsoTpSession, MessageOfExactlyTheLimitCompletes) {
    IsoTpSession session;
    feed(session, {0x10, 0x00, 0x00, 0x00, 0x20, 0x00, 0xA0, 0xA1}); // 8192 bytes announced
    TpResult result = TpResult::InProgress;
    LogRecord out;
    int frames = 0;
    for (int sequence = 1; result == TpResult::InProgress && frames < 2000; ++sequence, ++frames)
        result = feed(session, concat({uint8_t(0x20 | (sequence & 0x0F))}, counting(7, 0)), &out);
    ASSERT_EQ(result, TpResult::Complete);
    EXPECT_EQ(frames, 1170);
    EXPECT_EQ(out.payload.size(), kIsoTpPayloadLimit);
}

TEST(IsoTpSession, LongerMessageFailsWithTheOverflowWarningOnceItPassesTheLimit) {
    DiagCapture diag;
    IsoTpSession session;
    // 32-bit escape announcing 12288 bytes; two data bytes travel in the first frame.
    ASSERT_EQ(feed(session, {0x10, 0x00, 0x00, 0x00, 0x30, 0x00, 0xA0, 0xA1}), TpResult::InProgress);
    EXPECT_EQ(session.expectedLength(), 12288u);
    // 2 + 1170 * 7 = 8192 bytes is still fine; the next frame would pass the limit.
    for (int sequence = 1; sequence <= 1170; ++sequence)
        ASSERT_EQ(feed(session, concat({uint8_t(0x20 | (sequence & 0x0F))}, counting(7, 0))),
                  TpResult::InProgress);
    EXPECT_EQ(feed(session, concat({uint8_t(0x20 | (1171 & 0x0F))}, counting(7, 0))), TpResult::Error);
    std::string text = diag.text();
    EXPECT_NE(text.find(" W ISO-TP payload overflow (8192)\n"), std::string::npos) << text;
}

TEST(IsoTpSession, FirstFrameCarryingMoreThanItAnnouncesIsCutToTheAnnouncedLength) {
    IsoTpSession session;
    EXPECT_EQ(feed(session, {0x10, 0x03, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}), TpResult::InProgress);
    EXPECT_EQ(session.payload(), (Bytes{0xA0, 0xA1, 0xA2}));
    // Nothing is missing; the next consecutive frame completes the message without adding to it.
    LogRecord out;
    ASSERT_EQ(feed(session, concat({0x21}, counting(7, 0)), &out), TpResult::Complete);
    EXPECT_EQ(out.payload, (Bytes{0xA0, 0xA1, 0xA2}));
}

TEST(IsoTpSession, FirstFrameNeedsItsLengthBytes) {
    IsoTpSession oneByte;
    EXPECT_EQ(feed(oneByte, {0x10}), TpResult::Error);
    IsoTpSession shortEscape;
    EXPECT_EQ(feed(shortEscape, {0x10, 0x00, 0x00, 0x00, 0x30}), TpResult::Error);
}

TEST(IsoTpSession, FirstFrameReservesTheAnnouncedLengthCappedAtTheLimit) {
    IsoTpSession small;
    feed(small, concat({0x10, 0x13}, counting(6, 0)));
    EXPECT_GE(small.payload().capacity(), 19u);

    IsoTpSession huge;
    feed(huge, {0x10, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x02});
    EXPECT_EQ(huge.expectedLength(), 0xFFFFFFFFu);
    EXPECT_GE(huge.payload().capacity(), kIsoTpPayloadLimit);
    EXPECT_LT(huge.payload().capacity(), 2 * kIsoTpPayloadLimit);
}

TEST(IsoTpSession, CompletionHandsOverTheCollectedBytesWithoutCopying) {
    IsoTpSession session;
    feed(session, concat({0x10, 0x0A}, counting(6, 0)));
    const uint8_t* collected = session.payload().data();
    LogRecord out = frame(kId, concat({0x21}, counting(7, 6)));
    ASSERT_EQ(tpSessionProcess(session, out), TpResult::Complete);
    EXPECT_EQ(out.payload.data(), collected);
    EXPECT_EQ(out.payload, counting(10, 0));
}

TEST(IsoTpSession, FlowControlIsAcceptedOnlyWhileReceiving) {
    IsoTpSession idle;
    EXPECT_EQ(feed(idle, {0x30, 0x00, 0x00}), TpResult::Error);

    IsoTpSession session;
    feed(session, concat({0x10, 0x0A}, counting(6, 0)));
    EXPECT_EQ(feed(session, {0x30, 0x00, 0x00}), TpResult::InProgress);
    EXPECT_EQ(feed(session, {0x31, 0x08, 0x14}), TpResult::InProgress);
    LogRecord out;
    EXPECT_EQ(feed(session, concat({0x21}, counting(7, 6)), &out), TpResult::Complete);
    EXPECT_EQ(out.payload, counting(10, 0));

    IsoTpSession overflow;
    feed(overflow, concat({0x10, 0x0A}, counting(6, 0)));
    EXPECT_EQ(feed(overflow, {0x32, 0x00, 0x00}), TpResult::Error);
    IsoTpSession shortFlow;
    feed(shortFlow, concat({0x10, 0x0A}, counting(6, 0)));
    EXPECT_EQ(feed(shortFlow, {0x30, 0x00}), TpResult::Error);
}

TEST(IsoTpSession, FramesOutOfPlaceAreErrors) {
    IsoTpSession idle;
    EXPECT_EQ(feed(idle, concat({0x21}, counting(7, 0))), TpResult::Error);
    IsoTpSession empty;
    EXPECT_EQ(feed(empty, {}), TpResult::Error);
    for (uint8_t type = 4; type < 16; ++type) {
        IsoTpSession session;
        EXPECT_EQ(feed(session, {uint8_t(type << 4), 0, 0, 0}), TpResult::Error) << int(type);
    }
    IsoTpSession receiving;
    feed(receiving, concat({0x10, 0x0A}, counting(6, 0)));
    EXPECT_EQ(feed(receiving, {0x01, 0x11}), TpResult::Error);
    EXPECT_EQ(feed(receiving, concat({0x10, 0x0A}, counting(6, 0))), TpResult::Error);
}

} // namespace
} // namespace loglathe
