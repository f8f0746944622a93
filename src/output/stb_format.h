#pragma once
// The one entry into stb_sprintf, whose implementation is compiled in stb_format.cpp only.

namespace loglathe {

// stb_sprintf's "%f" of one value: writes at most `count` bytes including a terminating NUL and
// answers the length of the whole text.
int stbFormatFixed(char* destination, int count, double value);

} // namespace loglathe
