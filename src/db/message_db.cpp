#include "db/message_db.h"

#include "db/walk_stack.h"
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
    bool extended = (dbcIdentifier >> 31) & 1;
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

SignalExtraction prepareExtraction(const SignalLayout& layout) {
    SignalExtraction x;
    x.prepared = true;
    uint32_t start = layout.startBit;
    uint32_t length = layout.bitLength;
    x.endBit = start + length;
    if (length == 0) {
        x.check = SignalExtraction::Check::ZeroLength;
        return x;
    }
    if (layout.valueType == SignalValueType::Float && length != 32)
        x.check = SignalExtraction::Check::FloatLength;
    else if (layout.valueType == SignalValueType::Double && length != 64)
        x.check = SignalExtraction::Check::DoubleLength;
    // A raw value holds 64 bits: a longer little-endian signal keeps its lowest 64 bits, a longer
    // big-endian one the last 64 bits read (its least significant ones).
    uint32_t width = length > 64 ? 64 : length;
    uint32_t first = (length > 64 && !layout.littleEndian) ? start + length - 64 : start;
    x.width = static_cast<uint8_t>(width);
    x.firstByte = first / 8;
    x.shift = static_cast<uint8_t>(first % 8);
    x.mask = width == 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
    x.signExtension = ~x.mask;
    return x;
}

DbSignal::~DbSignal() {
    // One level of groups (the usual multiplexed message) is released the ordinary way.
    bool nested = false;
    for (const MuxGroup& group : muxGroups)
        for (const DbSignal& signal : group.signals)
            nested = nested || !signal.muxGroups.empty();
    if (!nested)
        return;
    // Detach every group below this signal into one flat list before anything is destroyed: each
    // group then dies holding signals without groups, so destruction never nests.
    std::vector<MuxGroup> pending = std::move(muxGroups);
    while (!pending.empty()) {
        MuxGroup group = std::move(pending.back());
        pending.pop_back();
        for (DbSignal& signal : group.signals) {
            for (MuxGroup& inner : signal.muxGroups)
                pending.push_back(std::move(inner));
            signal.muxGroups.clear();
        }
    }
}

std::unique_ptr<MessageDb> createMessageDb(BusType busType) {
    return std::make_unique<MessageDb>(busType);
}

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
    signal.extraction = prepareExtraction(layout);
    return &signal;
}

DbSignal* findSignalByName(std::vector<DbSignal>& signals, std::string_view name) {
    // Depth-first without recursion, so that deep multiplexor chains cannot exhaust the stack. Each
    // entry is the rest of one signal array still to be searched.
    struct Range {
        DbSignal* next;
        DbSignal* end;
    };
    WalkStack<Range> stack;
    stack.push({signals.data(), signals.data() + signals.size()});
    while (!stack.empty()) {
        Range& top = stack.top();
        if (top.next == top.end) {
            stack.pop();
            continue;
        }
        DbSignal& signal = *top.next++;
        if (signal.name == name)
            return &signal;
        // The groups of this signal are searched before its next sibling, the first group first.
        for (auto group = signal.muxGroups.rbegin(); group != signal.muxGroups.rend(); ++group)
            if (!group->signals.empty())
                stack.push({group->signals.data(), group->signals.data() + group->signals.size()});
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

const MuxGroup* selectMuxGroup(const std::vector<MuxGroup>& groups, double value) {
    for (const MuxGroup& group : groups)
        if (static_cast<double>(group.from) <= value && value <= static_cast<double>(group.to))
            return &group;
    return nullptr;
}

const MuxGroup* findMuxGroup(const std::vector<MuxGroup>& groups, uint32_t value) {
    return selectMuxGroup(groups, static_cast<double>(value));
}

} // namespace loglathe
