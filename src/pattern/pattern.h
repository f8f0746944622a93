#pragma once
// Regular expressions for DBC lines, option texts and MUX parameters, over RE2 (linear time).
// Text is treated as Latin-1, so every byte is one character whether or not it is valid UTF-8.

#include <memory>
#include <string_view>
#include <vector>

namespace loglathe {

class Pattern {
public:
    virtual ~Pattern() = default;
    // Whole-text match. On success groups[i] is the text of capture group i + 1 (empty when the
    // group took no part); the views point into `text`.
    virtual bool match(std::string_view text, std::vector<std::string_view>& groups) const = 0;
    virtual int groupCount() const = 0;
};

// Null when the expression does not compile.
std::unique_ptr<Pattern> patternCompile(std::string_view expression);

} // namespace loglathe
