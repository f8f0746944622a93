#pragma once
// Reassembly of one J1939 multi-packet message from its connection management (TP.CM, PGN 0xEC00)
// announcement and its data transfer (TP.DT, PGN 0xEB00) packets. The session only listens: broadcast
// (BAM) and peer-to-peer (RTS/CTS) transfers are treated alike and nothing is sent. The completed
// message carries the identifier of the parameter group it transports, with the priority, source and
// (for PDU1 groups) destination address of its packets.

#include "tp/tp_session.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace loglathe {

// 255 packets of 7 bytes: the largest message a transfer can complete.
constexpr uint32_t kJ1939TpPayloadLimit = 255 * 7;

constexpr uint8_t kJ1939TpCmRts = 16; // request to send
constexpr uint8_t kJ1939TpCmBam = 32; // broadcast announce message

// Identifier of a completed message: the transported `pgn` in the place of the TP.DT group of `id`.
uint32_t j1939TpRewriteIdentifier(uint32_t id, uint32_t pgn);

class J1939TpSession : public TpSession {
public:
    TpState state() const { return state_; }
    uint32_t pgn() const { return pgn_; }
    uint32_t totalSize() const { return totalSize_; }

private:
    TpResult process(LogRecord& record) override;
    TpResult announcement(const LogRecord& record);
    TpResult dataTransfer(LogRecord& record);

    TpState state_ = TpState::Idle;
    uint32_t pgn_ = 0;
    int32_t lastSequence_ = 0;
    uint32_t totalSize_ = 0;
    std::vector<uint8_t> payload_;
};

// A new idle session, or null when memory is exhausted.
std::unique_ptr<J1939TpSession> j1939TpSessionCreate();

} // namespace loglathe
