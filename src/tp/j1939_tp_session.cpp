#include "tp/j1939_tp_session.h"

#include <algorithm>
#include <new>

namespace loglathe {

namespace {

constexpr uint32_t kTpCmGroup = 0xEC00;
constexpr uint32_t kTpDtGroup = 0xEB00;
constexpr std::size_t kPacketSize = 8;

// Parameter group of an identifier: PDU1 groups (PF below 240) drop the destination byte.
uint32_t groupOf(uint32_t id) {
    uint32_t pf = (id >> 16) & 0xFF;
    return (id >> 8) & (pf < 240 ? 0x3FF00u : 0x3FFFFu);
}

} // namespace

uint32_t j1939TpRewriteIdentifier(uint32_t id, uint32_t pgn) {
    bool pdu2 = ((pgn >> 8) & 0xFF) >= 240;
    if (pdu2)
        return ((pgn << 8) & 0x3FFFF00u) | (id & 0x1C0000FFu);
    return ((pgn << 8) & 0x3FF0000u) | (id & 0x1C00FFFFu);
}

std::unique_ptr<J1939TpSession> j1939TpSessionCreate() {
    return std::unique_ptr<J1939TpSession>(new (std::nothrow) J1939TpSession());
}

TpResult J1939TpSession::process(LogRecord& record) {
    uint32_t group = groupOf(record.identifier);
    if (group != kTpCmGroup && group != kTpDtGroup)
        return TpResult::Error;
    if (record.payload.empty()) {
        state_ = TpState::Failed;
        return TpResult::Error;
    }
    if (group == kTpCmGroup)
        return announcement(record);
    return dataTransfer(record);
}

// 20 0E 00 02 FF CA FE 00: BAM of 14 bytes in 2 packets for PGN 0x00FECA.
TpResult J1939TpSession::announcement(const LogRecord& record) {
    if (state_ == TpState::Receiving)
        return TpResult::InProgress; // a repeated announcement neither restarts nor ends the transfer
    if (state_ != TpState::Idle)
        return TpResult::Error;
    const uint8_t* bytes = record.payload.data();
    if (bytes[0] != kJ1939TpCmRts && bytes[0] != kJ1939TpCmBam)
        return TpResult::Error;
    state_ = TpState::Failed;
    if (record.payload.size() != kPacketSize)
        return TpResult::Error;
    totalSize_ = bytes[1] | (uint32_t(bytes[2]) << 8);
    pgn_ = bytes[5] | (uint32_t(bytes[6]) << 8) | (uint32_t(bytes[7]) << 16);
    lastSequence_ = 0;
    if (!tpReservePayload(payload_, std::min(totalSize_, kJ1939TpPayloadLimit)))
        return TpResult::Error;
    state_ = TpState::Receiving;
    return TpResult::InProgress;
}

// 01 d d d d d d d: packet 1 with its seven data bytes.
TpResult J1939TpSession::dataTransfer(LogRecord& record) {
    if (state_ != TpState::Receiving) {
        state_ = TpState::Failed;
        return TpResult::Error;
    }
    state_ = TpState::Failed;
    const uint8_t* bytes = record.payload.data();
    if (record.payload.size() != kPacketSize)
        return TpResult::Error;
    if (bytes[0] != lastSequence_ + 1)
        return TpResult::Error;
    lastSequence_ = bytes[0];
    std::size_t take = std::min<std::size_t>(totalSize_ - payload_.size(), kPacketSize - 1);
    payload_.insert(payload_.end(), bytes + 1, bytes + 1 + take);
    if (payload_.size() < totalSize_) {
        state_ = TpState::Receiving;
        return TpResult::InProgress;
    }
    tpHandOver(payload_, record);
    record.identifier = j1939TpRewriteIdentifier(record.identifier, pgn_);
    state_ = TpState::Complete;
    return TpResult::Complete;
}

} // namespace loglathe
