#include "db/dbc_attributes.h"

#include <cstdlib>

namespace loglathe {

namespace {

void appendLower(std::string& key, std::string_view text) {
    for (char c : text)
        key += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Names and object names come from [[:graph:]] captures, so they never hold a NUL: it separates the
// parts of a key unambiguously.
std::string definitionKey(std::string_view name, ObjectKind kind) {
    std::string key(1, static_cast<char>(kind));
    appendLower(key, name);
    return key;
}

std::string assignmentKey(std::string_view name, ObjectKind kind, uint32_t messageId,
                          std::string_view objectName) {
    std::string key = definitionKey(name, kind);
    key += '\0';
    key.append(reinterpret_cast<const char*>(&messageId), sizeof messageId);
    key.append(objectName);
    return key;
}

std::string defaultKey(std::string_view name) {
    std::string key;
    appendLower(key, name);
    return key;
}

template <typename Record>
const Record* find(const std::unordered_map<std::string, const Record*>& map, const std::string& key) {
    auto found = map.find(key);
    return found == map.end() ? nullptr : found->second;
}

std::string_view trimRuns(std::string_view text, char c) {
    while (!text.empty() && text.front() == c)
        text.remove_prefix(1);
    while (!text.empty() && text.back() == c)
        text.remove_suffix(1);
    return text;
}

// Item `index` (from 0) of an ENUM definition such as "StandardCAN","ExtendedCAN"; empty past the end.
std::string enumItem(std::string_view definition, long index) {
    if (index < 0)
        return {};
    for (long i = 0;; ++i) {
        std::size_t comma = definition.find(',');
        if (i == index)
            return std::string(trimRuns(trimRuns(definition.substr(0, comma), ' '), '"'));
        if (comma == std::string_view::npos)
            return {};
        definition.remove_prefix(comma + 1);
    }
}

} // namespace

AttributeIndex::AttributeIndex(const DbcParseState& state) {
    // try_emplace keeps the first record of each key: the first match in file order.
    definitions_.reserve(state.definitions.size());
    assignments_.reserve(state.assignments.size());
    defaults_.reserve(state.defaults.size());
    for (const AttributeDefinition& d : state.definitions)
        definitions_.try_emplace(definitionKey(d.name, d.kind), &d);
    for (const AttributeAssignment& a : state.assignments)
        assignments_.try_emplace(assignmentKey(a.name, a.kind, a.messageId, a.objectName), &a);
    for (const AttributeDefault& d : state.defaults)
        defaults_.try_emplace(defaultKey(d.name), &d);
}

const AttributeDefinition* AttributeIndex::definition(std::string_view name, ObjectKind kind) const {
    return find(definitions_, definitionKey(name, kind));
}

const AttributeAssignment* AttributeIndex::assignment(std::string_view name, ObjectKind kind,
                                                      uint32_t messageId, std::string_view objectName) const {
    return find(assignments_, assignmentKey(name, kind, messageId, objectName));
}

const AttributeDefault* AttributeIndex::defaultValue(std::string_view name) const {
    return find(defaults_, defaultKey(name));
}

std::optional<AttributeValue> attributeLookup(const AttributeIndex& index, std::string_view name,
                                              ObjectKind kind, uint32_t messageId,
                                              std::string_view objectName) {
    const AttributeDefinition* definition = index.definition(name, kind);
    if (!definition)
        return std::nullopt;
    std::string text;
    bool assigned = false;
    if (const AttributeAssignment* a = index.assignment(name, kind, messageId, objectName)) {
        text = a->value;
        assigned = true;
    } else if (const AttributeDefault* d = index.defaultValue(name)) {
        text = d->value;
    } else {
        return std::nullopt;
    }
    AttributeValue value;
    value.type = definition->type;
    switch (definition->type) {
    case AttributeType::Int:
        value.intValue = static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10));
        break;
    case AttributeType::Float:
        value.floatValue = std::strtod(text.c_str(), nullptr);
        break;
    case AttributeType::String:
        value.stringValue = std::move(text);
        break;
    case AttributeType::Enum:
        value.enumValue = assigned ? enumItem(definition->definition, std::strtol(text.c_str(), nullptr, 10))
                                   : std::move(text);
        break;
    case AttributeType::None:
        return std::nullopt;
    }
    return value;
}

} // namespace loglathe
