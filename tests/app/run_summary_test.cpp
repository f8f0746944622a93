#include "app/run_summary.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace loglathe {
namespace {

std::string render(const RunTotals& totals) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    printSummaries(out, totals);
    std::fclose(out);
    std::string result(text, size);
    std::free(text);
    return result;
}

TEST(RunSummary, BlocksInOrderWithWholeMegabytesAndSeconds) {
    RunTotals totals;
    totals.files = 2;
    totals.records = 7;
    totals.bytes = 1048575;
    totals.tpFailed = 1;
    totals.outFiles = 3;
    totals.outMessages = 5;
    totals.outSignals = 9;
    totals.clockStart = 100;
    totals.clockEnd = 100 + 999999;
    const std::string rule(79, '-');
    EXPECT_EQ(render(totals),
              rule + "\nReader summary\n- Files: 2\n- Messages: 7\n- Size: 0 MB\n" + rule +
                  "\nTransport protocol summary\n- Successful sessions: 0\n- Failed sessions: 1\n"
                  "- Unfinished sessions: 0\n" +
                  rule + "\nWriter summary\n- Files: 3\n- Messages: 5\n- Signals: 9\n" + rule +
                  "\nExecution time: 0 s\n" + rule + "\n");

    totals.bytes = 1048576;
    totals.clockEnd = 100 + 2500000;
    std::string text = render(totals);
    EXPECT_NE(text.find("- Size: 1 MB\n"), std::string::npos);
    EXPECT_NE(text.find("Execution time: 2 s\n"), std::string::npos);
}

} // namespace
} // namespace loglathe
