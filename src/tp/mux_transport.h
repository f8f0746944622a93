#pragma once
// Unpacks MUX containers (reassembled ISO-TP messages carrying packed CAN frames) and feeds every
// embedded frame back into the re-entry sink; everything else goes on to the next sink.
//
// A container's items are forwarded as records of the target channel their index selects: data
// frames (bus kind 1), remote frames (2) and status items (3). Items with index 4-7 and items aimed at
// the container's own channel are skipped; a truncated last item is dropped. The transport keeps no
// state between records, so the re-entry sink may hand it another container (even a nested one) while
// it is still unpacking an outer one.

#include "db/message_db.h"
#include "input/message_sink.h"

#include <array>
#include <cstdint>
#include <memory>

namespace loglathe {

// Target channel of the item indexes 0..3.
using MuxChannelTable = std::array<uint8_t, 4>;

class MuxTransport : public MessageSink {
private:
    // Reached through muxAttach() and muxConfigure().
    virtual bool attach(MessageSink* reentry) = 0;
    virtual bool configure(BusKind busKind, uint8_t channel, DbMsgKey key, const MuxChannelTable& table,
                           BusType keyRule) = 0;

    friend bool muxAttach(MuxTransport* mux, MessageSink* reentry);
    friend bool muxConfigure(MuxTransport& mux, BusKind busKind, uint8_t channel, DbMsgKey key,
                             const MuxChannelTable& table, BusType keyRule);
};

// Data byte count of a 4-bit DLC code (classic and FD alike).
constexpr uint8_t dlcToLength(uint8_t code) {
    constexpr uint8_t kLengths[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    return kLengths[code & 0x0F];
}

// `next` must outlive the transport; `reentry` may be null until muxAttach. Null when memory is
// exhausted.
std::unique_ptr<MuxTransport> muxCreate(MessageSink& next, MessageSink* reentry);
// Sets the re-entry sink, which must outlive the transport. False when `mux` or `reentry` is null.
bool muxAttach(MuxTransport* mux, MessageSink* reentry);

// Declares the container message `key` on `channel`. `keyRule` is the bus type of the database that
// declared it: records are matched by canKey, and for J1939 databases also by j1939Key, so that
// containers sent from any source address are found. Bus kinds other than CAN answer false. The first
// configuration of a (channel, key) wins.
bool muxConfigure(MuxTransport& mux, BusKind busKind, uint8_t channel, DbMsgKey key,
                  const MuxChannelTable& table, BusType keyRule);

} // namespace loglathe
