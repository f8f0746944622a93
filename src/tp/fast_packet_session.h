#pragma once
// Reassembly of one NMEA 2000 fast-packet message: a first frame announcing the length, then up to 31
// following frames with the same identifier and sequence counter and a rising frame counter. The
// session only listens and keeps one message per identifier at a time; the completed message keeps the
// identifier of its frames.

#include "tp/tp_session.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace loglathe {

// 6 bytes in the first frame and 7 in each of 31 following frames.
constexpr uint32_t kFastPacketPayloadLimit = 6 + 31 * 7;

class FastPacketSession : public TpSession {
public:
    TpState state() const { return state_; }
    uint32_t totalLength() const { return totalLength_; }

private:
    TpResult process(LogRecord& record) override;
    TpResult firstFrame(LogRecord& record);
    TpResult followingFrame(LogRecord& record);
    TpResult fail();
    TpResult completeIfFull(LogRecord& record);

    TpState state_ = TpState::Idle;
    int32_t sequenceCounter_ = 0;
    int32_t frameCounter_ = 0;
    uint32_t totalLength_ = 0;
    std::vector<uint8_t> payload_;
};

// A new idle session, or null when memory is exhausted.
std::unique_ptr<FastPacketSession> fastPacketSessionCreate();

} // namespace loglathe
