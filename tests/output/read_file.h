#pragma once
// The whole content of a file for comparisons in tests, or "<missing>" when it cannot be read.

#include <fstream>
#include <sstream>
#include <string>

namespace loglathe::testing {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "<missing>";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace loglathe::testing
