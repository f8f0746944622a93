#include "output/text_buffer.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace loglathe {
namespace {

TEST(TextBuffer, AppendsNumbersAsFixedPointTextAfterOtherText) {
    TextBuffer buffer;
    ASSERT_TRUE(buffer.append("t="));
    ASSERT_TRUE(buffer.appendFixed(1706659200.5));
    ASSERT_TRUE(buffer.append(','));
    ASSERT_TRUE(buffer.appendFixed(-std::numeric_limits<double>::quiet_NaN()));
    ASSERT_TRUE(buffer.append(','));
    ASSERT_TRUE(buffer.appendFixed(-0.0));
    EXPECT_EQ(buffer.view(), "t=1706659200.500000,-NaN,-0.000000");
}

TEST(TextBuffer, GrowsToFitTextLongerThanItsCapacity) {
    TextBuffer buffer;
    ASSERT_TRUE(buffer.reserve(8));
    ASSERT_TRUE(buffer.append("abc,"));
    // The largest double gives a 309-digit integer part.
    ASSERT_TRUE(buffer.appendFixed(std::numeric_limits<double>::max()));
    std::string text(buffer.view());
    EXPECT_EQ(text.substr(0, 5), "abc,1");
    EXPECT_EQ(text.size(), 4u + 309u + 7u);
    EXPECT_EQ(text.substr(text.size() - 7), ".000000");
    EXPECT_GT(buffer.capacity(), text.size());
}

TEST(TextBuffer, ClearKeepsCapacityAndAppendsFromTheStart) {
    TextBuffer buffer;
    ASSERT_TRUE(buffer.appendFixed(1.0));
    ASSERT_TRUE(buffer.append(','));
    ASSERT_TRUE(buffer.appendFixed(2.0));
    EXPECT_EQ(buffer.view(), "1.000000,2.000000");
    std::size_t capacity = buffer.capacity();
    buffer.clear();
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(buffer.capacity(), capacity);
    ASSERT_TRUE(buffer.append("7"));
    EXPECT_EQ(buffer.view(), "7");
}

TEST(TextBuffer, EmptyTextLeavesTheBufferUnchanged) {
    TextBuffer buffer;
    ASSERT_TRUE(buffer.append("x"));
    EXPECT_TRUE(buffer.append(""));
    EXPECT_EQ(buffer.view(), "x");
}

} // namespace
} // namespace loglathe
