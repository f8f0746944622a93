#pragma once
// A growable text buffer for building CSV rows without allocating once warm, with the append that
// writes a number as stb_sprintf's "%f" does.

#include "output/fixed_format.h"

#include <cstddef>
#include <memory>
#include <string_view>

namespace loglathe {

// Owns its bytes. Growth never throws: a failed enlargement leaves the buffer as it was and is
// answered false.
class TextBuffer {
public:
    TextBuffer() = default;
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;

    // Makes room for at least `capacity` bytes; keeps the content.
    bool reserve(std::size_t capacity);
    // Empties the text; the capacity stays.
    void clear() { size_ = 0; }
    // Drops the text from `size` on (a larger size changes nothing).
    void cut(std::size_t size) {
        if (size < size_)
            size_ = size;
    }
    // Empties the text and gives the memory back.
    void release();
    bool append(std::string_view text);
    bool append(char character) {
        if (size_ == capacity_ && !makeRoom(1))
            return false;
        data_[size_++] = character;
        return true;
    }
    // Appends `value` as "%f" text (six decimals, "NaN", "Inf", signs kept). The buffer keeps a
    // number's worst-case room free behind the text, growing when it has less.
    bool appendFixed(double value) {
        if (capacity_ - size_ < kFixedRoom && !makeRoom(kFixedRoom))
            return false;
        size_ += formatFixed(data_.get() + size_, value);
        return true;
    }
    // The same through a formatter that keeps the whole part of the value before.
    bool appendFixed(double value, RepeatedFixed& formatter) {
        if (capacity_ - size_ < kFixedRoom && !makeRoom(kFixedRoom))
            return false;
        size_ += formatter.format(data_.get() + size_, value);
        return true;
    }

    const char* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    std::string_view view() const { return {data_.get(), size_}; }

private:
    // Makes sure `extra` bytes are free, at least doubling the capacity when it has to grow.
    bool makeRoom(std::size_t extra);

    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

} // namespace loglathe
