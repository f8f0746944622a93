#include "db/dbc_placement.h"

#include "db/walk_stack.h"
#include "platform/diag_log.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <queue>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace loglathe {

namespace {

// A signal name within one message: the unit of "already placed" and of multiplexor lookup. Names
// are unique within a message's whole tree, because a signal whose name is present is never placed.
struct NameKey {
    DbMsgKey key;
    std::string_view name;
    bool operator==(const NameKey&) const = default;
};

struct NameKeyHash {
    std::size_t operator()(const NameKey& k) const {
        return std::hash<std::string_view>()(k.name) ^ (std::size_t{k.key} * 0x9E3779B97F4A7C15ull);
    }
};

// The tree is grown as indices into stable arrays and only turned into DbSignal vectors at the end,
// so that nothing refers into a vector while it grows.
struct GroupNode {
    uint32_t from;
    uint32_t to;
    std::vector<uint32_t> children; // node indices, in placement order
};

constexpr uint32_t kTopLevel = std::numeric_limits<uint32_t>::max();

// A signal listed in several groups of its multiplexor is one node with a copy in each. Signals
// placed under it later go into the groups of its first copy, the one a search by name finds (the
// copy in the multiplexor's earliest group); the other copies are decoded without groups.
struct SignalNode {
    uint32_t record;
    std::vector<GroupNode> groups;   // in creation order
    uint32_t firstGroup = kTopLevel; // index of the parent's group holding the first copy
};

// A multiplex group: its multiplexor's node and its range.
struct GroupKey {
    uint32_t parent;
    uint32_t from;
    uint32_t to;
    bool operator==(const GroupKey&) const = default;
};

struct GroupKeyHash {
    std::size_t operator()(const GroupKey& k) const {
        uint64_t range = (uint64_t{k.from} << 32) | k.to;
        return std::hash<uint64_t>()(range) ^ (std::size_t{k.parent} * 0x9E3779B97F4A7C15ull);
    }
};

// What a signal record needs that does not change while placing.
struct Candidate {
    DbMsgKey key = 0;
    DbMessage* message = nullptr; // null: no message with this key
    bool hasMultiplexor = false;  // a multiplexed record for which a multiplexor is named
    std::string_view muxName;
    std::vector<MuxRange> ranges;
};

class Placement {
public:
    Placement(MessageDb& db, const DbcParseState& state) : db_(db), state_(state) { prepare(); }

    void run() {
        const uint32_t count = static_cast<uint32_t>(state_.signals.size());
        for (uint32_t r = 0; r < count; ++r)
            thisPass_.push(r);
        for (;;) {
            bool placedAny = false;
            while (!thisPass_.empty()) {
                uint32_t r = thisPass_.top();
                thisPass_.pop();
                switch (visit(r)) {
                case Outcome::Placed:
                    placedAny = true;
                    break;
                case Outcome::Repeat:
                    nextPass_.push_back(r);
                    break;
                default:
                    break;
                }
            }
            if (!placedAny)
                return;
            for (uint32_t r : nextPass_)
                thisPass_.push(r);
            nextPass_.clear();
        }
    }

    void build() {
        for (auto& [key, roots] : roots_) {
            auto found = db_.messages.find(key);
            if (found != db_.messages.end())
                buildTree(roots, found->second.signals);
        }
    }

    void verify() const {
        std::unordered_map<DbMsgKey, std::vector<uint32_t>> recordsByKey;
        for (uint32_t r = 0; r < candidates_.size(); ++r)
            recordsByKey[candidates_[r].key].push_back(r);
        for (const MessageRecord& message : state_.messages) {
            DbMsgKey key = dbcMsgKey2DbMsgKey(db_.busType, message.identifier);
            if (!dbFind(&db_, key)) {
                diagLog(kDiagError, "Failed to load message %s", message.name.c_str());
                continue;
            }
            auto records = recordsByKey.find(key);
            if (records == recordsByKey.end())
                continue;
            for (uint32_t r : records->second) {
                const std::string& name = state_.signals[r].name;
                if (!placed_.contains({key, name}))
                    diagLog(kDiagError, "Failed to load signal %s", name.c_str());
            }
        }
    }

private:
    enum class Outcome { Skip, Wait, Repeat, Placed };

    void prepare() {
        MuxRecordLookup records(state_);
        std::unordered_map<uint32_t, const SignalRecord*> firstMultiplexor;
        for (const SignalRecord& s : state_.signals)
            if (s.multiplexor && !s.multiplexed)
                firstMultiplexor.try_emplace(s.messageId, &s);

        candidates_.resize(state_.signals.size());
        placed_.reserve(state_.signals.size());
        nodes_.reserve(state_.signals.size());
        for (std::size_t r = 0; r < state_.signals.size(); ++r) {
            const SignalRecord& s = state_.signals[r];
            Candidate& c = candidates_[r];
            c.key = dbcMsgKey2DbMsgKey(db_.busType, s.messageId);
            auto message = db_.messages.find(c.key);
            c.message = message == db_.messages.end() ? nullptr : &message->second;
            if (!s.multiplexed)
                continue;
            if (const MuxRangeRecord* record = records.find(s.messageId, s.name)) {
                c.hasMultiplexor = true;
                c.muxName = record->multiplexor;
                c.ranges = record->ranges;
            } else if (auto mux = firstMultiplexor.find(s.messageId); mux != firstMultiplexor.end()) {
                c.hasMultiplexor = true;
                c.muxName = mux->second->name;
                c.ranges = {{s.muxValue, s.muxValue}};
            }
        }
    }

    Outcome visit(uint32_t r) {
        const SignalRecord& s = state_.signals[r];
        const Candidate& c = candidates_[r];
        if (!c.message || placed_.contains({c.key, s.name}))
            return Outcome::Skip;
        uint32_t parent = kTopLevel;
        targets_.clear();
        if (s.multiplexed) {
            if (!c.hasMultiplexor)
                return Outcome::Skip;
            auto mux = placed_.find({c.key, c.muxName});
            if (mux == placed_.end()) {
                waiting_[{c.key, c.muxName}].push_back(r);
                return Outcome::Wait;
            }
            parent = mux->second;
            for (const MuxRange& range : c.ranges) {
                std::vector<GroupNode>& groups = nodes_[parent].groups;
                auto [found, added] = groupOf_.try_emplace(GroupKey{parent, range.from, range.to},
                                                           static_cast<uint32_t>(groups.size()));
                if (added) {
                    if (range.from > range.to) {
                        groupOf_.erase(found); // a range whose start exceeds its end makes no group
                        continue;
                    }
                    groups.push_back({range.from, range.to, {}});
                }
                targets_.push_back(found->second);
            }
            if (targets_.empty())
                return Outcome::Skip;
            // A range listed twice is one group; the first copy is the one in the earliest group.
            std::sort(targets_.begin(), targets_.end());
            targets_.erase(std::unique(targets_.begin(), targets_.end()), targets_.end());
        }
        // The bound is computed in 32 bits, as the message length is stored.
        uint32_t messageBits = c.message->length * 8u;
        if (!s.widthsFit || messageBits < uint32_t{s.layout.startBit} + s.layout.bitLength) {
            diagLog(kDiagFatal, "Failed to add signal %s to message %s", s.name.c_str(),
                    c.message->name.c_str());
            return Outcome::Repeat;
        }
        uint32_t node = static_cast<uint32_t>(nodes_.size());
        nodes_.push_back({r, {}, kTopLevel});
        if (parent == kTopLevel) {
            roots_[c.key].push_back(node);
        } else {
            for (uint32_t group : targets_)
                nodes_[parent].groups[group].children.push_back(node);
            nodes_[node].firstGroup = targets_.front();
        }
        placed_.emplace(NameKey{c.key, s.name}, node);
        wake({c.key, s.name}, r);
        return Outcome::Placed;
    }

    // The signals waiting for this multiplexor can now be placed: later in this pass when they come
    // after it in the file, otherwise in the next pass.
    void wake(const NameKey& multiplexor, uint32_t current) {
        auto found = waiting_.find(multiplexor);
        if (found == waiting_.end())
            return;
        std::vector<uint32_t> woken = std::move(found->second);
        waiting_.erase(found);
        for (uint32_t r : woken) {
            if (r > current)
                thisPass_.push(r);
            else
                nextPass_.push_back(r);
        }
    }

    void buildTree(const std::vector<uint32_t>& roots, std::vector<DbSignal>& target) {
        struct Level {
            const std::vector<uint32_t>* nodes;
            std::size_t next;
            std::vector<DbSignal>* target;
            uint32_t group; // index of the group among its multiplexor's, kTopLevel for the message
        };
        WalkStack<Level> stack;
        // Every vector gets its final size reserved before it is filled, so the pointers held on the
        // stack stay valid.
        target.reserve(roots.size());
        stack.push({&roots, 0, &target, kTopLevel});
        while (!stack.empty()) {
            Level& top = stack.top();
            if (top.next == top.nodes->size()) {
                stack.pop();
                continue;
            }
            const SignalNode& node = nodes_[(*top.nodes)[top.next++]];
            const SignalRecord& s = state_.signals[node.record];
            DbSignal* signal = addSignal(*top.target, s.name, s.layout, s.ignored);
            if (!signal || node.groups.empty() || node.firstGroup != top.group)
                continue;
            signal->muxGroups.reserve(node.groups.size());
            for (uint32_t g = 0; g < node.groups.size(); ++g) {
                MuxGroup* group = addMuxGroup(signal->muxGroups, node.groups[g].from, node.groups[g].to);
                group->signals.reserve(node.groups[g].children.size());
                stack.push({&node.groups[g].children, 0, &group->signals, g});
            }
        }
    }

    MessageDb& db_;
    const DbcParseState& state_;
    std::vector<Candidate> candidates_;
    std::vector<SignalNode> nodes_;
    std::unordered_map<DbMsgKey, std::vector<uint32_t>> roots_;
    std::unordered_map<NameKey, uint32_t, NameKeyHash> placed_;
    std::unordered_map<NameKey, std::vector<uint32_t>, NameKeyHash> waiting_;
    std::priority_queue<uint32_t, std::vector<uint32_t>, std::greater<>> thisPass_;
    std::vector<uint32_t> nextPass_;
    std::unordered_map<GroupKey, uint32_t, GroupKeyHash> groupOf_; // index among the parent's groups
    std::vector<uint32_t> targets_; // groups of the signal being placed, reused
};

} // namespace

void dbcPlaceSignals(MessageDb& db, const DbcParseState& state) {
    Placement placement(db, state);
    placement.run();
    placement.build();
    placement.verify();
}

} // namespace loglathe
