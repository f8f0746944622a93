#pragma once
// Seekable byte sources and sinks: file streams over an operating-system file, a buffered reader
// over another stream, and an in-memory stream for tests.
//
// Callers use the stream*() functions; the virtual operations behind them are for implementations
// only. Operations a stream does not support answer -2 (the base-class defaults). Failures are
// results; nothing here writes a diagnostic. A read answers 0 both at the end of the data and on a
// read error; streamFailed() tells the two apart. Close a stream with streamClose(): it answers 0 on
// success and then releases the object; on failure the object stays with the caller, who may only
// destroy it.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace loglathe {

constexpr int64_t kStreamUnsupported = -2;

enum StreamWhence : int { kSeekSet = 0, kSeekCur = 1, kSeekEnd = 2 };

class ByteStream {
public:
    virtual ~ByteStream() = default;

    // In-memory view for line scanners: a stream that holds its data in a buffer may expose the
    // bytes from the current position to the end of the buffer (refilling it when exhausted) so that
    // a reader can scan a line without one call per byte. consumeView(n) advances the position by n
    // bytes within the last view. Streams without a buffer answer false from hasView().
    virtual bool hasView() const { return false; }
    virtual std::span<const uint8_t> view() { return {}; }
    virtual void consumeView(std::size_t) {}

protected:
    // Bytes read (0 at the end of the data or on a read error).
    virtual int64_t read(void* destination, std::size_t length);
    virtual int64_t write(const void* data, std::size_t length);
    virtual int64_t tell();
    // The new position, or a negative value.
    virtual int64_t seek(uint64_t offset, int whence);
    // 0 on success. After a successful close the stream must not be used except to destroy it.
    virtual int close() { return 0; }
    // Cuts the data to `length` bytes and stands at its end; 0 on success.
    virtual int truncate(uint64_t length);
    // True once a read or write of this stream (or of a stream below it) has failed.
    virtual bool failed() const { return false; }

    friend int64_t streamRead(ByteStream* s, void* destination, std::size_t length);
    friend int64_t streamWrite(ByteStream* s, const void* data, std::size_t length);
    friend int64_t streamTell(ByteStream* s);
    friend int64_t streamSeek(ByteStream* s, uint64_t offset, int whence);
    friend int streamClose(std::unique_ptr<ByteStream>& s);
    friend int streamTruncate(ByteStream* s, uint64_t length);
    friend bool streamFailed(const ByteStream* s);
};

enum class FileStreamKind : int { Read = 0, Write = 1, ReadWrite = 2, Append = 3 };

// The calls every user of a stream makes. A null stream answers -2 (-1 from streamSize, 0 from
// streamClose).
inline int64_t streamRead(ByteStream* s, void* destination, std::size_t length) {
    return s ? s->read(destination, length) : kStreamUnsupported;
}
inline int64_t streamWrite(ByteStream* s, const void* data, std::size_t length) {
    return s ? s->write(data, length) : kStreamUnsupported;
}
inline int64_t streamTell(ByteStream* s) {
    return s ? s->tell() : kStreamUnsupported;
}
inline int64_t streamSeek(ByteStream* s, uint64_t offset, int whence) {
    return s ? s->seek(offset, whence) : kStreamUnsupported;
}
// Cuts the data to `length` bytes; 0 on success, negative when it failed or is not supported.
inline int streamTruncate(ByteStream* s, uint64_t length) {
    return s ? s->truncate(length) : static_cast<int>(kStreamUnsupported);
}
// Whether a read or write has failed; a read that answered 0 is the end of the data when not.
inline bool streamFailed(const ByteStream* s) {
    return s && s->failed();
}
// On success the stream is released (the pointer becomes null).
int streamClose(std::unique_ptr<ByteStream>& s);
// Total length; the position is left where it was.
int64_t streamSize(ByteStream* s);

// Opens a file: kind Read "rb", Write "wb" (created or truncated), ReadWrite "r+b", Append "ab"
// (created when missing, every write at the end). Null (errno as the open left it) when the path is
// null, the kind is none of these, or the file cannot be opened. Writes are not buffered: each write
// goes to the operating system at once, so that its answer tells what reached the file; callers
// write whole buffers.
std::unique_ptr<ByteStream> fileStreamOpen(const char* path, FileStreamKind kind);

// A read-only stream served from a buffer of `size` rounded up to a multiple of 8 bytes, refilled
// from `inner`, which the reader owns: closing the reader closes the inner stream first. The buffer
// is allocated without throwing: null when it cannot be had (the inner stream is then destroyed,
// which closes its file).
//
// With a `limit`, the reader takes the first `limit` bytes of the inner stream only (what a file
// held when it was opened, say), and an inner stream that ends before them (a file cut short while
// it is read) is a read error.
constexpr uint64_t kNoReadLimit = UINT64_MAX;
std::unique_ptr<ByteStream> bufferedReaderCreate(std::unique_ptr<ByteStream> inner, std::size_t size,
                                                 uint64_t limit = kNoReadLimit);
// The same over a stream the caller keeps (never closed by the reader).
std::unique_ptr<ByteStream> bufferedReaderCreate(ByteStream* inner, std::size_t size);

// A stream over bytes in memory (reads, writes, seeks); for tests and in-memory data.
class MemoryStream : public ByteStream {
public:
    MemoryStream() = default;
    explicit MemoryStream(std::string_view bytes) : data_(bytes.begin(), bytes.end()) {}

    const std::vector<uint8_t>& data() const { return data_; }
    // Counts of calls, so tests can see whether a layer above touched this stream.
    int readCalls = 0;
    int seekCalls = 0;

protected:
    int64_t read(void* destination, std::size_t length) override;
    int64_t write(const void* data, std::size_t length) override;
    int64_t tell() override { return static_cast<int64_t>(position_); }
    int64_t seek(uint64_t offset, int whence) override;

private:
    std::vector<uint8_t> data_;
    std::size_t position_ = 0;
};

} // namespace loglathe
