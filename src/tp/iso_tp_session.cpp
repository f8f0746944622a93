#include "tp/iso_tp_session.h"

#include "platform/diag_log.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace loglathe {

namespace {

enum FrameType : uint8_t {
    kSingleFrame = 0,
    kFirstFrame = 1,
    kConsecutiveFrame = 2,
    kFlowControl = 3,
};

enum FlowStatus : uint8_t { kContinueToSend = 0, kWait = 1 };

// Moves `length` bytes starting at `offset` to the front of the record's payload and drops the rest.
// A single frame's message is already in the record, so it completes without a copy into the session.
void keepInPlace(LogRecord& record, std::size_t offset, std::size_t length) {
    std::vector<uint8_t>& bytes = record.payload;
    if (offset != 0 && length != 0)
        std::memmove(bytes.data(), bytes.data() + offset, length);
    bytes.resize(length);
}

} // namespace

std::unique_ptr<IsoTpSession> isoTpSessionCreate() {
    return std::unique_ptr<IsoTpSession>(new (std::nothrow) IsoTpSession());
}

TpResult IsoTpSession::process(LogRecord& record) {
    if (record.payload.empty())
        return fail();
    switch (record.payload[0] >> 4) {
    case kSingleFrame:
        return singleFrame(record);
    case kFirstFrame:
        return firstFrame(record);
    case kConsecutiveFrame:
        return consecutiveFrame(record);
    case kFlowControl:
        return flowControl(record);
    default:
        return TpResult::Error;
    }
}

TpResult IsoTpSession::fail() {
    state_ = TpState::Failed;
    return TpResult::Error;
}

TpResult IsoTpSession::complete(LogRecord& record) {
    tpHandOver(payload_, record);
    state_ = TpState::Complete;
    return TpResult::Complete;
}

// 03 11 22 33 AA AA AA AA: three data bytes, then padding. 00 0A ...: CAN FD escape, length in byte 1.
TpResult IsoTpSession::singleFrame(LogRecord& record) {
    if (state_ != TpState::Idle)
        return TpResult::Error;
    const std::size_t n = record.payload.size();
    std::size_t offset = 1;
    uint32_t length = record.payload[0] & 0x0F;
    if (length == 0) {
        if (n == 1)
            return TpResult::Error;
        length = record.payload[1];
        offset = 2;
    }
    expectedLength_ = length;
    if (n - offset < length)
        return TpResult::Error;
    keepInPlace(record, offset, length);
    state_ = TpState::Complete;
    return TpResult::Complete;
}

// 10 13 d d d d d d: 12-bit length 0x013. 10 00 00 00 30 00 d d: escape, 32-bit length 0x3000.
TpResult IsoTpSession::firstFrame(const LogRecord& record) {
    if (state_ != TpState::Idle)
        return TpResult::Error;
    const uint8_t* bytes = record.payload.data();
    const std::size_t n = record.payload.size();
    if (n == 1)
        return TpResult::Error;
    std::size_t offset = 2;
    if (bytes[0] == 0x10 && bytes[1] == 0) {
        if (n < 6)
            return TpResult::Error;
        expectedLength_ = (uint32_t(bytes[2]) << 24) | (uint32_t(bytes[3]) << 16) |
                          (uint32_t(bytes[4]) << 8) | uint32_t(bytes[5]);
        offset = 6;
    } else {
        expectedLength_ = (uint32_t(bytes[0] & 0x0F) << 8) | bytes[1];
    }
    if (!tpReservePayload(payload_, std::min(expectedLength_, kIsoTpPayloadLimit)))
        return fail();
    // A first frame that carries more than it announces is cut to the announced length, so that the
    // message never exceeds what its sender declared.
    std::size_t take = std::min<std::size_t>(n - offset, expectedLength_);
    payload_.assign(bytes + offset, bytes + offset + take);
    sequence_ = 0;
    state_ = TpState::Receiving;
    return TpResult::InProgress;
}

// 21 d d d d d d d: sequence number 1, up to seven data bytes (more in a CAN FD frame).
TpResult IsoTpSession::consecutiveFrame(LogRecord& record) {
    if (state_ != TpState::Receiving)
        return TpResult::Error;
    state_ = TpState::Failed;
    const uint8_t* bytes = record.payload.data();
    const std::size_t n = record.payload.size();
    if ((bytes[0] & 0x0F) != ((sequence_ + 1) & 0x0F))
        return TpResult::Error;
    ++sequence_;
    if (n > 1) {
        std::size_t take = std::min<std::size_t>(n - 1, expectedLength_ - payload_.size());
        if (payload_.size() + take > kIsoTpPayloadLimit) {
            diagLog(kDiagWarning, "ISO-TP payload overflow (%u)", kIsoTpPayloadLimit);
            return TpResult::Error;
        }
        payload_.insert(payload_.end(), bytes + 1, bytes + 1 + take);
    }
    if (payload_.size() < expectedLength_) {
        state_ = TpState::Receiving;
        return TpResult::InProgress;
    }
    return complete(record);
}

// 30 00 00: continue to send, block size 0, no separation time; 31 ...: wait. Both are only noted.
TpResult IsoTpSession::flowControl(const LogRecord& record) {
    if (state_ != TpState::Receiving)
        return TpResult::Error;
    if (record.payload.size() <= 2)
        return fail();
    uint8_t status = record.payload[0] & 0x0F;
    if (status == kContinueToSend || status == kWait)
        return TpResult::InProgress;
    return fail();
}

} // namespace loglathe
