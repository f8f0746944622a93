#pragma once
// Routes frames of messages carried by a transport protocol to reassembly sessions and passes every
// completed message, and everything else, on to the next sink.
//
// Configuration says which (bus kind, channel, key) is carried by which protocol; the first
// configuration of a key wins. On channels that carry a J1939 database, extended frames are looked up
// by their J1939 key and, where that finds nothing, by their CAN key; TP.DT frames are looked up
// under the TP.CM key and only TP.CM announcements (RTS, BAM) reach a session. A completed message is
// passed on as the very record that brought its last frame, its payload replaced by the whole message.
// Protocol errors are counted and logged, never stop the reading of a file. Sessions survive a file
// start only when the new file continues the previous one.
//
// The manager may be re-entered from its next sink (a MUX container unpacked further down feeds its
// frames back in) while it passes a completed message on.

#include "db/message_db.h"
#include "input/message_sink.h"

#include <cstdint>
#include <memory>

namespace loglathe {

struct TpSummary {
    uint64_t successful = 0;
    uint64_t failed = 0;
    uint64_t unfinished = 0;
};

class TpManager : public MessageSink {
public:
    virtual uint32_t openSessions() const = 0;

private:
    // Reached through tpManagerSummary() and tpManagerConfigure().
    virtual TpSummary summary() = 0;
    virtual bool configure(BusType dbBusType, uint8_t channel, DbMsgKey key,
                           TransportProtocolType protocol) = 0;

    friend // The counters, with the sessions still open counted as unfinished.
        TpSummary
        tpManagerSummary(TpManager& manager);
    friend bool tpManagerConfigure(TpManager& manager, BusType dbBusType, uint8_t channel, DbMsgKey key,
                                   TransportProtocolType protocol);
};

// `next` must outlive the manager. Null when memory is exhausted. Open sessions are dropped silently
// when the manager is destroyed.
std::unique_ptr<TpManager> tpManagerCreate(MessageSink& next);

// Declares that messages with `key` on `channel` of a database of `dbBusType` are carried by
// `protocol`. The first configuration of a key wins. False only when the entry cannot be stored.
bool tpManagerConfigure(TpManager& manager, BusType dbBusType, uint8_t channel, DbMsgKey key,
                        TransportProtocolType protocol);

TpSummary tpManagerSummary(TpManager& manager);

} // namespace loglathe
