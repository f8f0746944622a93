#pragma once
// The regular expressions that recognise the DBC line kinds the converter reads. Each is applied to a
// whole trimmed line; a line that does not match is ignored. They need leftmost-first matching in
// which earlier optional and repeated groups give way to later parts (see the BA_ pattern), which
// the pattern layer provides in linear time.
//
// Some kinds have a second, lenient pattern for the forms that tools write beyond the first one's
// strict shape. It is tried only on lines the first pattern rejects and has the same groups (plus,
// for SG_MUL_VAL_, one for further ranges), so a line the first pattern matches is always read with
// exactly the first pattern's groups.

#include <string_view>

namespace loglathe::dbc {

// BO_ 1160 DAS_control: 8 DAS
inline constexpr std::string_view kMessagePattern = R"re(^BO_ (\d+) ([[:graph:]]+): (\d+) ([[:graph:]]+)$)re";

// The lenient patterns accept a run of blanks and tabs wherever the patterns above have one blank
// (and any run, or none, where they have an optional one).

// BO_ 1160	DAS_control:  8 DAS
inline constexpr std::string_view kLenientMessagePattern =
    R"re(^BO_[ \t]+(\d+)[ \t]+([[:graph:]]+):[ \t]+(\d+)[ \t]+([[:graph:]]+)$)re";

// SG_ DAS_accState m2 : 59|4@0+ (1,0) [0|15] "" ESP
inline constexpr std::string_view kSignalPattern =
    R"re(^SG_ ([[:graph:]]+) ([0-9mM]*) ?: (\d+)\|(\d+)@(0|1)(\+|\-) \(([0-9eE\.\-]+),([0-9eE\.\-]+)\) \[([0-9eE\.\-]+)\|([0-9eE\.\-]+)\].*$)re";

// SG_ U64 : 7|64@0+ (1,0) [0|1.84467440737096E+019] "" ECU (a sign on mantissa or exponent)
// SG_ MO_MKB_02 m1  : 59|5@1+ (1.0,0.0) [0.0|31] ""  Gateway
inline constexpr std::string_view kLenientSignalPattern =
    R"re(^SG_[ \t]+([[:graph:]]+)[ \t]+([0-9mM]*)[ \t]*:[ \t]+(\d+)\|(\d+)@(0|1)(\+|\-)[ \t]+\(([0-9eE\.\+\-]+),([0-9eE\.\+\-]+)\)[ \t]+\[([0-9eE\.\+\-]+)\|([0-9eE\.\+\-]+)\].*$)re";

// m2, M, m12M (the multiplex indicator of an SG_ line)
inline constexpr std::string_view kMultiplexIndicatorPattern = R"re(^(m*)(\d*)(M*)$)re";

// SG_MUL_VAL_ 2024 S3 S0 1-1;
inline constexpr std::string_view kExtendedMuxPattern =
    R"re(^SG_MUL_VAL_ (\d*) ([[:graph:]]+) ([[:graph:]]+) (\d*)-(\d*);?$)re";

// SG_MUL_VAL_ 2148676694 BIT_L Multiplexor 8-8, 16-16, 24-24;
// Groups 4 and 5 are the first range; group 6 holds the further ones with their commas.
inline constexpr std::string_view kLenientExtendedMuxPattern =
    R"re(^SG_MUL_VAL_[ \t]+(\d*)[ \t]+([[:graph:]]+)[ \t]+([[:graph:]]+)[ \t]+(\d*)-(\d*)((?:[ \t]*,[ \t]*\d*-\d*)*);?$)re";

// BA_DEF_ BO_ "TransportProtocolType" STRING ;
inline constexpr std::string_view kAttributeDefinitionPattern =
    R"re(^BA_DEF_\s+(BU_|BO_|SG_)?\s+"([[:graph:]]+)"\s+(INT|FLOAT|STRING|ENUM)\s+([[:ascii:]]+)?;$)re";

// BA_DEF_  "ProtocolType" STRING; (the value type directly followed by the semicolon)
inline constexpr std::string_view kLenientAttributeDefinitionPattern =
    R"re(^BA_DEF_\s+(BU_|BO_|SG_)?\s+"([[:graph:]]+)"\s+(INT|FLOAT|STRING|ENUM)(?:\s+([[:ascii:]]+)?)?;$)re";

// BA_DEF_DEF_ "BusType" "CAN";
inline constexpr std::string_view kAttributeDefaultPattern =
    R"re(^BA_DEF_DEF_\s+"([[:graph:]]+)"\s+([[:graph:]]+);$)re";

// BA_ "SignalIgnore" SG_ 2364540158 EngineSpeed 1;
inline constexpr std::string_view kAttributePattern =
    R"re(^BA_ "([[:graph:]]+)" ?(BU_|BO_|SG_)* ?(\d+)* ?([[:graph:]]+)* ([[:ascii:]]+);$)re";

// BA_\t"SignalIgnore"  SG_ 2364540158 EngineSpeed\t1;
inline constexpr std::string_view kLenientAttributePattern =
    R"re(^BA_[ \t]+"([[:graph:]]+)"[ \t]*(BU_|BO_|SG_)*[ \t]*(\d+)*[ \t]*([[:graph:]]+)*[ \t]+([[:ascii:]]+);$)re";

// SIG_VALTYPE_ 1024 Temperature : 1;
inline constexpr std::string_view kValueTypePattern = R"re(^SIG_VALTYPE_ (\d+) ([[:graph:]]+) : (\d+);$)re";

// SIG_VALTYPE_ 1024 Temperature  :\t1;
inline constexpr std::string_view kLenientValueTypePattern =
    R"re(^SIG_VALTYPE_[ \t]+(\d+)[ \t]+([[:graph:]]+)[ \t]+:[ \t]+(\d+);$)re";

} // namespace loglathe::dbc
