#include "output/row_thread.h"

#include "support/fault_file_system.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace loglathe {
namespace {

using test::readFile;
using test::TempDir;

constexpr double kStart = 1706659200.0;

// The rows and failures a row thread reports are those of writing on one thread, counted from the
// last drain; each drain lists a failed file once and starts afresh.
TEST(RowThread, ReportsTheFirstFailedRowOfEachFileOncePerDrain) {
    const double row[] = {1.0, 2.0};
    constexpr int kRows = 1000; // more than one write of a file

    // On one thread: the row whose write fails.
    TempDir alone;
    test::FaultPlan alonePlan{test::FaultKind::Write, 1, ENOSPC};
    test::FaultFileSystem aloneFs(alone.root(), alonePlan);
    auto reference = outputFileCreate(aloneFs, "a", {"A", "B"});
    ASSERT_TRUE(reference);
    uint64_t failedRow = 0;
    while (reference->writeRow(row, kStart + static_cast<double>(failedRow)))
        ++failedRow;
    ASSERT_LT(failedRow, static_cast<uint64_t>(kRows));

    TempDir dir;
    test::FaultPlan plan{test::FaultKind::Write, 1, ENOSPC};
    test::FaultFileSystem fs(dir.root(), plan);
    auto failing = outputFileCreate(fs, "a", {"A", "B"});
    auto good = outputFileCreate(fs, "b", {"A", "B"});
    ASSERT_TRUE(failing && good);
    auto rows = RowThread::create();
    ASSERT_TRUE(rows);
    std::vector<RowThread::Failure> failures;
    for (int i = 0; i < kRows; ++i)
        rows->push(*failing, row, kStart + i);
    EXPECT_EQ(rows->rowsQueued(), static_cast<uint64_t>(kRows));
    rows->drain(failures);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].row, failedRow);
    EXPECT_EQ(failures[0].file, failing.get());
    EXPECT_EQ(rows->rowsQueued(), 0u);

    for (int i = 0; i < 5; ++i)
        rows->push(*good, row, kStart + i);
    for (int i = 0; i < 3; ++i)
        rows->push(*failing, row, kStart + i);
    rows->drain(failures);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].row, 5u);
    EXPECT_EQ(failures[0].file, failing.get());

    rows->drain(failures);
    EXPECT_TRUE(failures.empty());
    rows.reset();
    EXPECT_TRUE(good->close());
    EXPECT_EQ(readFile(dir.root() + "b.csv"), "t,A,B\n1706659200.000000,1.000000,2.000000\n"
                                              "1706659201.000000,1.000000,2.000000\n"
                                              "1706659202.000000,1.000000,2.000000\n"
                                              "1706659203.000000,1.000000,2.000000\n"
                                              "1706659204.000000,1.000000,2.000000\n");
    EXPECT_EQ(readFile(dir.root() + "a.csv"), readFile(alone.root() + "a.csv"));
}

// Rows bigger than a chunk and many chunks in a row pass through whole and in order.
TEST(RowThread, PassesLargeRowsAndManyChunksInOrder) {
    TempDir dir;
    std::unique_ptr<FileSystem> fs = fsCreate(dir.root());
    ASSERT_TRUE(fs);
    std::vector<std::string> columns;
    std::vector<double> wide;
    for (std::size_t i = 0; i < RowThread::kChunkValues + 10; ++i) {
        columns.push_back("c");
        wide.push_back(static_cast<double>(i % 7));
    }
    auto wideFile = outputFileCreate(*fs, "wide", columns);
    auto narrow = outputFileCreate(*fs, "narrow", {"V"});
    ASSERT_TRUE(wideFile && narrow);
    std::string expectedNarrow = "t,V\n";
    {
        auto rows = RowThread::create();
        ASSERT_TRUE(rows);
        for (int i = 0; i < 3; ++i)
            rows->push(*wideFile, wide, kStart + i);
        for (int i = 0; i < 100000; ++i) {
            const double value = i;
            rows->push(*narrow, {&value, 1}, kStart);
            expectedNarrow += "1706659200.000000," + std::to_string(i) + ".000000\n";
        }
    }
    EXPECT_TRUE(narrow->close());
    EXPECT_TRUE(wideFile->close());
    EXPECT_EQ(readFile(dir.root() + "narrow.csv"), expectedNarrow);
    std::string wideText = readFile(dir.root() + "wide.csv");
    EXPECT_EQ(std::count(wideText.begin(), wideText.end(), '\n'), 4);
    EXPECT_EQ(std::count(wideText.begin(), wideText.end(), ','), 4 * static_cast<long>(wide.size()));
}

} // namespace
} // namespace loglathe
