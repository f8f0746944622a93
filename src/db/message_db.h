#pragma once
// The message database of one DBC file: its bus type and its messages by key, each message with its
// signals and multiplex groups. Built once by the DBC parser, then only read.

#include "db/keys.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace loglathe {

enum class TransportProtocolType : int32_t { None = 0, J1939Tp = 1, NmeaTp = 3, IsoTp = 4, MuxTp = 5 };

enum class SignalValueType : int32_t { Unsigned = 1, Signed = 2, Float = 3, Double = 4 };

struct MuxGroup;
class MessageDb;

// Bit layout and scaling of a signal; what the parser hands to addSignal.
struct SignalLayout {
    uint32_t littleEndian = 1; // 0: big-endian (DBC byte order 0), 1: little-endian
    SignalValueType valueType = SignalValueType::Unsigned;
    // Little-endian: position of the least significant bit. Big-endian: position of the most
    // significant bit in the sequential numbering (bit i = bit 7 - i%8 of byte i/8), i.e. the DBC
    // start bit XOR 7.
    uint16_t startBit = 0;
    uint8_t bitLength = 0;
    double factor = 1.0;
    double offset = 0.0;
    double minimum = 0.0;
    double maximum = 0.0;
};

// How a signal's raw bits are read, decided once from its layout when the signal is added, so that
// decoding a frame only does the arithmetic. A signal longer than 64 bits keeps 64 of them: the
// lowest for little-endian, the last ones read for big-endian.
struct SignalExtraction {
    enum class Check : uint8_t { None, ZeroLength, FloatLength, DoubleLength };
    bool prepared = false;      // false: derive it from the layout on every decode
    Check check = Check::None;  // layout fault: zero length before the payload-size check, the rest after
    uint8_t shift = 0;          // bit position of the first bit read within firstByte
    uint8_t width = 0;          // bits read into the raw value (1..64)
    uint32_t firstByte = 0;     // byte holding the first bit read
    uint32_t endBit = 0;        // startBit + bitLength: the payload must hold this many bits
    uint64_t mask = 0;          // the low `width` bits
    uint64_t signExtension = 0; // bits to set when a signed raw value is negative
};

SignalExtraction prepareExtraction(const SignalLayout& layout);

struct DbSignal {
    DbSignal() = default;
    DbSignal(const DbSignal&) = default;
    DbSignal(DbSignal&&) noexcept = default;
    DbSignal& operator=(const DbSignal&) = default;
    DbSignal& operator=(DbSignal&&) noexcept = default;
    // Releases nested groups without recursion, so a chain of thousands of multiplexors inside each
    // other cannot exhaust the stack.
    ~DbSignal();

    std::string name;
    uint64_t nameHash = 0;
    bool ignored = false;
    SignalLayout layout;
    SignalExtraction extraction;     // filled by addSignal
    std::vector<MuxGroup> muxGroups; // empty unless the signal is a multiplexor
};

// The signals decoded when the multiplexor's physical value lies in [from, to].
struct MuxGroup {
    uint32_t from = 0;
    uint32_t to = 0;
    std::vector<DbSignal> signals;
};

struct DbMessage {
    const MessageDb* db = nullptr;
    std::string name;
    uint64_t nameHash = 0;
    uint32_t length = 0; // bytes, from the BO_ line
    bool ignored = false;
    TransportProtocolType transportProtocol = TransportProtocolType::None;
    std::string tpParameter; // the whole attribute text for MUX transport, else empty
    std::vector<DbSignal> signals;
};

class MessageDb {
public:
    explicit MessageDb(BusType busType) : busType(busType) {}
    MessageDb(const MessageDb&) = delete;
    MessageDb& operator=(const MessageDb&) = delete;

    BusType busType;
    std::map<DbMsgKey, DbMessage> messages; // ascending by key; iterate it to visit messages in order
};

// 64-bit hash of a name (the same for equal names); identifies messages and signals in output files.
uint64_t nameHash64(std::string_view name);

std::unique_ptr<MessageDb> createMessageDb(BusType busType);
// Stores a new message; on a key collision logs "Message key collision: ..." and answers null.
DbMessage* dbAddMessage(MessageDb& db, std::string_view name, DbMsgKey key, uint32_t length,
                        TransportProtocolType tp, std::string_view tpParameter, bool ignored);
const DbMessage* dbFind(const MessageDb* db, DbMsgKey key);
// Appends a signal with no groups; null (nothing added) when the value type is invalid.
DbSignal* addSignal(std::vector<DbSignal>& signals, std::string_view name, const SignalLayout& layout,
                    bool ignored);
// First signal of that name, depth-first through the groups of each signal that does not match.
const DbSignal* findSignalByName(const std::vector<DbSignal>& signals, std::string_view name);
DbSignal* findSignalByName(std::vector<DbSignal>& signals, std::string_view name);
MuxGroup* findMuxGroupExact(std::vector<MuxGroup>& groups, uint32_t from, uint32_t to);
// Null when to < from.
MuxGroup* addMuxGroup(std::vector<MuxGroup>& groups, uint32_t from, uint32_t to);
// First group whose range holds the value, compared as a double: decoding passes a multiplexor's
// physical value, so 1.5 is held by 1..2 but not by 1..1. Null when no group holds it.
const MuxGroup* selectMuxGroup(const std::vector<MuxGroup>& groups, double value);
// The same for a whole number (what the writer names files by).
const MuxGroup* findMuxGroup(const std::vector<MuxGroup>& groups, uint32_t value);

// Calls fn(key, message) for every message in ascending key order.
template <typename Fn> void dbForEachMessage(const MessageDb& db, Fn&& fn) {
    for (const auto& [key, message] : db.messages)
        fn(key, message);
}

// Channel number (1..255) to the databases loaded for it, in load order. Owns the databases.
class DbChannelTable {
public:
    using List = std::vector<std::unique_ptr<MessageDb>>;

    // The list of a channel; empty when none was loaded for it.
    const List& channel(uint8_t channel) const { return lists_[channel]; }
    void add(uint8_t channel, std::unique_ptr<MessageDb> db) { lists_[channel].push_back(std::move(db)); }
    bool empty() const {
        for (const auto& list : lists_)
            if (!list.empty())
                return false;
        return true;
    }
    // Calls fn(channel, list) for every channel with databases, in ascending channel order.
    template <typename Fn> void forEachChannel(Fn&& fn) const {
        for (unsigned ch = 0; ch < 256; ++ch)
            if (!lists_[ch].empty())
                fn(static_cast<uint8_t>(ch), lists_[ch]);
    }

private:
    List lists_[256];
};

} // namespace loglathe
