#pragma once
// Names such as "S12" for tests that make many signals or messages.

#include <string>
#include <string_view>

namespace loglathe::test {

// Appends the number to a copy of the prefix. Writing "S" + std::to_string(n) instead makes GCC 12
// warn at -O3 about an overlapping copy that cannot happen (-Wrestrict inside std::string::insert).
inline std::string numberedName(std::string_view prefix, long long n) {
    std::string name(prefix);
    name += std::to_string(n);
    return name;
}

} // namespace loglathe::test
