#pragma once
// Lines of a text (diagnostics, standard output) in tests: split them, count those with a part.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace loglathe::test {

// The lines of a text without their line feeds.
inline std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Number of lines of `text` that contain `part`. A line is taken with its line feed, so a part that
// ends in "\n" is found only at the end of a line, and countLines(text, "\n") counts the ended lines.
inline int countLines(std::string_view text, std::string_view part) {
    int n = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string_view::npos ? text.size() : end + 1;
        if (text.substr(start, end - start).find(part) != std::string_view::npos)
            ++n;
        start = end;
    }
    return n;
}

} // namespace loglathe::test
