#include "platform/byte_stream.h"

#include <gtest/gtest.h>

namespace loglathe {
namespace {

TEST(BufferedReader, ReadsThroughSmallBuffer) {
    MemoryStream inner("abcdefghijklmnopqrstuvwxyz0123");
    auto reader = bufferedReaderCreate(&inner, 13);
    ASSERT_TRUE(reader);
    char out[40] = {};
    EXPECT_EQ(streamRead(reader.get(), out, 40), 30);
    EXPECT_EQ(std::string(out, 30), "abcdefghijklmnopqrstuvwxyz0123");
}

} // namespace
} // namespace loglathe
