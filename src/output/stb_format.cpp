// stb_sprintf is a single-header library: its implementation is compiled here, once, and reached
// through stbFormatFixed() so that no other file depends on its macros.

// Byte-wise loads instead of unaligned word loads, which the undefined-behaviour sanitizer rejects.
#define STB_SPRINTF_NOUNALIGNED
#define STB_SPRINTF_IMPLEMENTATION
#define STB_SPRINTF_STATIC

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-function"
#include <stb_sprintf.h>
#pragma GCC diagnostic pop

#include "output/stb_format.h"

namespace loglathe {

int stbFormatFixed(char* destination, int count, double value) {
    return stbsp_snprintf(destination, count, "%f", value);
}

} // namespace loglathe
