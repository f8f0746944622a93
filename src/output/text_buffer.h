#pragma once
// A growable text buffer for building CSV rows without allocating once warm, and the printf-style
// append that formats into it with stb_sprintf's conversions.

#include <cstddef>
#include <memory>
#include <string_view>

namespace loglathe {

// Owns its bytes. Growth never throws: a failed enlargement leaves the buffer as it was and is
// answered false. The capacity counts the byte kept for the terminating NUL of formatting.
class TextBuffer {
public:
    TextBuffer() = default;
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;

    // Makes room for at least `capacity` bytes; keeps the content.
    bool reserve(std::size_t capacity);
    // Empties the text; the capacity stays.
    void clear() { size_ = 0; }
    // Empties the text and gives the memory back.
    void release();
    bool append(std::string_view text);

    const char* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    std::string_view view() const { return {data_.get(), size_}; }

private:
    friend bool stringAppendFormat(TextBuffer& buffer, const char* format, ...);

    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Appends formatted text ("%f" gives six decimals, "NaN" and "Inf"). Formats into the free capacity
// first and, when the text did not fit, enlarges the buffer to exactly the needed size and formats
// again. False when the buffer could not grow (the text is then unchanged); a conversion producing
// no characters leaves the buffer unchanged and answers true.
bool stringAppendFormat(TextBuffer& buffer, const char* format, ...) __attribute__((format(printf, 2, 3)));

} // namespace loglathe
