#include "db/message_db.h"

#include "platform/diag_log.h"

#include <utility>

namespace loglathe {

uint64_t nameHash64(std::string_view name) {
    // FNV-1a over the bytes, then a final avalanche so that similar names spread over all bits.
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : name) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    return h;
}

DbMsgKey dbcMsgKey2DbMsgKey(BusType busType, uint32_t dbcIdentifier) {
    uint32_t extended = (dbcIdentifier >> 31) & 1;
    switch (busType) {
    case BusType::Can:
        return canKey(dbcIdentifier, extended);
    case BusType::J1939:
        return j1939Key(dbcIdentifier, extended);
    case BusType::Lin:
        return linKey(dbcIdentifier);
    default:
        diagLog(kDiagFatal, "dbcMsgKey2DbMsgKey called with invalid bus type");
        return 0;
    }
}

std::unique_ptr<MessageDb> createMessageDb(BusType busType) { return std::make_unique<MessageDb>(busType); }

DbMessage* dbAddMessage(MessageDb& db, std::string_view name, DbMsgKey key, uint32_t length,
                        TransportProtocolType tp, std::string_view tpParameter, bool ignored) {
    auto found = db.messages.find(key);
    if (found != db.messages.end()) {
        diagLog(kDiagError, "Message key collision: %u (%.*s, %s)", key, static_cast<int>(name.size()),
                name.data(), found->second.name.c_str());
        return nullptr;
    }
    DbMessage& message = db.messages[key];
    message.db = &db;
    message.name.assign(name);
    message.nameHash = nameHash64(name);
    message.length = length;
    message.ignored = ignored;
    message.transportProtocol = tp;
    message.tpParameter.assign(tpParameter);
    return &message;
}

const DbMessage* dbFind(const MessageDb* db, DbMsgKey key) {
    if (!db)
        return nullptr;
    auto found = db->messages.find(key);
    return found == db->messages.end() ? nullptr : &found->second;
}

DbSignal* addSignal(std::vector<DbSignal>& signals, std::string_view name, const SignalLayout& layout,
                    bool ignored) {
    int type = static_cast<int>(layout.valueType);
    if (type < 1 || type > 4)
        return nullptr;
    DbSignal& signal = signals.emplace_back();
    signal.name.assign(name);
    signal.nameHash = nameHash64(name);
    signal.ignored = ignored;
    signal.layout = layout;
    return &signal;
}

DbSignal* findSignalByName(std::vector<DbSignal>& signals, std::string_view name) {
    // Depth-first without recursion, so that deep multiplexor chains cannot exhaust the stack.
    struct Frame {
        std::vector<DbSignal>* signals;
        std::size_t index;
    };
    std::vector<Frame> stack{{&signals, 0}};
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.index >= top.signals->size()) {
            stack.pop_back();
            continue;
        }
        DbSignal& signal = (*top.signals)[top.index++];
        if (signal.name == name)
            return &signal;
        // Groups of this signal come before its next sibling; push them in reverse so the first
        // group is searched first.
        for (auto group = signal.muxGroups.rbegin(); group != signal.muxGroups.rend(); ++group)
            stack.push_back({&group->signals, 0});
    }
    return nullptr;
}

const DbSignal* findSignalByName(const std::vector<DbSignal>& signals, std::string_view name) {
    return findSignalByName(const_cast<std::vector<DbSignal>&>(signals), name);
}

MuxGroup* findMuxGroupExact(std::vector<MuxGroup>& groups, uint32_t from, uint32_t to) {
    for (MuxGroup& group : groups)
        if (group.from == from && group.to == to)
            return &group;
    return nullptr;
}

MuxGroup* addMuxGroup(std::vector<MuxGroup>& groups, uint32_t from, uint32_t to) {
    if (to < from)
        return nullptr;
    MuxGroup& group = groups.emplace_back();
    group.from = from;
    group.to = to;
    return &group;
}

const MuxGroup* findMuxGroup(const std::vector<MuxGroup>& groups, uint32_t value) {
    for (const MuxGroup& group : groups)
        if (group.from <= value && value <= group.to)
            return &group;
    return nullptr;
}

} // namespace loglathe
