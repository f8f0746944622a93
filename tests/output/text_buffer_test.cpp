#include "output/text_buffer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace loglathe {
namespace {

std::string formatted(const char* format, double value) {
    TextBuffer buffer;
    EXPECT_TRUE(stringAppendFormat(buffer, format, value));
    return std::string(buffer.view());
}

TEST(TextBuffer, FormatsNumbersWithSixDecimalsAndSpecialValues) {
    EXPECT_EQ(formatted("%f", 1706659200.5), "1706659200.500000");
    EXPECT_EQ(formatted("%f", 3.0), "3.000000");
    EXPECT_EQ(formatted("%f", -1.25), "-1.250000");
    EXPECT_EQ(formatted("%f", -0.0), "-0.000000");
    EXPECT_EQ(formatted("%f", std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(formatted("%f", -std::numeric_limits<double>::quiet_NaN()), "-NaN");
    EXPECT_EQ(formatted("%f", std::numeric_limits<double>::infinity()), "Inf");
    EXPECT_EQ(formatted("%f", -std::numeric_limits<double>::infinity()), "-Inf");
}

TEST(TextBuffer, GrowsToFitTextLongerThanItsCapacity) {
    TextBuffer buffer;
    ASSERT_TRUE(buffer.reserve(8));
    ASSERT_TRUE(stringAppendFormat(buffer, "%s", "abc"));
    // The largest double gives a 309-digit integer part.
    ASSERT_TRUE(stringAppendFormat(buffer, ",%f", std::numeric_limits<double>::max()));
    std::string text(buffer.view());
    EXPECT_EQ(text.substr(0, 5), "abc,1");
    EXPECT_EQ(text.size(), 3u + 1u + 309u + 7u);
    EXPECT_EQ(text.substr(text.size() - 7), ".000000");
    EXPECT_GT(buffer.capacity(), text.size());
}

TEST(TextBuffer, ClearKeepsCapacityAndAppendsFromTheStart) {
    TextBuffer buffer;
    ASSERT_TRUE(stringAppendFormat(buffer, "%f,%f", 1.0, 2.0));
    std::size_t capacity = buffer.capacity();
    buffer.clear();
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(buffer.capacity(), capacity);
    ASSERT_TRUE(stringAppendFormat(buffer, "%u", 7u));
    EXPECT_EQ(buffer.view(), "7");
}

TEST(TextBuffer, EmptyConversionLeavesTheBufferUnchanged) {
    TextBuffer buffer;
    ASSERT_TRUE(buffer.append("x"));
    EXPECT_TRUE(stringAppendFormat(buffer, "%s", ""));
    EXPECT_EQ(buffer.view(), "x");
}

} // namespace
} // namespace loglathe
