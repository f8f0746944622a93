#include "db/dbc_records.h"

#include "db/dbc_patterns.h"
#include "pattern/pattern.h"
#include "platform/diag_log.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

namespace loglathe {

namespace {

// The pattern of a line kind and, where the kind has one, its lenient pattern, which is tried only
// when the first one rejects the line.
struct LinePattern {
    explicit LinePattern(std::string_view expression, std::string_view lenientExpression = {})
        : strict(patternCompile(expression)),
          lenient(lenientExpression.empty() ? nullptr : patternCompile(lenientExpression)),
          ok(strict && (lenientExpression.empty() || lenient)) {}

    bool match(std::string_view line, std::vector<std::string_view>& groups) const {
        return strict->match(line, groups) || (lenient && lenient->match(line, groups));
    }

    std::unique_ptr<Pattern> strict;
    std::unique_ptr<Pattern> lenient;
    bool ok;
};

struct DbcPatterns {
    LinePattern message{dbc::kMessagePattern, dbc::kLenientMessagePattern};
    LinePattern signal{dbc::kSignalPattern, dbc::kLenientSignalPattern};
    LinePattern indicator{dbc::kMultiplexIndicatorPattern};
    LinePattern extendedMux{dbc::kExtendedMuxPattern, dbc::kLenientExtendedMuxPattern};
    LinePattern definition{dbc::kAttributeDefinitionPattern, dbc::kLenientAttributeDefinitionPattern};
    LinePattern defaultValue{dbc::kAttributeDefaultPattern};
    LinePattern assignment{dbc::kAttributePattern, dbc::kLenientAttributePattern};
    LinePattern valueType{dbc::kValueTypePattern, dbc::kLenientValueTypePattern};

    bool ok() const {
        return message.ok && signal.ok && indicator.ok && extendedMux.ok && definition.ok &&
               defaultValue.ok && assignment.ok && valueType.ok;
    }
};

// Number conversions as the C library does them; the empty text is 0.
unsigned long toUnsigned(std::string_view digits) {
    if (digits.empty())
        return 0;
    std::string text(digits);
    return std::strtoul(text.c_str(), nullptr, 10);
}

double toReal(std::string_view number) {
    if (number.empty())
        return 0.0;
    std::string text(number);
    return std::strtod(text.c_str(), nullptr);
}

std::string_view trimRuns(std::string_view text, char c) {
    while (!text.empty() && text.front() == c)
        text.remove_prefix(1);
    while (!text.empty() && text.back() == c)
        text.remove_suffix(1);
    return text;
}

std::string_view stripQuotes(std::string_view text) {
    return trimRuns(text, '"');
}

ObjectKind objectKindOf(std::string_view keyword) {
    if (equalsIgnoreCase(keyword, "BU_"))
        return ObjectKind::Node;
    if (equalsIgnoreCase(keyword, "BO_"))
        return ObjectKind::Message;
    if (equalsIgnoreCase(keyword, "SG_"))
        return ObjectKind::Signal;
    return ObjectKind::Network;
}

AttributeType attributeTypeOf(std::string_view keyword) {
    if (keyword == "INT")
        return AttributeType::Int;
    if (keyword == "FLOAT")
        return AttributeType::Float;
    if (keyword == "STRING")
        return AttributeType::String;
    if (keyword == "ENUM")
        return AttributeType::Enum;
    return AttributeType::None;
}

// The only assignments the converter reads; every other BA_ line is dropped at once.
bool isAttributeKept(ObjectKind kind, std::string_view name) {
    switch (kind) {
    case ObjectKind::Network:
        return name == "BusType" || name == "ProtocolType";
    case ObjectKind::Message:
        return name == "MessageIgnore" || name == "TransportProtocolType";
    case ObjectKind::Signal:
        return name == "SignalIgnore";
    default:
        return false;
    }
}

// The line begins with the keyword and a blank or a tab.
bool startsWithKeyword(std::string_view line, std::string_view keyword) {
    return line.size() > keyword.size() && line.starts_with(keyword) &&
           (line[keyword.size()] == ' ' || line[keyword.size()] == '\t');
}

class LineParser {
public:
    LineParser(const DbcPatterns& patterns, DbcParseState& state) : p_(patterns), state_(state) {}

    void parse(std::string_view line) {
        if (startsWithKeyword(line, "BA_DEF_"))
            definition(line);
        else if (startsWithKeyword(line, "BA_DEF_DEF_"))
            defaultValue(line);
        else if (startsWithKeyword(line, "BA_"))
            assignment(line);
        else if (startsWithKeyword(line, "BO_"))
            message(line);
        else if (startsWithKeyword(line, "SG_"))
            signal(line);
        else if (startsWithKeyword(line, "SG_MUL_VAL_"))
            extendedMux(line);
        else if (startsWithKeyword(line, "SIG_VALTYPE_"))
            valueType(line);
    }

private:
    // BO_ 1160 DAS_control: 8 DAS
    void message(std::string_view line) {
        if (!p_.message.match(line, g_))
            return;
        MessageRecord record;
        record.identifier = static_cast<uint32_t>(toUnsigned(g_[0]));
        record.name.assign(g_[1]);
        record.length = static_cast<uint32_t>(toUnsigned(g_[2]));
        uint32_t identifier = record.identifier;
        state_.messages.push_back(std::move(record));
        state_.currentMessageId = identifier;
    }

    // SG_ DAS_accState m2 : 59|4@0+ (1,0) [0|15] "" ESP
    // SG_ U64 : 7|64@0+ (1,0) [0|1.84467440737096E+019] "" ECU
    void signal(std::string_view line) {
        if (!p_.signal.match(line, g_))
            return;
        SignalRecord record;
        record.name.assign(g_[0]);
        record.messageId = state_.currentMessageId;
        SignalLayout& layout = record.layout;
        unsigned long startBit = toUnsigned(g_[2]);
        unsigned long bitLength = toUnsigned(g_[3]);
        layout.startBit = static_cast<uint16_t>(startBit);
        layout.bitLength = static_cast<uint8_t>(bitLength);
        record.widthsFit = startBit <= 0xFFFF && bitLength <= 0xFF;
        layout.littleEndian = g_[4] == "1" ? 1 : 0;
        layout.valueType = g_[5] == "+" ? SignalValueType::Unsigned : SignalValueType::Signed;
        layout.factor = toReal(g_[6]);
        layout.offset = toReal(g_[7]);
        layout.minimum = toReal(g_[8]);
        layout.maximum = toReal(g_[9]);
        std::string_view indicator = g_[1];
        // m2, M, m12M
        if (!indicator.empty() && p_.indicator.match(indicator, g_)) {
            record.multiplexed = !g_[0].empty();
            record.muxValue = static_cast<uint32_t>(toUnsigned(g_[1]));
            record.multiplexor = !g_[2].empty();
        }
        // Big-endian signals are stored by the position of their most significant bit in the
        // sequential numbering (bit i is bit 7 - i%8 of byte i/8).
        if (!layout.littleEndian)
            layout.startBit = static_cast<uint16_t>(layout.startBit ^ 7);
        state_.signals.push_back(std::move(record));
    }

    // SG_MUL_VAL_ 2024 S3 S0 1-1;
    // SG_MUL_VAL_ 2148676694 BIT_L Multiplexor 8-8, 16-16, 24-24;
    void extendedMux(std::string_view line) {
        if (!p_.extendedMux.match(line, g_))
            return;
        MuxRangeRecord record;
        record.messageId = static_cast<uint32_t>(toUnsigned(g_[0]));
        record.multiplexed.assign(g_[1]);
        record.multiplexor.assign(g_[2]);
        record.ranges.push_back(
            {static_cast<uint32_t>(toUnsigned(g_[3])), static_cast<uint32_t>(toUnsigned(g_[4]))});
        // ", 16-16, 24-24": the pattern has checked that each comma is followed by digits, a dash
        // and digits, with blanks or tabs around the comma.
        std::string_view more = g_.size() > 5 ? g_[5] : std::string_view();
        constexpr std::string_view kSeparators = " \t,";
        for (std::size_t at = more.find_first_not_of(kSeparators); at != std::string_view::npos;
             at = more.find_first_not_of(kSeparators, at)) {
            std::size_t dash = more.find('-', at);
            std::size_t end = std::min(more.find_first_of(kSeparators, dash), more.size());
            record.ranges.push_back(
                {static_cast<uint32_t>(toUnsigned(more.substr(at, dash - at))),
                 static_cast<uint32_t>(toUnsigned(more.substr(dash + 1, end - dash - 1)))});
            at = end;
        }
        state_.muxRanges.push_back(std::move(record));
    }

    // SIG_VALTYPE_ 1024 Temperature : 1;
    void valueType(std::string_view line) {
        if (!p_.valueType.match(line, g_))
            return;
        SignalValueType type;
        if (g_[2].starts_with("1"))
            type = SignalValueType::Float;
        else if (g_[2].starts_with("2"))
            type = SignalValueType::Double;
        else
            return;
        ValueTypeRecord record;
        record.messageId = static_cast<uint32_t>(toUnsigned(g_[0]));
        record.signalName.assign(g_[1]);
        record.valueType = type;
        state_.valueTypes.push_back(std::move(record));
    }

    // BA_DEF_ BO_ "TransportProtocolType" STRING ;
    // BA_DEF_  "ProtocolType" STRING;
    void definition(std::string_view line) {
        if (!p_.definition.match(line, g_))
            return;
        AttributeDefinition record;
        record.kind = objectKindOf(g_[0]);
        record.name.assign(g_[1]);
        record.type = attributeTypeOf(g_[2]);
        record.definition.assign(g_[3]);
        state_.definitions.push_back(std::move(record));
    }

    // BA_DEF_DEF_ "BusType" "CAN";
    void defaultValue(std::string_view line) {
        if (!p_.defaultValue.match(line, g_))
            return;
        AttributeDefault record;
        record.name.assign(stripQuotes(g_[0]));
        record.value.assign(stripQuotes(g_[1]));
        state_.defaults.push_back(std::move(record));
    }

    // BA_ "SignalIgnore" SG_ 2364540158 EngineSpeed 1;
    void assignment(std::string_view line) {
        if (!p_.assignment.match(line, g_))
            return;
        ObjectKind kind = objectKindOf(g_[1]);
        if (!isAttributeKept(kind, g_[0]))
            return;
        AttributeAssignment record;
        record.name.assign(g_[0]);
        record.kind = kind;
        record.messageId = static_cast<uint32_t>(toUnsigned(g_[2]));
        record.objectName.assign(g_[3]);
        record.value.assign(stripQuotes(g_[4]));
        state_.assignments.push_back(std::move(record));
    }

    const DbcPatterns& p_;
    DbcParseState& state_;
    std::vector<std::string_view> g_; // capture groups of the last match, reused per line
};

} // namespace

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

std::size_t MuxRecordLookup::KeyHash::operator()(const Key& k) const {
    return std::hash<std::string_view>()(k.name) ^ (std::size_t{k.messageId} * 0x9E3779B97F4A7C15ull);
}

MuxRecordLookup::MuxRecordLookup(const DbcParseState& state) {
    if (state.muxRanges.empty())
        return;
    for (const MuxRangeRecord& record : state.muxRanges) {
        own_.try_emplace(Key{record.messageId, record.multiplexed}, &record);
        ownMultiplexors_.insert(Key{record.messageId, record.multiplexor});
    }
    std::unordered_set<Key, KeyHash> signalsOfMessages;
    for (const SignalRecord& signal : state.signals)
        signalsOfMessages.insert(Key{signal.messageId, signal.name});
    for (const MuxRangeRecord& record : state.muxRanges)
        if (!signalsOfMessages.contains(Key{record.messageId, record.multiplexed}))
            fallback_.try_emplace(record.multiplexed, &record);
}

const MuxRangeRecord* MuxRecordLookup::find(uint32_t messageId, std::string_view name) const {
    if (own_.empty())
        return nullptr;
    if (auto found = own_.find(Key{messageId, name}); found != own_.end())
        return found->second;
    if (ownMultiplexors_.contains(Key{messageId, name}))
        return nullptr;
    auto found = fallback_.find(name);
    return found == fallback_.end() ? nullptr : found->second;
}

bool dbcReadText(std::string_view text, DbcParseState& state) {
    DbcPatterns patterns;
    if (!patterns.ok())
        return false;
    LineParser parser(patterns, state);
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        // Carriage returns, then blanks, then tabs: so a tab followed by a blank keeps the blank.
        line = trimRuns(trimRuns(trimRuns(line, '\r'), ' '), '\t');
        if (line.empty())
            continue;
        try {
            parser.parse(line);
        } catch (const std::bad_alloc&) {
            diagLog(kDiagFatal, "Could not allocate memory");
        }
    }
    return true;
}

bool dbcReadRecords(ByteStream& stream, DbcParseState& state) {
    int64_t size = streamSize(&stream);
    if (size == 0)
        return false;
    if (size < 0) {
        diagLog(kDiagError, "Could not read DBC-file");
        return false;
    }
    struct Release {
        void operator()(char* p) const { ::operator delete(p); }
    };
    std::unique_ptr<char, Release> buffer;
    if (static_cast<uint64_t>(size) <= SIZE_MAX)
        buffer.reset(static_cast<char*>(::operator new(static_cast<std::size_t>(size), std::nothrow)));
    if (!buffer) {
        diagLog(kDiagError, "Could not allocate memory for DBC-file");
        return false;
    }
    std::size_t length = static_cast<std::size_t>(size);
    if (streamRead(&stream, buffer.get(), length) != size) {
        diagLog(kDiagError, "Could not read DBC-file");
        return false;
    }
    // Names with letters outside ASCII arrive with underscores in their place.
    for (std::size_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(buffer.get()[i]) & 0x80)
            buffer.get()[i] = '_';
    return dbcReadText(std::string_view(buffer.get(), length), state);
}

} // namespace loglathe
