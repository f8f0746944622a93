#pragma once
// A reassembly session: collects the frames of one multi-frame message that share a session key and
// reports when the message is whole. The TpManager owns every session, feeds it the frames of its key
// and frees it as soon as it reports complete or error, so a session never sees a frame after either.

#include "input/log_record.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace loglathe {

enum class TpResult : int32_t {
    InProgress = 0, // the frame was taken, nothing to pass on
    Complete = 1,   // the record given to the session now holds the whole message
    Error = 2,      // the session is dead
};

enum class TpState : int32_t { Idle = 0, Receiving = 1, Complete = 2, Failed = 3 };

class TpSession {
public:
    virtual ~TpSession() = default;

protected:
    // Called only through tpSessionProcess(). A session kind that does not replace this answers
    // error for every frame.
    virtual TpResult process(LogRecord& record) {
        (void)record;
        return TpResult::Error;
    }

    friend TpResult tpSessionProcess(TpSession& session, LogRecord& record);
};

// Feeds one frame to a session.
inline TpResult tpSessionProcess(TpSession& session, LogRecord& record) {
    return session.process(record);
}

// Reserves room for `bytes` in a payload whose size was announced by the input. Answers false when the
// memory cannot be had, so that the session can report an error instead of ending the run.
bool tpReservePayload(std::vector<uint8_t>& payload, std::size_t bytes);

// Hands a collected message to the record by exchanging the two byte strings: the record ends up with
// the message, the session with the frame's old bytes, and nothing is copied.
inline void tpHandOver(std::vector<uint8_t>& collected, LogRecord& record) {
    collected.swap(record.payload);
}

} // namespace loglathe
