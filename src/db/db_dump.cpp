#include "db/db_dump.h"

#include "db/walk_stack.h"

#include <cmath>
#include <cstdio>

namespace loglathe {

namespace {

const char* busName(BusType busType) {
    switch (busType) {
    case BusType::Can:
        return "CAN";
    case BusType::J1939:
        return "CAN-PGN";
    case BusType::Lin:
        return "LIN";
    default:
        return "";
    }
}

const char* transportName(TransportProtocolType tp) {
    switch (tp) {
    case TransportProtocolType::J1939Tp:
        return "J1939TP";
    case TransportProtocolType::NmeaTp:
        return "NMEATP";
    case TransportProtocolType::IsoTp:
        return "ISOTP";
    case TransportProtocolType::MuxTp:
        return "MUXTP";
    default:
        return "";
    }
}

const char* boolText(bool value) {
    return value ? "true" : "false";
}

// A name as a JSON string body: quote, backslash and control characters escaped. Bytes above 0x7F
// (which the parser never leaves in a name) are written as the Latin-1 characters they stand for,
// so the text stays valid UTF-8.
void appendEscaped(std::string& out, std::string_view name) {
    static const char kHex[] = "0123456789abcdef";
    for (char c : name) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
}

void appendUnsigned(std::string& out, unsigned value) {
    char text[16];
    int n = std::snprintf(text, sizeof text, "%u", value);
    out.append(text, static_cast<std::size_t>(n));
}

// "%f" of the C library; JSON has no text for infinities and NaN, so they are null.
void appendDouble(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    char text[400]; // the largest finite double takes 309 digits before the point
    int n = std::snprintf(text, sizeof text, "%f", value);
    if (n > 0)
        out.append(text,
                   static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n) : sizeof text - 1);
}

// Ends an array whose elements each end in ",": the last "," becomes "]"; "[" alone becomes "[]".
void closeArray(std::string& out) {
    if (out.back() == ',')
        out.back() = ']';
    else
        out += ']';
}

void appendSignalHead(std::string& out, const DbSignal& signal) {
    const SignalLayout& l = signal.layout;
    out += "{\"name\":\"";
    appendEscaped(out, signal.name);
    out += "\",\"ignored\":";
    out += boolText(signal.ignored);
    out += ",\"bitpos\":";
    appendUnsigned(out, l.startBit);
    out += ",\"bitlen\":";
    appendUnsigned(out, l.bitLength);
    out += ",\"bigendian\":";
    out += boolText(l.littleEndian == 0);
    out += ",\"signed\":";
    out += boolText(l.valueType == SignalValueType::Signed);
    out += ",\"factor\":";
    appendDouble(out, l.factor);
    out += ",\"offset\":";
    appendDouble(out, l.offset);
    out += ",\"min\":";
    appendDouble(out, l.minimum);
    out += ",\"max\":";
    appendDouble(out, l.maximum);
    out += ",\"multiplexed\":";
}

// The signal array of a message, with every group below it, written without recursion: each stack
// entry is an open array (of signals, or of one signal's groups) with the elements still to write.
void appendSignalArray(std::string& out, const std::vector<DbSignal>& signals) {
    struct Open {
        const DbSignal* signal;
        const DbSignal* signalEnd;
        const MuxGroup* group;
        const MuxGroup* groupEnd;
        bool isGroupArray;
    };
    WalkStack<Open> stack;
    out += '[';
    stack.push({signals.data(), signals.data() + signals.size(), nullptr, nullptr, false});
    while (!stack.empty()) {
        Open& top = stack.top();
        if (top.isGroupArray) {
            if (top.group == top.groupEnd) {
                closeArray(out);
                out += "},"; // ends the multiplexor's signal object
                stack.pop();
                continue;
            }
            const MuxGroup& group = *top.group++;
            out += "{\"from\":";
            appendUnsigned(out, group.from);
            out += ",\"to\":";
            appendUnsigned(out, group.to);
            out += ",\"signals\":[";
            stack.push(
                {group.signals.data(), group.signals.data() + group.signals.size(), nullptr, nullptr, false});
            continue;
        }
        if (top.signal == top.signalEnd) {
            closeArray(out);
            stack.pop();
            if (!stack.empty())
                out += "},"; // ends the group object that held this array
            continue;
        }
        const DbSignal& signal = *top.signal++;
        appendSignalHead(out, signal);
        out += '[';
        stack.push({nullptr, nullptr, signal.muxGroups.data(),
                    signal.muxGroups.data() + signal.muxGroups.size(), true});
    }
}

} // namespace

std::string dbDumpJson(const MessageDb& db) {
    std::string out = "{\"bus\":\"";
    out += busName(db.busType);
    out += "\",\"messages\":[";
    for (const auto& [key, message] : db.messages) {
        out += "{ \"key\":";
        appendUnsigned(out, key);
        out += ",\"name\":\"";
        appendEscaped(out, message.name);
        out += "\",\"tp\":\"";
        out += transportName(message.transportProtocol);
        out += "\",\"ignored\":";
        out += boolText(message.ignored);
        out += ",\"length\":";
        appendUnsigned(out, message.length);
        out += ",\"signals\":";
        appendSignalArray(out, message.signals);
        out += "},";
    }
    closeArray(out);
    out += '}';
    return out;
}

} // namespace loglathe
