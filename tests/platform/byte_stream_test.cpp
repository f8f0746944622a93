#include "platform/byte_stream.h"

#include "support/temp_dir.h"

#include <csignal>
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

// Opens `path` mapped; fails the test when it cannot be mapped.
std::unique_ptr<ByteStream> openMapped(const std::string& path) {
    std::unique_ptr<ByteStream> file = fileStreamOpen(path.c_str(), FileStreamKind::Read);
    std::unique_ptr<ByteStream> mapped = mappedReaderCreate(file);
    EXPECT_TRUE(mapped);
    EXPECT_FALSE(file); // taken over
    return mapped;
}

std::string viewText(ByteStream& s) {
    auto view = s.view();
    return std::string(view.begin(), view.end());
}

TEST(MappedReader, AnswersEveryOperationAsAWholeFileBuffer) {
    test::TempDir dir;
    std::string text = "header line\r\n0123456789abcdefghijklmnopqrstuvwxyz\nlast";
    std::string path = dir.write("f.txt", text);
    std::unique_ptr<ByteStream> mapped = openMapped(path);
    ASSERT_TRUE(mapped);
    std::unique_ptr<ByteStream> buffered =
        bufferedReaderCreate(fileStreamOpen(path.c_str(), FileStreamKind::Read), text.size());
    ASSERT_TRUE(buffered);

    // Each step runs on both streams; every answer and every byte must agree.
    auto both = [&](auto&& step) {
        auto expected = step(*buffered);
        EXPECT_EQ(step(*mapped), expected);
    };
    auto readText = [](std::size_t n) {
        return [n](ByteStream& s) {
            std::string out(n, '\0');
            int64_t got = streamRead(&s, out.data(), n);
            out.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
            return std::make_pair(got, out);
        };
    };
    auto seek = [](uint64_t offset, int whence) {
        return [=](ByteStream& s) { return streamSeek(&s, offset, whence); };
    };
    auto tell = [](ByteStream& s) { return streamTell(&s); };
    auto consume = [](std::size_t n) {
        return [n](ByteStream& s) {
            s.consumeView(n);
            return viewText(s);
        };
    };

    EXPECT_TRUE(mapped->hasView());
    both(viewText);
    both(consume(13));
    both(readText(5));
    both(tell);
    both(seek(static_cast<uint64_t>(-3), kSeekCur));
    both(readText(10));
    both(seek(0, kSeekEnd));
    both(readText(4));
    both(viewText);
    both(seek(static_cast<uint64_t>(-4), kSeekEnd));
    both(consume(100)); // more than is left
    both(tell);
    both(seek(text.size() + 1, kSeekSet)); // beyond the end: the position stays
    both(seek(2, kSeekSet));
    both(readText(100));
    both(seek(0, 7));
    EXPECT_FALSE(streamFailed(mapped.get()));
    EXPECT_EQ(streamClose(mapped), 0);
    EXPECT_FALSE(mapped);
}

TEST(MappedReader, LeavesTheStreamToTheCallerWhereNothingCanBeMapped) {
    test::TempDir dir;
    std::unique_ptr<ByteStream> none;
    EXPECT_FALSE(mappedReaderCreate(none));

    std::unique_ptr<ByteStream> memory = std::make_unique<MemoryStream>("no file behind it");
    EXPECT_FALSE(mappedReaderCreate(memory));
    ASSERT_TRUE(memory);
    char c = 0;
    EXPECT_EQ(streamRead(memory.get(), &c, 1), 1);

    std::string empty = dir.write("empty.txt", "");
    std::unique_ptr<ByteStream> emptyFile = fileStreamOpen(empty.c_str(), FileStreamKind::Read);
    EXPECT_FALSE(mappedReaderCreate(emptyFile));
    EXPECT_TRUE(emptyFile);

    std::string written = dir.write("w.txt", "data");
    std::unique_ptr<ByteStream> writer = fileStreamOpen(written.c_str(), FileStreamKind::Append);
    EXPECT_FALSE(mappedReaderCreate(writer));
    EXPECT_TRUE(writer);

    // A device is no regular file, whatever its descriptor.
    std::unique_ptr<ByteStream> device = fileStreamOpen("/dev/zero", FileStreamKind::Read);
    ASSERT_TRUE(device);
    EXPECT_FALSE(mappedReaderCreate(device));
    EXPECT_TRUE(device);
}

// A file longer than the span the reader keeps mapped ahead of handing pages back: every byte is read
// right going forward, and again after a seek back to the start.
TEST(MappedReader, ReadsALongFileRightBeforeAndAfterGivingPagesBack) {
    test::TempDir dir;
    std::string text(20u << 20, '\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>(i * 2654435761u >> 13);
    std::unique_ptr<ByteStream> mapped = openMapped(dir.write("long.bin", text));
    ASSERT_TRUE(mapped);
    std::size_t at = 0;
    bool same = true;
    while (same && at < text.size()) {
        auto view = mapped->view();
        std::size_t n = std::min<std::size_t>(view.size(), 300007);
        same = view.size() == text.size() - at && std::memcmp(view.data(), text.data() + at, n) == 0;
        mapped->consumeView(n);
        at += n;
    }
    EXPECT_TRUE(same) << at;
    EXPECT_TRUE(mapped->view().empty());
    ASSERT_EQ(streamSeek(mapped.get(), 0, kSeekSet), 0);
    std::string again(text.size(), '\0');
    EXPECT_EQ(streamRead(mapped.get(), again.data(), again.size()), static_cast<int64_t>(text.size()));
    EXPECT_TRUE(again == text);
}

// A file cut short by another program while it is mapped: the rest reads as zeros, the stream
// reports a read error, and the program goes on. A SIGBUS that is no such fault still ends it.
TEST(MappedReader, AFileCutShortUnderTheMappingIsAReadErrorNotACrash) {
    test::TempDir dir;
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::string text(4 * page, 'x');
    std::string path = dir.write("cut.txt", text);
    std::unique_ptr<ByteStream> mapped = openMapped(path);
    ASSERT_TRUE(mapped);
    std::string head(page, '\0');
    ASSERT_EQ(streamRead(mapped.get(), head.data(), page), static_cast<int64_t>(page));
    EXPECT_EQ(head, text.substr(0, page));
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(page + page / 2)), 0);

    std::string rest(3 * page, '\1');
    ASSERT_EQ(streamRead(mapped.get(), rest.data(), rest.size()), static_cast<int64_t>(rest.size()));
    EXPECT_EQ(rest.substr(0, page / 2), text.substr(0, page / 2)); // still in the file
    EXPECT_EQ(rest.substr(page), std::string(2 * page, '\0'));     // beyond the cut
    EXPECT_TRUE(streamFailed(mapped.get()));
    EXPECT_EQ(streamClose(mapped), 0);

    // A second file mapped afterwards reads cleanly.
    std::string other = dir.write("whole.txt", "whole file");
    std::unique_ptr<ByteStream> again = openMapped(other);
    ASSERT_TRUE(again);
    EXPECT_EQ(viewText(*again), "whole file");
    EXPECT_FALSE(streamFailed(again.get()));

    EXPECT_DEATH(::raise(SIGBUS), "");
}

} // namespace
} // namespace loglathe
