#pragma once
// DbMsgKey: the 32-bit key of a message, derived from a frame identifier by the rule of the
// database's bus type. The parser, the writer and the transport-protocol stages share these.

#include <cstdint>

namespace loglathe {

using DbMsgKey = uint32_t;

enum class BusType : uint32_t { Invalid = 0, Can = 1, J1939 = 2, Lin = 3 };

// Extended: 29 identifier bits with bit 31 set as marker; standard: the 11 identifier bits.
constexpr DbMsgKey canKey(uint32_t identifier, bool extended) {
    return extended ? ((identifier & 0x1FFFFFFFu) | 0x80000000u) : (identifier & 0x7FFu);
}

// Extended: the parameter group without priority and source address, and for PDU1 (PF < 240)
// without the destination address. Standard identifiers are keyed like CAN.
constexpr DbMsgKey j1939Key(uint32_t identifier, bool extended) {
    if (!extended)
        return identifier & 0x7FFu;
    uint32_t pf = (identifier >> 16) & 0xFF;
    uint32_t group = pf < 240 ? (identifier & 0x03FF0000u) : (identifier & 0x03FFFF00u);
    return canKey(group, extended);
}

constexpr DbMsgKey linKey(uint32_t identifier) {
    return identifier & 0x3Fu;
}

// Key of a DBC message identifier (bit 31 marks an extended identifier). Logs a fatal diagnostic
// and answers 0 for an invalid bus type.
DbMsgKey dbcMsgKey2DbMsgKey(BusType busType, uint32_t dbcIdentifier);

// Key of a received frame for a database of the given bus type: J1939 databases key extended
// frames by j1939Key and standard frames by canKey.
constexpr DbMsgKey frameKey(BusType busType, uint32_t identifier, bool extended) {
    switch (busType) {
    case BusType::J1939:
        return extended ? j1939Key(identifier, true) : canKey(identifier, false);
    case BusType::Lin:
        return linKey(identifier);
    default:
        return canKey(identifier, extended);
    }
}

constexpr DbMsgKey kJ1939TpCmKey = j1939Key(0xEC0000, true); // 0x80EC0000
constexpr DbMsgKey kJ1939TpDtKey = j1939Key(0xEB0000, true); // 0x80EB0000

} // namespace loglathe
