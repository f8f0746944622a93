#pragma once
// Attribute resolution over the records of one DBC file. An index built once per file answers each
// lookup in constant time with the result of the first matching record in file order.

#include "db/dbc_records.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace loglathe {

struct AttributeValue {
    AttributeType type = AttributeType::None;
    int32_t intValue = 0;    // INT
    double floatValue = 0.0; // FLOAT
    std::string stringValue; // STRING
    std::string enumValue;   // ENUM
};

// Refers to the records of `state`, which must outlive it and stay unchanged.
class AttributeIndex {
public:
    explicit AttributeIndex(const DbcParseState& state);

    const AttributeDefinition* definition(std::string_view name, ObjectKind kind) const;
    const AttributeAssignment* assignment(std::string_view name, ObjectKind kind, uint32_t messageId,
                                          std::string_view objectName) const;
    const AttributeDefault* defaultValue(std::string_view name) const;

private:
    std::unordered_map<std::string, const AttributeDefinition*> definitions_;
    std::unordered_map<std::string, const AttributeAssignment*> assignments_;
    std::unordered_map<std::string, const AttributeDefault*> defaults_;
};

// The value of an attribute for one object: its assignment, else its default, converted by the type
// of its definition. Nothing without a definition of that name for that object kind, or without an
// assignment and a default. Attribute names compare without regard to case; object names exactly.
std::optional<AttributeValue> attributeLookup(const AttributeIndex& index, std::string_view name,
                                              ObjectKind kind, uint32_t messageId,
                                              std::string_view objectName);

} // namespace loglathe
