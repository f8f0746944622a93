#include "db/dbc_parser.h"

#include "db/dbc_attributes.h"
#include "db/dbc_placement.h"
#include "db/dbc_records.h"
#include "platform/diag_log.h"

#include <algorithm>
#include <unordered_map>

namespace loglathe {

namespace {

// A NameKey-like key for value-type records: message identifier and signal name.
std::string valueTypeKey(uint32_t messageId, std::string_view name) {
    std::string key(reinterpret_cast<const char*>(&messageId), sizeof messageId);
    key.append(name);
    return key;
}

BusType resolveBusType(const AttributeIndex& index) {
    BusType busType = BusType::Invalid;
    auto value = attributeLookup(index, "BusType", ObjectKind::Network, 0, "");
    if (value && value->type == AttributeType::String && !value->stringValue.empty()) {
        const std::string& text = value->stringValue;
        if (equalsIgnoreCase(text, "CAN") || equalsIgnoreCase(text, "CAN FD"))
            busType = BusType::Can;
        else if (equalsIgnoreCase(text, "LIN"))
            busType = BusType::Lin;
        else
            diagLog(kDiagError, "Unknown \"BusType\": \"%s\"", text.c_str());
    }
    if (busType == BusType::Invalid) {
        diagLog(kDiagWarning, "\"BusType\" attribute not set. Defaulting to \"CAN\"");
        busType = BusType::Can;
    }
    if (busType == BusType::Can) {
        auto protocol = attributeLookup(index, "ProtocolType", ObjectKind::Network, 0, "");
        if (protocol && protocol->type == AttributeType::String && protocol->stringValue == "J1939")
            busType = BusType::J1939;
    }
    return busType;
}

void resolveTransportProtocol(const AttributeIndex& index, MessageRecord& message) {
    auto value = attributeLookup(index, "TransportProtocolType", ObjectKind::Message, message.identifier, "");
    if (!value || value->type != AttributeType::String)
        return;
    const std::string& text = value->stringValue;
    if (text == "ISOTP") {
        message.transportProtocol = TransportProtocolType::IsoTp;
    } else if (text == "NMEATP") {
        message.transportProtocol = TransportProtocolType::NmeaTp;
    } else if (text.starts_with("MUXTP")) {
        message.transportProtocol = TransportProtocolType::MuxTp;
        message.tpParameter = text;
    } else if (!text.empty()) {
        diagLog(kDiagError, "\"TransportProtocolType\" \"%s\" not supported (\"%s\")", text.c_str(),
                message.name.c_str());
    }
}

bool isIgnoreSet(const std::optional<AttributeValue>& value) {
    return value && value->type == AttributeType::Int && value->intValue != 0;
}

// Attributes and value types onto the records, in the order the resolution is defined.
void resolveRecords(const AttributeIndex& index, DbcParseState& state) {
    for (MessageRecord& message : state.messages)
        resolveTransportProtocol(index, message);
    for (MessageRecord& message : state.messages)
        message.ignored =
            isIgnoreSet(attributeLookup(index, "MessageIgnore", ObjectKind::Message, message.identifier, ""));
    for (SignalRecord& signal : state.signals)
        signal.ignored = isIgnoreSet(
            attributeLookup(index, "SignalIgnore", ObjectKind::Signal, signal.messageId, signal.name));

    std::unordered_map<std::string, SignalValueType> valueTypes;
    for (const ValueTypeRecord& v : state.valueTypes)
        valueTypes.try_emplace(valueTypeKey(v.messageId, v.signalName), v.valueType);
    if (!valueTypes.empty())
        for (SignalRecord& signal : state.signals)
            if (auto found = valueTypes.find(valueTypeKey(signal.messageId, signal.name));
                found != valueTypes.end())
                signal.layout.valueType = found->second;
}

void dropIndependentSignalMessage(DbcParseState& state) {
    auto found = std::find_if(state.messages.begin(), state.messages.end(),
                              [](const MessageRecord& m) { return m.name == "VECTOR__INDEPENDENT_SIG_MSG"; });
    if (found == state.messages.end())
        return;
    diagLog(kDiagWarning, "Ignoring message: %s", found->name.c_str());
    state.messages.erase(found);
}

bool insertMessages(MessageDb& db, const DbcParseState& state) {
    for (const MessageRecord& m : state.messages) {
        DbMsgKey key = dbcMsgKey2DbMsgKey(db.busType, m.identifier);
        if (!dbAddMessage(db, m.name, key, m.length, m.transportProtocol, m.tpParameter, m.ignored)) {
            diagLog(kDiagError, "Failed to add message %s with DBC key: %X and DB key: %X", m.name.c_str(),
                    m.identifier, key);
            return false;
        }
    }
    return true;
}

// A multiplexor that an SG_MUL_VAL_ record places under another multiplexor sits in a group of it.
void markExtendedMultiplexors(DbcParseState& state) {
    MuxRecordLookup lookup(state);
    for (SignalRecord& signal : state.signals)
        if (signal.multiplexor && lookup.find(signal.messageId, signal.name))
            signal.multiplexed = true;
}

} // namespace

std::unique_ptr<MessageDb> dbcParse(ByteStream& stream) {
    DbcParseState state;
    if (!dbcReadRecords(stream, state))
        return nullptr;
    AttributeIndex index(state);
    BusType busType = resolveBusType(index);
    resolveRecords(index, state);
    std::unique_ptr<MessageDb> db = createMessageDb(busType);
    if (!db)
        return nullptr;
    dropIndependentSignalMessage(state);
    if (!insertMessages(*db, state))
        return nullptr;
    markExtendedMultiplexors(state);
    dbcPlaceSignals(*db, state);
    return db;
}

} // namespace loglathe
