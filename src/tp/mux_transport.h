#pragma once
// Unpacks MUX containers (reassembled ISO-TP messages carrying packed CAN frames) and feeds every
// embedded frame back into the re-entry sink; everything else goes on to the next sink.

#include "db/message_db.h"
#include "input/message_sink.h"

#include <array>
#include <cstdint>
#include <memory>

namespace loglathe {

class MuxTransport : public MessageSink {};

// Target channel of the item indexes 0..3.
using MuxChannelTable = std::array<uint8_t, 4>;

// `next` must outlive the transport; `reentry` may be null until muxAttach.
std::unique_ptr<MuxTransport> muxCreate(MessageSink& next, MessageSink* reentry);
bool muxAttach(MuxTransport* mux, MessageSink* reentry);

// Declares the container message `key` on `channel`. `keyRule` is the bus type of the database that
// declared it: records are matched by canKey, and for J1939 databases also by j1939Key, so that
// containers sent from any source address are found. Bus kinds other than CAN answer false.
bool muxConfigure(MuxTransport& mux, int32_t busKind, uint8_t channel, DbMsgKey key,
                  const MuxChannelTable& table, BusType keyRule);

} // namespace loglathe
