#include "tp/fast_packet_session.h"

#include <algorithm>
#include <new>

namespace loglathe {

namespace {

int32_t frameCounterOf(uint8_t byte0) {
    return byte0 & 0x1F;
}
int32_t sequenceCounterOf(uint8_t byte0) {
    return byte0 >> 5;
}

} // namespace

std::unique_ptr<FastPacketSession> fastPacketSessionCreate() {
    return std::unique_ptr<FastPacketSession>(new (std::nothrow) FastPacketSession());
}

TpResult FastPacketSession::process(LogRecord& record) {
    if (record.payload.empty())
        return fail();
    if (state_ == TpState::Idle)
        return firstFrame(record);
    return followingFrame(record);
}

TpResult FastPacketSession::fail() {
    state_ = TpState::Failed;
    return TpResult::Error;
}

TpResult FastPacketSession::completeIfFull(LogRecord& record) {
    if (payload_.size() < totalLength_) {
        state_ = TpState::Receiving;
        return TpResult::InProgress;
    }
    tpHandOver(payload_, record);
    state_ = TpState::Complete;
    return TpResult::Complete;
}

// 40 0A d d d d d d: sequence counter 2, frame counter 0, a 10-byte message, its first 6 bytes.
TpResult FastPacketSession::firstFrame(LogRecord& record) {
    const uint8_t* bytes = record.payload.data();
    const std::size_t n = record.payload.size();
    if (frameCounterOf(bytes[0]) != 0 || n == 1)
        return fail();
    frameCounter_ = 0;
    sequenceCounter_ = sequenceCounterOf(bytes[0]);
    totalLength_ = bytes[1];
    if (!tpReservePayload(payload_, std::min(totalLength_, kFastPacketPayloadLimit)))
        return fail();
    std::size_t take = std::min<std::size_t>(totalLength_, n - 2);
    payload_.assign(bytes + 2, bytes + 2 + take);
    return completeIfFull(record);
}

// 41 d d d d d d d: sequence counter 2, frame counter 1, the next 7 bytes.
TpResult FastPacketSession::followingFrame(LogRecord& record) {
    const uint8_t* bytes = record.payload.data();
    const std::size_t n = record.payload.size();
    if (state_ != TpState::Receiving || frameCounterOf(bytes[0]) == 0)
        return fail();
    state_ = TpState::Failed;
    if (sequenceCounterOf(bytes[0]) != sequenceCounter_ || frameCounterOf(bytes[0]) != frameCounter_ + 1)
        return TpResult::Error;
    frameCounter_ = frameCounterOf(bytes[0]);
    std::size_t take = std::min<std::size_t>(n - 1, totalLength_ - payload_.size());
    payload_.insert(payload_.end(), bytes + 1, bytes + 1 + take);
    return completeIfFull(record);
}

} // namespace loglathe
