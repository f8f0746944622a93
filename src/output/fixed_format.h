#pragma once
// Numbers of the CSV rows as text: exactly what stb_sprintf's "%f" gives (six decimals, "NaN",
// "-NaN", "Inf", "-Inf", "-0.000000"), byte for byte, for every double.
//
// Most values the converter writes are moderate: signal values and time stamps below 2^32 in
// magnitude. Those are converted here with integer arithmetic, which is several times cheaper than
// the general conversion. A value whose sixth decimal lies too close to a rounding tie for the fast
// conversion to be sure of agreeing with stb_sprintf, and every value of 2^32 or more, goes through
// stb_sprintf itself.

#include <cstddef>

namespace loglathe {

// Bytes that must be free at the destination of formatFixed(): the longest text ("-" followed by
// the 309 integer digits of the largest double, the point and six decimals) and a terminating NUL.
constexpr std::size_t kFixedRoom = 1 + 309 + 1 + 6 + 1;

// Writes the "%f" text of `value` to `destination`, which has at least kFixedRoom bytes, and
// answers its length. The byte after the text may have been overwritten.
std::size_t formatFixed(char* destination, double value);

// The integer conversion alone: writes the text and answers its length when `value` lies in its
// domain (at most 18 bytes are written), answers 0 and writes nothing otherwise.
std::size_t formatFixedFast(char* destination, double value);

} // namespace loglathe
