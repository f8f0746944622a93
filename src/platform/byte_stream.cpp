#include "platform/byte_stream.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace loglathe {

int64_t ByteStream::read(void*, std::size_t) {
    return kStreamUnsupported;
}
int64_t ByteStream::write(const void*, std::size_t) {
    return kStreamUnsupported;
}
int64_t ByteStream::tell() {
    return kStreamUnsupported;
}
int64_t ByteStream::seek(uint64_t, int) {
    return kStreamUnsupported;
}
int ByteStream::truncate(uint64_t) {
    return static_cast<int>(kStreamUnsupported);
}

int streamClose(std::unique_ptr<ByteStream>& s) {
    if (!s)
        return 0;
    int result = s->close();
    if (result == 0)
        s.reset();
    return result;
}

int64_t streamSize(ByteStream* s) {
    if (!s)
        return -1;
    int64_t here = streamTell(s);
    int64_t size = streamSeek(s, 0, kSeekEnd);
    streamSeek(s, static_cast<uint64_t>(here), kSeekSet);
    return size;
}

namespace {

// A file of the operating system behind a stdio handle. `position` mirrors the offset so that a
// seek to where the stream already is costs nothing.
class FileStream final : public ByteStream {
public:
    FileStream(FILE* file, FileStreamKind kind) : file_(file), kind_(kind) {}
    ~FileStream() override {
        if (file_)
            std::fclose(file_);
    }

private:
    int64_t read(void* destination, std::size_t length) override {
        if (kind_ == FileStreamKind::Write || kind_ == FileStreamKind::Append)
            return kStreamUnsupported;
        std::size_t n = std::fread(destination, 1, length, file_);
        position_ += n;
        if (n < length && std::ferror(file_))
            failed_ = true;
        return static_cast<int64_t>(n);
    }
    int64_t write(const void* data, std::size_t length) override {
        if (kind_ == FileStreamKind::Read)
            return kStreamUnsupported;
        std::size_t n = std::fwrite(data, 1, length, file_);
        position_ += n;
        if (n < length)
            failed_ = true;
        return static_cast<int64_t>(n);
    }
    int truncate(uint64_t length) override {
        if (kind_ == FileStreamKind::Read || !file_)
            return -1;
        if (std::fflush(file_) != 0 || ::ftruncate(::fileno(file_), static_cast<off_t>(length)) != 0)
            return -1;
        if (fseeko(file_, static_cast<off_t>(length), SEEK_SET) != 0)
            return -1;
        position_ = length;
        return 0;
    }
    bool failed() const override { return failed_; }
    int64_t tell() override { return static_cast<int64_t>(ftello(file_)); }
    int64_t seek(uint64_t offset, int whence) override {
        if (whence < 0 || whence > 2)
            return -1;
        if (whence == kSeekSet && offset == position_)
            return static_cast<int64_t>(offset);
        int result = fseeko(file_, static_cast<off_t>(offset), whence);
        if (result != 0)
            return result;
        position_ = static_cast<uint64_t>(ftello(file_));
        return static_cast<int64_t>(position_);
    }
    int close() override {
        // fclose releases the handle whatever it answers, so it is never called twice.
        FILE* file = file_;
        file_ = nullptr;
        return std::fclose(file) == 0 ? 0 : -1;
    }

private:
    FILE* file_;
    FileStreamKind kind_;
    uint64_t position_ = 0;
    bool failed_ = false;
};

class BufferedReader final : public ByteStream {
public:
    BufferedReader(std::unique_ptr<ByteStream> inner, std::unique_ptr<uint8_t[]> buffer, std::size_t capacity,
                   uint64_t limit = kNoReadLimit)
        : inner_(std::move(inner)), buffer_(std::move(buffer)), capacity_(capacity), limit_(limit) {}
    BufferedReader(ByteStream* inner, std::unique_ptr<uint8_t[]> buffer, std::size_t capacity)
        : borrowed_(inner), buffer_(std::move(buffer)), capacity_(capacity) {}

    bool hasView() const override { return true; }
    std::span<const uint8_t> view() override {
        if (pos_ == fill_ && !refill())
            return {};
        return {buffer_.get() + pos_, fill_ - pos_};
    }
    void consumeView(std::size_t n) override { pos_ += std::min(n, fill_ - pos_); }

private:
    int64_t read(void* destination, std::size_t length) override {
        auto* out = static_cast<uint8_t*>(destination);
        std::size_t copied = 0;
        while (copied < length) {
            if (pos_ == fill_ && !refill())
                return static_cast<int64_t>(copied);
            std::size_t n = std::min(length - copied, fill_ - pos_);
            std::memcpy(out + copied, buffer_.get() + pos_, n);
            pos_ += n;
            copied += n;
        }
        return static_cast<int64_t>(length);
    }
    int64_t tell() override { return static_cast<int64_t>(start_ + pos_); }
    int64_t seek(uint64_t offset, int whence) override {
        uint64_t target;
        if (whence == kSeekSet) {
            target = offset;
        } else if (whence == kSeekCur) {
            target = offset + start_ + pos_;
        } else if (whence == kSeekEnd) {
            int64_t end = streamSeek(inner(), 0, kSeekEnd);
            if (end < 0)
                return end;
            target = std::min(static_cast<uint64_t>(end), limit_) + offset;
        } else {
            return -1;
        }
        if (start_ <= target && target <= start_ + fill_) {
            pos_ = static_cast<std::size_t>(target - start_);
            return static_cast<int64_t>(target);
        }
        if (streamSeek(inner(), target, kSeekSet) < 0)
            return static_cast<int64_t>(start_ + pos_);
        if (readInner(target) <= 0)
            return static_cast<int64_t>(start_ + pos_);
        start_ = target;
        pos_ = 0;
        return static_cast<int64_t>(target);
    }
    int close() override {
        if (inner_) {
            int result = streamClose(inner_);
            if (result != 0)
                return result;
        }
        return 0;
    }
    bool failed() const override { return failed_ || streamFailed(inner_ ? inner_.get() : borrowed_); }

    ByteStream* inner() { return inner_ ? inner_.get() : borrowed_; }

    // Reads the next buffer's worth from where the reader stands; false at the end of the data.
    bool refill() {
        streamSeek(inner(), start_ + pos_, kSeekSet);
        if (readInner(start_ + pos_) <= 0)
            return false;
        start_ += pos_;
        pos_ = 0;
        return true;
    }

    // Fills the buffer from the inner stream, which stands at `at`, up to the limit; the bytes read,
    // or 0 at the end of the data and on a read error (remembered).
    int64_t readInner(uint64_t at) {
        if (at >= limit_)
            return 0;
        std::size_t length = static_cast<std::size_t>(std::min<uint64_t>(capacity_, limit_ - at));
        int64_t n = streamRead(inner(), buffer_.get(), length);
        // Data that ends before the limit was cut short under the reader.
        if (n < 0 || (n == 0 && limit_ != kNoReadLimit))
            failed_ = true;
        if (n > 0)
            fill_ = static_cast<std::size_t>(n);
        return n;
    }

    std::unique_ptr<ByteStream> inner_;
    ByteStream* borrowed_ = nullptr;
    std::unique_ptr<uint8_t[]> buffer_;
    std::size_t capacity_;
    uint64_t limit_ = kNoReadLimit;
    std::size_t fill_ = 0;
    std::size_t pos_ = 0;
    uint64_t start_ = 0;
    bool failed_ = false;
};

std::unique_ptr<uint8_t[]> allocateBuffer(std::size_t size, std::size_t& capacity) {
    if (size > SIZE_MAX - 7)
        return nullptr;
    capacity = (size + 7) / 8 * 8;
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[capacity == 0 ? 1 : capacity]);
}

} // namespace

std::unique_ptr<ByteStream> fileStreamOpen(const char* path, FileStreamKind kind) {
    static const char* const kModes[] = {"rb", "wb", "r+b", "ab"};
    const auto index = static_cast<std::size_t>(kind);
    if (!path || index >= std::size(kModes))
        return nullptr;
    FILE* file = std::fopen(path, kModes[index]);
    if (!file)
        return nullptr;
    if (kind != FileStreamKind::Read)
        std::setvbuf(file, nullptr, _IONBF, 0);
    return std::make_unique<FileStream>(file, kind);
}

std::unique_ptr<ByteStream> bufferedReaderCreate(std::unique_ptr<ByteStream> inner, std::size_t size,
                                                 uint64_t limit) {
    std::size_t capacity = 0;
    auto buffer = allocateBuffer(size, capacity);
    if (!buffer)
        return nullptr;
    return std::make_unique<BufferedReader>(std::move(inner), std::move(buffer), capacity, limit);
}

std::unique_ptr<ByteStream> bufferedReaderCreate(ByteStream* inner, std::size_t size) {
    std::size_t capacity = 0;
    auto buffer = allocateBuffer(size, capacity);
    if (!buffer)
        return nullptr;
    return std::make_unique<BufferedReader>(inner, std::move(buffer), capacity);
}

int64_t MemoryStream::read(void* destination, std::size_t length) {
    ++readCalls;
    std::size_t n = position_ < data_.size() ? std::min(length, data_.size() - position_) : 0;
    if (n)
        std::memcpy(destination, data_.data() + position_, n);
    position_ += n;
    return static_cast<int64_t>(n);
}

int64_t MemoryStream::write(const void* data, std::size_t length) {
    if (position_ + length > data_.size())
        data_.resize(position_ + length);
    if (length)
        std::memcpy(data_.data() + position_, data, length);
    position_ += length;
    return static_cast<int64_t>(length);
}

int64_t MemoryStream::seek(uint64_t offset, int whence) {
    ++seekCalls;
    uint64_t base = whence == kSeekSet ? 0 : whence == kSeekCur ? position_ : data_.size();
    if (whence < 0 || whence > 2)
        return -1;
    position_ = static_cast<std::size_t>(base + offset);
    return static_cast<int64_t>(position_);
}

} // namespace loglathe
