#include "app/run_summary.h"

namespace loglathe {

namespace {
void separator(std::FILE* out) {
    std::fputs("-------------------------------------------------------------------------------\n", out);
}
} // namespace

void printSummaries(std::FILE* out, const RunTotals& t) {
    separator(out);
    std::fprintf(out, "Reader summary\n- Files: %lu\n- Messages: %lu\n- Size: %lu MB\n",
                 static_cast<unsigned long>(t.files), static_cast<unsigned long>(t.records),
                 static_cast<unsigned long>(t.bytes >> 20));
    separator(out);
    std::fprintf(out,
                 "Transport protocol summary\n- Successful sessions: %lu\n- Failed sessions: %lu\n"
                 "- Unfinished sessions: %lu\n",
                 static_cast<unsigned long>(t.tpSuccessful), static_cast<unsigned long>(t.tpFailed),
                 static_cast<unsigned long>(t.tpUnfinished));
    separator(out);
    std::fprintf(out, "Writer summary\n- Files: %lu\n- Messages: %lu\n- Signals: %lu\n",
                 static_cast<unsigned long>(t.outFiles), static_cast<unsigned long>(t.outMessages),
                 static_cast<unsigned long>(t.outSignals));
    separator(out);
    // Processor time in whole seconds, truncated toward zero.
    int64_t elapsed = static_cast<int64_t>(t.clockEnd) - static_cast<int64_t>(t.clockStart);
    std::fprintf(out, "Execution time: %u s\n", static_cast<uint32_t>(elapsed / 1000000));
    separator(out);
}

} // namespace loglathe
