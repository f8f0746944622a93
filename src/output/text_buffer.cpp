#include "output/text_buffer.h"

#include "output/stb_format.h"

#include <cstdarg>
#include <cstring>
#include <limits>
#include <new>

namespace loglathe {

bool TextBuffer::reserve(std::size_t capacity) {
    if (capacity <= capacity_)
        return true;
    std::unique_ptr<char[]> grown(new (std::nothrow) char[capacity]);
    if (!grown)
        return false;
    if (size_)
        std::memcpy(grown.get(), data_.get(), size_);
    data_ = std::move(grown);
    capacity_ = capacity;
    return true;
}

void TextBuffer::release() {
    data_.reset();
    size_ = 0;
    capacity_ = 0;
}

bool TextBuffer::append(std::string_view text) {
    if (!reserve(size_ + text.size() + 1))
        return false;
    if (!text.empty())
        std::memcpy(data_.get() + size_, text.data(), text.size());
    size_ += text.size();
    return true;
}

bool stringAppendFormat(TextBuffer& buffer, const char* format, ...) {
    // stb_sprintf counts in int; a buffer beyond that is never needed for one row.
    constexpr std::size_t kMaxFree = static_cast<std::size_t>(std::numeric_limits<int>::max());
    std::size_t room = buffer.capacity_ - buffer.size_;
    if (room > kMaxFree)
        room = kMaxFree;
    char* free = room ? buffer.data_.get() + buffer.size_ : nullptr;

    va_list args;
    va_start(args, format);
    int needed = stbFormat(free, static_cast<int>(room), format, args);
    va_end(args);
    if (needed <= 0)
        return true;
    std::size_t length = static_cast<std::size_t>(needed);
    if (length >= room) {
        // Did not fit (the terminating NUL needs a byte too): grow to exactly what is needed.
        if (!buffer.reserve(buffer.size_ + length + 1))
            return false;
        va_start(args, format);
        stbFormat(buffer.data_.get() + buffer.size_, static_cast<int>(length + 1), format, args);
        va_end(args);
    }
    buffer.size_ += length;
    return true;
}

} // namespace loglathe
