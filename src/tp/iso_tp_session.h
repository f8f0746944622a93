#pragma once
// Reassembly of one ISO-TP message (normal addressing) from the frames a logger recorded. The session
// only listens: it follows the protocol control information of byte 0 (single, first, consecutive and
// flow control frames), sends nothing and applies no timing rule.

#include "tp/tp_session.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace loglathe {

// Largest message the session collects; a longer one fails at the consecutive frame that passes it.
constexpr uint32_t kIsoTpPayloadLimit = 8192;

class IsoTpSession : public TpSession {
public:
    TpState state() const { return state_; }
    uint32_t expectedLength() const { return expectedLength_; }
    const std::vector<uint8_t>& payload() const { return payload_; }

private:
    TpResult process(LogRecord& record) override;
    TpResult singleFrame(LogRecord& record);
    TpResult firstFrame(const LogRecord& record);
    TpResult consecutiveFrame(LogRecord& record);
    TpResult flowControl(const LogRecord& record);
    TpResult fail();
    TpResult complete(LogRecord& record);

    TpState state_ = TpState::Idle;
    int32_t sequence_ = 0; // consecutive frames accepted since the first frame, compared modulo 16
    uint32_t expectedLength_ = 0;
    std::vector<uint8_t> payload_;
};

// A new idle session, or null when memory is exhausted.
std::unique_ptr<IsoTpSession> isoTpSessionCreate();

} // namespace loglathe
