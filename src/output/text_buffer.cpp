#include "output/text_buffer.h"

#include <cstring>
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

bool TextBuffer::makeRoom(std::size_t extra) {
    if (capacity_ - size_ >= extra)
        return true;
    std::size_t needed = size_ + extra;
    std::size_t doubled = 2 * capacity_;
    return reserve(doubled > needed ? doubled : needed);
}

void TextBuffer::release() {
    data_.reset();
    size_ = 0;
    capacity_ = 0;
}

bool TextBuffer::append(std::string_view text) {
    if (!makeRoom(text.size()))
        return false;
    if (!text.empty())
        std::memcpy(data_.get() + size_, text.data(), text.size());
    size_ += text.size();
    return true;
}

} // namespace loglathe
