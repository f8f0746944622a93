#pragma once
// First phase of DBC parsing: the lines of a DBC file turned into records, in file order. Nothing
// is resolved yet; the second phase (dbc_parser.cpp) resolves attributes and builds the database.

#include "db/message_db.h"
#include "platform/byte_stream.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace loglathe {

enum class ObjectKind : uint8_t { Network = 1, Node = 2, Message = 3, Signal = 4 };

enum class AttributeType : uint8_t { None = 0, Int = 1, Float = 2, String = 3, Enum = 4 };

// BO_ line.
struct MessageRecord {
    std::string name;
    uint32_t identifier = 0; // bit 31 marks an extended identifier
    uint32_t length = 0;
    bool ignored = false;
    TransportProtocolType transportProtocol = TransportProtocolType::None;
    std::string tpParameter;
};

// SG_ line; it belongs to the message of the last BO_ line before it (identifier 0 before any).
struct SignalRecord {
    std::string name;
    uint32_t messageId = 0;
    SignalLayout layout;
    bool multiplexor = false; // "M" in the multiplex indicator
    bool multiplexed = false; // "m" in the multiplex indicator
    uint32_t muxValue = 0;
    bool ignored = false;
    // The start bit and bit length as written fit the 16 and 8 bits they are kept in. A signal whose
    // written layout does not fit is never placed, rather than placed with cut-down numbers.
    bool widthsFit = true;
};

// BA_DEF_ line.
struct AttributeDefinition {
    ObjectKind kind = ObjectKind::Network;
    std::string name;
    AttributeType type = AttributeType::None;
    std::string definition; // for ENUM the comma-separated quoted names
};

// BA_DEF_DEF_ line.
struct AttributeDefault {
    std::string name;
    std::string value;
};

// BA_ line, kept only for the attributes the converter reads.
struct AttributeAssignment {
    std::string name;
    ObjectKind kind = ObjectKind::Network;
    uint32_t messageId = 0;
    std::string objectName;
    std::string value;
};

struct MuxRange {
    uint32_t from = 0;
    uint32_t to = 0;
};

// SG_MUL_VAL_ line: `multiplexed` sits in the groups of `multiplexor` given by its ranges.
struct MuxRangeRecord {
    uint32_t messageId = 0;
    std::string multiplexed;
    std::string multiplexor;
    std::vector<MuxRange> ranges; // in line order; one for the usual line
};

// SIG_VALTYPE_ line.
struct ValueTypeRecord {
    uint32_t messageId = 0;
    std::string signalName;
    SignalValueType valueType = SignalValueType::Float;
};

struct DbcParseState {
    std::vector<MessageRecord> messages;
    std::vector<SignalRecord> signals;
    std::vector<AttributeDefinition> definitions;
    std::vector<AttributeDefault> defaults;
    std::vector<AttributeAssignment> assignments;
    std::vector<MuxRangeRecord> muxRanges;
    std::vector<ValueTypeRecord> valueTypes;
    uint32_t currentMessageId = 0; // identifier of the last BO_ line
};

// The SG_MUL_VAL_ record that places a signal of a message under a multiplexor:
// 1. the first record of the signal's own message that names it as the multiplexed signal;
// 2. none, when a record of its own message names it as a multiplexor (the message's own records
//    describe it and put it under no other multiplexor);
// 3. otherwise, the first record of any message naming it as the multiplexed signal, except records
//    of a message that has a signal of that name itself: those describe that message's signal.
// Messages are told by their DBC identifier, as the records carry it.
class MuxRecordLookup {
public:
    explicit MuxRecordLookup(const DbcParseState& state);
    // Null when no record places the signal. The state must outlive the lookup.
    const MuxRangeRecord* find(uint32_t messageId, std::string_view name) const;

private:
    struct Key {
        uint32_t messageId;
        std::string_view name;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const;
    };
    std::unordered_map<Key, const MuxRangeRecord*, KeyHash> own_; // first record per (message, multiplexed)
    std::unordered_set<Key, KeyHash> ownMultiplexors_;            // (message, multiplexor) of the records
    std::unordered_map<std::string_view, const MuxRangeRecord*> fallback_; // rule 3, by multiplexed name
};

// Reads the whole stream and appends a record for every line it recognises. False when the file
// cannot be used: empty (no message), out of memory or a short read (both logged).
bool dbcReadRecords(ByteStream& stream, DbcParseState& state);

// The same over text already in memory (bytes with the high bit set must already be replaced).
// False when a pattern fails to compile.
bool dbcReadText(std::string_view text, DbcParseState& state);

// Case-insensitive ASCII comparison of whole texts.
bool equalsIgnoreCase(std::string_view a, std::string_view b);

} // namespace loglathe
