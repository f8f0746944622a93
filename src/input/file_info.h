#pragma once
// What the walker knows of one input log file; handed to every sink at file start and end.

#include <cstdint>
#include <string>

namespace loglathe {

struct FileInfo {
    std::string inputPath;  // relative to the input root
    std::string outputBase; // mirrored output name relative to the output root, without extension
    std::string loggerId;   // "LOGGERID" when the header has none
    double startTime = 0.0; // header "Time" as seconds since the epoch (local time of the host)
    uint32_t session = 0;
    uint32_t split = 0;
};

} // namespace loglathe
