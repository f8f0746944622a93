#pragma once
// The one entry into stb_sprintf, whose implementation is compiled in stb_format.cpp only.

#include <cstdarg>

namespace loglathe {

// vsnprintf with stb_sprintf's conversions: writes at most `count` bytes including a terminating NUL
// (nothing when `count` is 0 and `destination` null) and answers the length of the whole text.
int stbFormat(char* destination, int count, const char* format, va_list args);

} // namespace loglathe
