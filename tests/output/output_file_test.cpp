#include "output/output_file.h"

#include "resource_limits.h"
#include "support/fault_file_system.h"
#include "support/numbered_name.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace loglathe {
namespace {

using test::readFile;
using test::TempDir;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(OutputFile, WritesHeaderWithNamesUnalteredAndRowsInFixedPoint) {
    TempDir dir;
    auto fs = fsCreate(dir.root());
    auto file = outputFileCreate(*fs, "engine", {"EngineSpeed", "Coolant,Temp"});
    ASSERT_TRUE(file);
    EXPECT_EQ(file->path(), dir.root() + "engine.csv");
    const double row[] = {1250.5, kNaN};
    EXPECT_TRUE(file->writeRow(row, 1706659200.125));
    const double negative[] = {-0.0, -3.0};
    EXPECT_TRUE(file->writeRow(negative, 1706659201.0));
    EXPECT_TRUE(file->close());
    EXPECT_EQ(readFile(dir.root() + "engine.csv"), "t,EngineSpeed,Coolant,Temp\n"
                                                   "1706659200.125000,1250.500000,NaN\n"
                                                   "1706659201.000000,-0.000000,-3.000000\n");
}

TEST(OutputFile, RefusesRowWhoseValueCountDiffersFromItsColumns) {
    TempDir dir;
    auto fs = fsCreate(dir.root());
    auto file = outputFileCreate(*fs, "one", {"A"});
    ASSERT_TRUE(file);
    const double two[] = {1.0, 2.0};
    EXPECT_FALSE(file->writeRow(two, 1.0));
    EXPECT_FALSE(file->writeRow({}, 1.0));
    const double one[] = {3.0};
    EXPECT_TRUE(file->writeRow(one, 1706659200.5));
    EXPECT_FALSE(file->failed());
    file.reset();
    EXPECT_EQ(readFile(dir.root() + "one.csv"), "t,A\n1706659200.500000,3.000000\n");
}

TEST(OutputFile, ManyValuesFormatLikeFewValuesExtended) {
    TempDir dir;
    auto fs = fsCreate(dir.root());
    std::vector<std::string> names;
    std::vector<double> values;
    std::string expected = "1.500000";
    for (int i = 0; i < 12; ++i) {
        names.push_back(test::numberedName("S", i));
        values.push_back(i * 0.25 - 1.0);
        char number[32];
        std::snprintf(number, sizeof number, ",%f", i * 0.25 - 1.0);
        expected += number;
    }
    auto file = outputFileCreate(*fs, "wide", names);
    ASSERT_TRUE(file);
    EXPECT_TRUE(file->writeRow(values, 1.5));
    file.reset();
    std::string content = readFile(dir.root() + "wide.csv");
    EXPECT_EQ(content.substr(content.find('\n') + 1), expected + "\n");
}

TEST(OutputFile, GrowsTheRowBufferForValuesOfHugeMagnitude) {
    TempDir dir;
    auto fs = fsCreate(dir.root());
    std::vector<std::string> names;
    std::vector<double> values;
    // Nineteen significant digits, then zeros up to the 309 integer digits.
    std::string number = "-1797693134862315709" + std::string(309 - 19, '0') + ".000000";
    std::string expected = "2.000000";
    for (int i = 0; i < 20; ++i) {
        names.push_back(test::numberedName("S", i));
        values.push_back(-std::numeric_limits<double>::max());
        expected += ",";
        expected += number;
    }
    auto file = outputFileCreate(*fs, "huge", names);
    ASSERT_TRUE(file);
    EXPECT_TRUE(file->writeRow(values, 2.0));
    const double small[20] = {0.5};
    EXPECT_TRUE(file->writeRow(small, 3.0));
    file.reset();
    std::string content = readFile(dir.root() + "huge.csv");
    std::size_t rowStart = content.find('\n') + 1;
    std::size_t secondRow = content.find('\n', rowStart) + 1;
    EXPECT_EQ(content.substr(rowStart, secondRow - rowStart), expected + "\n");
    EXPECT_EQ(content.substr(secondRow, 18), "3.000000,0.500000,");
}

TEST(OutputFile, BuildsHeaderLongerThanTheInitialBuffer) {
    TempDir dir;
    auto fs = fsCreate(dir.root());
    std::vector<std::string> names;
    std::string expected = "t";
    for (int i = 0; i < 300; ++i) {
        names.push_back("Signal" + std::to_string(i));
        expected += ",Signal" + std::to_string(i);
    }
    auto file = outputFileCreate(*fs, "long", names);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->columnCount(), 300u);
    file.reset();
    EXPECT_EQ(readFile(dir.root() + "long.csv"), expected + "\n");
}

TEST(OutputFile, TruncatesAnOlderFileAndAppendsWithoutHeaderWhenReopened) {
    TempDir dir;
    auto fs = fsCreate(dir.root());
    {
        std::FILE* old = std::fopen((dir.root() + "f.csv").c_str(), "wb");
        ASSERT_TRUE(old);
        std::fputs("left over from an earlier run\n", old);
        std::fclose(old);
    }
    auto file = outputFileCreate(*fs, "f", {"A"});
    ASSERT_TRUE(file);
    const double first[] = {1.0};
    EXPECT_TRUE(file->writeRow(first, 10.0));
    EXPECT_TRUE(file->close());
    EXPECT_FALSE(file->isOpen());
    EXPECT_FALSE(file->writeRow(first, 11.0));
    ASSERT_TRUE(file->reopen());
    const double second[] = {2.0};
    EXPECT_TRUE(file->writeRow(second, 12.0));
    EXPECT_TRUE(file->close());
    EXPECT_EQ(readFile(dir.root() + "f.csv"), "t,A\n10.000000,1.000000\n12.000000,2.000000\n");
}

TEST(OutputFile, CreationFailsInAMissingFolder) {
    TempDir dir;
    auto fs = fsCreate(dir.root());
    EXPECT_FALSE(outputFileCreate(*fs, "no/such/folder/f", {"A"}));
}

TEST(OutputFile, ReportsAndRemembersAWriteBeyondTheFileSizeLimit) {
    TempDir dir;
    auto fs = fsCreate(dir.root());
    auto file = outputFileCreate(*fs, "big", {"A", "B"});
    ASSERT_TRUE(file);
    bool allWritten = true;
    {
        test::ScopedFileSizeLimit limit(4096);
        ASSERT_TRUE(limit.ok());
        const double row[] = {1.0, 2.0};
        // Far more than the limit; buffered output fails at one of the rows or at the flush.
        for (int i = 0; i < 1000; ++i)
            allWritten = file->writeRow(row, 1706659200.0 + i) && allWritten;
        allWritten = file->flush() && allWritten;
    }
    EXPECT_FALSE(allWritten);
    EXPECT_TRUE(file->failed());
    EXPECT_FALSE(file->close());
    // Cut back to the last row that reached the file whole.
    std::string content = readFile(dir.root() + "big.csv");
    ASSERT_GT(content.size(), 4u);
    EXPECT_LE(content.size(), 4096u);
    EXPECT_EQ(content.back(), '\n');
    std::string whole = "t,A,B\n";
    for (int i = 0; whole.size() < content.size(); ++i)
        whole += std::to_string(1706659200 + i) + ".000000,1.000000,2.000000\n";
    EXPECT_EQ(content, whole);
}

// Rows of 2 values at 1706659200 + i, as the file writes them.
std::string rowsText(int count) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += std::to_string(1706659200 + i) + ".000000,1.000000,2.000000\n";
    return text;
}

TEST(OutputFile, AShortWriteCutsTheFileBackToItsLastCompleteRowAndEndsIt) {
    TempDir dir;
    test::FaultPlan plan{test::FaultKind::ShortWrite, 1, ENOSPC};
    test::FaultFileSystem fs(dir.root(), plan);
    auto file = outputFileCreate(fs, "f", {"A", "B"});
    ASSERT_TRUE(file);
    const double row[] = {1.0, 2.0};
    int accepted = 0;
    // Rows are written a few kilobytes at a time; the first write passes half of its bytes on.
    while (file->writeRow(row, 1706659200.0 + accepted))
        ++accepted;
    EXPECT_GT(accepted, 50);
    EXPECT_TRUE(plan.fired);
    EXPECT_TRUE(file->failed());
    std::string content = readFile(dir.root() + "f.csv");
    std::string whole = "t,A,B\n" + rowsText(accepted + 1);
    EXPECT_GT(content.size(), whole.size() / 2 - 40);
    EXPECT_LE(content.size(), whole.size() / 2);
    EXPECT_EQ(content, whole.substr(0, content.size()));
    EXPECT_EQ(content.back(), '\n');
    // Later rows would follow a gap: the file takes none, also after another write would succeed.
    EXPECT_FALSE(file->writeRow(row, 1706659300.0));
    EXPECT_FALSE(file->flush());
    EXPECT_FALSE(file->close());
    EXPECT_EQ(readFile(dir.root() + "f.csv"), content);
    EXPECT_EQ(plan.count(test::FsOperation::Write), 1u);
}

TEST(OutputFile, AFailedFirstWriteLeavesAnEmptyFile) {
    TempDir dir;
    test::FaultPlan plan{test::FaultKind::Write, 1, EIO};
    test::FaultFileSystem fs(dir.root(), plan);
    auto file = outputFileCreate(fs, "f", {"A", "B"});
    ASSERT_TRUE(file);
    const double row[] = {1.0, 2.0};
    EXPECT_TRUE(file->writeRow(row, 1706659200.0)); // still in the buffer
    EXPECT_FALSE(file->close());
    EXPECT_TRUE(file->failed());
    EXPECT_EQ(readFile(dir.root() + "f.csv"), "");
}

TEST(OutputFile, AFailedReopenEndsTheFileUnlessDescriptorsRanShort) {
    TempDir dir;
    test::FaultPlan plan{test::FaultKind::Open, 2, EMFILE};
    test::FaultFileSystem fs(dir.root(), plan);
    auto file = outputFileCreate(fs, "f", {"A"});
    ASSERT_TRUE(file);
    const double row[] = {1.0};
    EXPECT_TRUE(file->writeRow(row, 1.0));
    EXPECT_TRUE(file->close());
    // Out of descriptors: the caller may close others and try again.
    EXPECT_FALSE(file->reopen());
    EXPECT_FALSE(file->failed());
    ASSERT_TRUE(file->reopen());
    EXPECT_TRUE(file->writeRow(row, 2.0));
    EXPECT_TRUE(file->close());
    // Any other failure ends the file: a row taken later would follow a gap.
    plan = test::FaultPlan{test::FaultKind::Open, 1, EACCES};
    EXPECT_FALSE(file->reopen());
    EXPECT_TRUE(file->failed());
    EXPECT_FALSE(file->writeRow(row, 3.0));
    EXPECT_EQ(readFile(dir.root() + "f.csv"), "t,A\n1.000000,1.000000\n2.000000,1.000000\n");
}

} // namespace
} // namespace loglathe
