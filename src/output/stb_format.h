#pragma once
// The one entry into stb_sprintf, whose implementation is compiled in stb_format.cpp only.

#include <cstdarg>

namespace loglathe {

// stb_sprintf formats straight into the destination only while at least this many bytes are free;
// with less it goes through a scratch buffer and copies.
constexpr int kStbDirectRoom = 512;

// vsnprintf with stb_sprintf's conversions: writes at most `count` bytes including a terminating NUL
// (nothing when `count` is 0 and `destination` null) and answers the length of the whole text.
int stbFormat(char* destination, int count, const char* format, va_list args);

// stb_sprintf's "%f" of one value, written as by stbFormat().
int stbFormatFixed(char* destination, int count, double value);

} // namespace loglathe
