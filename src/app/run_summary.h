#pragma once
// The end-of-run summaries on standard output.

#include <cstdint>
#include <cstdio>
#include <ctime>

namespace loglathe {

struct RunTotals {
    uint64_t files = 0, records = 0, bytes = 0;                // reader
    uint64_t tpSuccessful = 0, tpFailed = 0, tpUnfinished = 0; // transport protocols
    uint64_t outFiles = 0, outMessages = 0, outSignals = 0;    // writer
    std::clock_t clockStart = 0, clockEnd = 0;
};

void printSummaries(std::FILE* out, const RunTotals& totals);

} // namespace loglathe
