#include "platform/byte_stream.h"

#include "support/temp_dir.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace loglathe {
namespace {

std::string tempPath(const char* name) {
    return (std::filesystem::temp_directory_path() / (std::string(name) + "-" + std::to_string(getpid())))
        .string();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(BufferedReader, RoundsCapacityUpAndReadsPastBufferBoundaries) {
    MemoryStream inner("abcdefghijklmnopqrstuvwxyz0123");
    auto reader = bufferedReaderCreate(&inner, 13);
    ASSERT_TRUE(reader);
    char out[40] = {};
    EXPECT_EQ(streamRead(reader.get(), out, 40), 30);
    EXPECT_EQ(std::string(out, 30), "abcdefghijklmnopqrstuvwxyz0123");
    // Capacity 16: two buffer loads plus the final empty read.
    EXPECT_EQ(inner.readCalls, 3);
    EXPECT_EQ(streamTell(reader.get()), 30);
}

TEST(BufferedReader, SeekInsideBufferDoesNotTouchInner) {
    MemoryStream inner("0123456789abcdefghij");
    auto reader = bufferedReaderCreate(&inner, 8);
    char c = 0;
    ASSERT_EQ(streamRead(reader.get(), &c, 1), 1); // loads bytes 0..7
    int reads = inner.readCalls;
    int seeks = inner.seekCalls;
    EXPECT_EQ(streamSeek(reader.get(), 5, kSeekSet), 5);
    EXPECT_EQ(streamSeek(reader.get(), 8, kSeekSet), 8); // exactly start + fill
    EXPECT_EQ(streamSeek(reader.get(), static_cast<uint64_t>(-3), kSeekCur), 5);
    EXPECT_EQ(inner.readCalls, reads);
    EXPECT_EQ(inner.seekCalls, seeks);
    ASSERT_EQ(streamRead(reader.get(), &c, 1), 1);
    EXPECT_EQ(c, '5');
}

TEST(BufferedReader, SeekBackAfterAdvancingRefillsFromStart) {
    MemoryStream inner("0123456789abcdefghij");
    auto reader = bufferedReaderCreate(&inner, 8);
    char buf[12];
    ASSERT_EQ(streamRead(reader.get(), buf, 12), 12); // buffer now holds 8..15
    EXPECT_EQ(streamSeek(reader.get(), 0, kSeekSet), 0);
    char c = 0;
    ASSERT_EQ(streamRead(reader.get(), &c, 1), 1);
    EXPECT_EQ(c, '0');
    // Seeking beyond the end keeps the state.
    EXPECT_EQ(streamSeek(reader.get(), 100, kSeekSet), 1);
}

TEST(BufferedReader, ViewServesBufferedBytesAndRefills) {
    MemoryStream inner("0123456789");
    auto reader = bufferedReaderCreate(&inner, 4); // capacity 8
    ASSERT_TRUE(reader->hasView());
    auto view = reader->view();
    EXPECT_EQ(std::string(view.begin(), view.end()), "01234567");
    reader->consumeView(8);
    view = reader->view();
    EXPECT_EQ(std::string(view.begin(), view.end()), "89");
    reader->consumeView(2);
    EXPECT_TRUE(reader->view().empty());
    EXPECT_EQ(streamTell(reader.get()), 10);
}

TEST(FileStream, KindsRejectTheOtherDirection) {
    std::string path = tempPath("ll-fs-kinds");
    auto writer = fileStreamOpen(path.c_str(), FileStreamKind::Write);
    ASSERT_TRUE(writer);
    char c = 'x';
    EXPECT_EQ(streamRead(writer.get(), &c, 1), kStreamUnsupported);
    EXPECT_EQ(streamWrite(writer.get(), "hello", 5), 5);
    EXPECT_EQ(streamClose(writer), 0);
    EXPECT_FALSE(writer);

    auto reader = fileStreamOpen(path.c_str(), FileStreamKind::Read);
    ASSERT_TRUE(reader);
    EXPECT_EQ(streamWrite(reader.get(), "x", 1), kStreamUnsupported);
    EXPECT_EQ(streamSize(reader.get()), 5);
    EXPECT_EQ(streamTell(reader.get()), 0); // size leaves the position alone
    EXPECT_EQ(fileStreamOpen(path.c_str(), static_cast<FileStreamKind>(4)), nullptr);
    EXPECT_EQ(fileStreamOpen(nullptr, FileStreamKind::Read), nullptr);
    std::remove(path.c_str());
}

TEST(FileStream, ClosingOwningBufferedReaderClosesFile) {
    std::string path = tempPath("ll-fs-own");
    writeFile(path, "data");
    auto reader = bufferedReaderCreate(fileStreamOpen(path.c_str(), FileStreamKind::Read), 64);
    ASSERT_TRUE(reader);
    char buf[4];
    EXPECT_EQ(streamRead(reader.get(), buf, 4), 4);
    EXPECT_EQ(streamClose(reader), 0);
    EXPECT_FALSE(reader);
    std::remove(path.c_str());
}

TEST(Streams, NullAndUnsupportedAnswers) {
    EXPECT_EQ(streamSize(nullptr), -1);
    EXPECT_EQ(streamRead(nullptr, nullptr, 0), kStreamUnsupported);
    std::unique_ptr<ByteStream> none;
    EXPECT_EQ(streamClose(none), 0);
    ByteStream base;
    EXPECT_EQ(streamTell(&base), kStreamUnsupported);
    EXPECT_EQ(streamSeek(&base, 0, kSeekSet), kStreamUnsupported);
}

// A reader limited to what a file held when it was opened: bytes added later are not read, the end
// answers as at the end of the file, and a file cut short under the reader is a read error, also
// when the cut lies in what the window held before.
TEST(BufferedReader, ALimitReadsTheFileAsOpenedAndACutIsAReadError) {
    test::TempDir dir;
    std::string text(64 * 1024, '\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>('a' + i % 26);
    std::string path = dir.write("f.txt", text);
    auto limited = [&] {
        return bufferedReaderCreate(fileStreamOpen(path.c_str(), FileStreamKind::Read), 256, text.size());
    };

    std::unique_ptr<ByteStream> reader = limited();
    ASSERT_TRUE(reader);
    std::ofstream(path, std::ios::binary | std::ios::app) << "appended";
    std::string all(text.size() + 1000, '\0');
    EXPECT_EQ(streamRead(reader.get(), all.data(), all.size()), static_cast<int64_t>(text.size()));
    EXPECT_EQ(all.substr(0, text.size()), text);
    EXPECT_TRUE(reader->view().empty());
    EXPECT_EQ(streamSeek(reader.get(), 0, kSeekEnd), static_cast<int64_t>(text.size()));
    EXPECT_EQ(streamSeek(reader.get(), 10, kSeekSet), 10);
    char c = 0;
    EXPECT_EQ(streamRead(reader.get(), &c, 1), 1);
    EXPECT_EQ(c, text[10]);
    EXPECT_FALSE(streamFailed(reader.get()));

    // Cut while read: what is left before the cut comes, then a read error.
    std::unique_ptr<ByteStream> cut = limited();
    ASSERT_TRUE(cut);
    ASSERT_EQ(streamRead(cut.get(), all.data(), 100), 100);
    ASSERT_EQ(::truncate(path.c_str(), 20000), 0);
    EXPECT_EQ(streamRead(cut.get(), all.data(), all.size()), 19900);
    EXPECT_EQ(all.substr(0, 19900), text.substr(100, 19900));
    EXPECT_TRUE(streamFailed(cut.get()));

    // Without a limit the end of the data is no error.
    std::unique_ptr<ByteStream> plain =
        bufferedReaderCreate(fileStreamOpen(path.c_str(), FileStreamKind::Read), 256);
    ASSERT_TRUE(plain);
    EXPECT_EQ(streamRead(plain.get(), all.data(), all.size()), 20000);
    EXPECT_FALSE(streamFailed(plain.get()));
}

} // namespace
} // namespace loglathe
