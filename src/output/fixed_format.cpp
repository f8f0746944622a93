#include "output/fixed_format.h"

#include "output/stb_format.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace loglathe {

// How stb_sprintf rounds in "%f" mode, and why the integer conversion agrees with it.
//
// stb_sprintf scales |v| by a power of ten 10^p chosen from the binary exponent, in double-double
// arithmetic, and truncates the product toward zero to an integer X' of 18 or 19 digits. The product
// is good to about 2^-100 relative and X' < 2^63, so |X' - X| < 2 for the exact X = |v| * 10^p. It then
// rounds X' half up at the sixth decimal: floor((X' + r/2) / r) with r = 10^(p-6), and prints that
// many micro-units. For 2^-24 <= |v| < 2^32 every binade scales into 10^17 <= X < 2 * 10^18 (checked
// for each binary exponent of the range), so the decimal exponent and digit count it derives are
// those of v, and r >= 100. Its result is therefore the exactly rounded floor(|v| * 10^6 + 1/2)
// unless |v| * 10^6 lies within 2/r <= 0.02 of a tie. Here |v| * 10^6 is computed exactly (the 53-bit
// significand times 10^6 in 128 bits), rounded half up, and values within 1/32 of a tie are left to
// stb_sprintf. Exact ties, common for multiples of 2^-7, are among those.
//
// Below 2^-24 (about 6e-8) stb_sprintf prints zero, as the exact rounding would.

namespace {

constexpr int kExponentBias = 1023;
constexpr int kSignificandBits = 52;
constexpr int kSmallestScaledExponent = -24;
constexpr int kLargestScaledExponent = 31;
// Fraction bits of |v| * 10^6 on each side of a tie that are left to stb_sprintf: 1/32.
constexpr int kTieMarginShift = 5;
constexpr std::uint64_t kMicrosPerUnit = 1000000;

constexpr char kDigitPairs[] = "00010203040506070809"
                               "10111213141516171819"
                               "20212223242526272829"
                               "30313233343536373839"
                               "40414243444546474849"
                               "50515253545556575859"
                               "60616263646566676869"
                               "70717273747576777879"
                               "80818283848586878889"
                               "90919293949596979899";

void writePair(char* destination, std::uint32_t value) {
    std::memcpy(destination, kDigitPairs + 2 * value, 2);
}

// Writes "<integer>.<six decimals>" for a count of micro-units, with a leading minus when asked.
std::size_t writeMicros(char* destination, bool negative, std::uint64_t micros) {
    std::uint64_t whole = micros / kMicrosPerUnit;
    std::uint32_t fraction = static_cast<std::uint32_t>(micros - whole * kMicrosPerUnit);

    // The integer part is built backwards at the end of a scratch area, then copied.
    char digits[20];
    char* start = digits + sizeof digits;
    while (whole >= 100) {
        start -= 2;
        writePair(start, static_cast<std::uint32_t>(whole % 100));
        whole /= 100;
    }
    if (whole >= 10) {
        start -= 2;
        writePair(start, static_cast<std::uint32_t>(whole));
    } else {
        *--start = static_cast<char>('0' + whole);
    }

    char* out = destination;
    if (negative)
        *out++ = '-';
    std::size_t integerLength = static_cast<std::size_t>(digits + sizeof digits - start);
    std::memcpy(out, start, integerLength);
    out += integerLength;
    *out++ = '.';
    writePair(out, fraction / 10000);
    writePair(out + 2, fraction / 100 % 100);
    writePair(out + 4, fraction % 100);
    out += 6;
    return static_cast<std::size_t>(out - destination);
}

std::size_t writeText(char* destination, bool negative, const char* text, std::size_t length) {
    char* out = destination;
    if (negative)
        *out++ = '-';
    std::memcpy(out, text, length);
    return length + (negative ? 1 : 0);
}

} // namespace

std::size_t formatFixedFast(char* destination, double value) {
    std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
    bool negative = (bits >> 63) != 0;
    int biasedExponent = static_cast<int>((bits >> kSignificandBits) & 0x7ff);
    std::uint64_t significand = bits & ((std::uint64_t{1} << kSignificandBits) - 1);

    if (biasedExponent == 0x7ff)
        return significand ? writeText(destination, negative, "NaN", 3)
                           : writeText(destination, negative, "Inf", 3);
    int exponent = biasedExponent - kExponentBias;
    if (exponent < kSmallestScaledExponent)
        return writeMicros(destination, negative, 0);
    if (exponent > kLargestScaledExponent)
        return 0;

    // |v| = significand * 2^-shift exactly, with 21 <= shift <= 76.
    significand |= std::uint64_t{1} << kSignificandBits;
    int shift = kSignificandBits - exponent;
    unsigned __int128 scaled = static_cast<unsigned __int128>(significand) * kMicrosPerUnit;
    std::uint64_t micros = static_cast<std::uint64_t>(scaled >> shift);
    unsigned __int128 remainder = scaled - (static_cast<unsigned __int128>(micros) << shift);
    unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
    unsigned __int128 margin = static_cast<unsigned __int128>(1) << (shift - kTieMarginShift);
    if (remainder + margin >= half && remainder <= half + margin)
        return 0;
    if (remainder > half)
        ++micros;
    return writeMicros(destination, negative, micros);
}

std::size_t formatFixed(char* destination, double value) {
    std::size_t length = formatFixedFast(destination, value);
    if (length)
        return length;
    int written = stbFormatFixed(destination, static_cast<int>(kFixedRoom), value);
    return written > 0 ? static_cast<std::size_t>(written) : 0;
}

} // namespace loglathe
