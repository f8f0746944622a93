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
#include <cstdint>

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

// formatFixed for a sequence of values that mostly share their whole part with the one before, as
// the time stamps of a file's rows do: the text up to the decimal point is kept from the last value
// and only the decimals are written anew. Gives formatFixed's text for every value.
class RepeatedFixed {
public:
    // As formatFixed: `destination` has at least kFixedRoom bytes; answers the length.
    std::size_t format(char* destination, double value);

private:
    std::uint64_t whole_ = 0;
    bool negative_ = false;
    std::size_t prefixLength_ = 0; // 0: nothing kept
    char prefix_[16] = {};
};

} // namespace loglathe
