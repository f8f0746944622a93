#pragma once
// Routes frames of messages carried by a transport protocol to reassembly sessions and passes every
// completed message, and everything else, on to the next sink.

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
    // Sessions still open count as unfinished.
    virtual TpSummary summary() = 0;
};

// `next` must outlive the manager.
std::unique_ptr<TpManager> tpManagerCreate(MessageSink& next);

// Declares that messages with `key` on `channel` of a database of `dbBusType` are carried by
// `protocol`. The first configuration of a key wins.
bool tpManagerConfigure(TpManager& manager, BusType dbBusType, uint8_t channel, DbMsgKey key,
                        TransportProtocolType protocol);

TpSummary tpManagerSummary(TpManager& manager);

} // namespace loglathe
