#include "output/fixed_format.h"

#include "output/stb_format.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace loglathe {

// How stb_sprintf rounds in "%f" mode, and why the integer conversion agrees with it.
//
// stb_sprintf scales |v| by a power of ten 10^p chosen from the binary exponent, in double-double
// arithmetic, and takes the integer part of the product to within one unit: an integer X' of 18 or
// 19 digits. The product is good to about 2^-100 relative and X' < 2^63, so |X' - X| < 2 for the exact
// X = |v| * 10^p. It then rounds X' half up at the sixth decimal, floor((X' + r/2) / r) with
// r = 10^(p-6), and prints that many micro-units. For 2^-24 <= |v| < 2^32 every binade scales into
// 10^17 <= X < 2 * 10^18 (checked for each binary exponent of the range), so the decimal exponent and
// digit count it derives are those of v, and r >= 100. Its result is therefore the exactly rounded
// floor(|v| * 10^6 + 1/2) unless |v| * 10^6 lies within 2/r <= 0.02 of a tie. Here |v| * 10^6 is
// computed exactly (the 53-bit significand times 10^6 in 128 bits), rounded half up, and values
// within 1/32 of a tie are left to stb_sprintf. Exact ties, which every odd multiple of 2^-7 is, are
// among those.
//
// Below 2^-24 (about 6e-8) stb_sprintf prints zero, as the exact rounding would.

namespace {

constexpr int kExponentBias = 1023;
constexpr int kSignificandBits = 52;
constexpr int kSmallestScaledExponent = -24;
constexpr int kLargestScaledExponent = 31;
// A micro-unit's fraction as 64 bits: the tie, and the distance from it (1/32) within which values
// are left to stb_sprintf.
constexpr std::uint64_t kHalf = std::uint64_t{1} << 63;
constexpr std::uint64_t kTieMargin = std::uint64_t{1} << 59;
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

// Writes the four digits of `value` < 10^4.
void writeFour(char* destination, std::uint32_t value) {
    std::uint32_t high = value / 100;
    writePair(destination, high);
    writePair(destination + 2, value - high * 100);
}

// Writes the six digits of `fraction` < 10^6.
void writeSixDecimals(char* destination, std::uint32_t fraction) {
    std::uint32_t high = fraction / 10000;
    writePair(destination, high);
    writeFour(destination + 2, fraction - high * 10000);
}

// Decimal digits of `value` (at least one).
int decimalDigits(std::uint64_t value) {
    static constexpr std::uint64_t kPowers[] = {
        1,       10,       100,       1000,       10000,          100000,
        1000000, 10000000, 100000000, 1000000000, 10000000000ull, 100000000000ull};
    // floor(log10(2) * bit width) is the digit count or one less.
    value |= 1;
    int estimate = (std::bit_width(value) * 1233) >> 12;
    return estimate + (value >= kPowers[estimate] ? 1 : 0);
}

// Writes "<integer>.<six decimals>" for a count of micro-units below 10^16, with a leading minus
// when asked.
std::size_t writeMicros(char* destination, bool negative, std::uint64_t micros) {
    std::uint64_t whole = micros / kMicrosPerUnit;
    std::uint32_t fraction = static_cast<std::uint32_t>(micros - whole * kMicrosPerUnit);
    if constexpr (std::endian::native == std::endian::little) {
        // Most signal values have at most four integer digits, in a random count: written without
        // a branch on the sign or the count. The four digits, zero-padded, are one word whose
        // leading zeros are shifted out; the bytes stored past the digits are overwritten by the
        // point and the decimals.
        if (whole < 10000) {
            auto small = static_cast<std::uint32_t>(whole);
            char* out = destination;
            *out = '-';
            out += negative ? 1 : 0;
            int count = 1 + (small >= 10) + (small >= 100) + (small >= 1000);
            char digits[4];
            writeFour(digits, small);
            std::uint32_t word;
            std::memcpy(&word, digits, 4);
            word >>= 8 * (4 - count);
            std::memcpy(out, &word, 4);
            out[count] = '.';
            writeSixDecimals(out + count + 1, fraction);
            return static_cast<std::size_t>(out + count + 7 - destination);
        }
    }

    char* out = destination;
    if (negative)
        *out++ = '-';
    char* point = out + decimalDigits(whole);
    *point = '.';
    writeSixDecimals(point + 1, fraction);

    // The integer part, backwards from the point: eight digits at a time while there are more, then
    // pairs.
    char* digit = point;
    while (whole >= 100000000) {
        std::uint64_t rest = whole / 100000000;
        std::uint32_t low = static_cast<std::uint32_t>(whole - rest * 100000000);
        std::uint32_t lowHigh = low / 10000;
        digit -= 8;
        writeFour(digit, lowHigh);
        writeFour(digit + 4, low - lowHigh * 10000);
        whole = rest;
    }
    std::uint32_t small = static_cast<std::uint32_t>(whole);
    while (small >= 100) {
        std::uint32_t rest = small / 100;
        digit -= 2;
        writePair(digit, small - rest * 100);
        small = rest;
    }
    if (small >= 10)
        writePair(digit - 2, small);
    else
        digit[-1] = static_cast<char>('0' + small);
    return static_cast<std::size_t>(point + 7 - destination);
}

std::size_t writeText(char* destination, bool negative, const char* text, std::size_t length) {
    char* out = destination;
    if (negative)
        *out++ = '-';
    std::memcpy(out, text, length);
    return length + (negative ? 1 : 0);
}

// The rounded count of micro-units of |value| and its sign, where the integer conversion is sure of
// agreeing with stb_sprintf; false for NaN, infinities, values of 2^32 or more and near-ties.
bool roundedMicros(double value, bool& negative, std::uint64_t& micros) {
    std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
    negative = (bits >> 63) != 0;
    int biasedExponent = static_cast<int>((bits >> kSignificandBits) & 0x7ff);
    std::uint64_t significand = bits & ((std::uint64_t{1} << kSignificandBits) - 1);
    int exponent = biasedExponent - kExponentBias;
    if (biasedExponent == 0x7ff || exponent > kLargestScaledExponent)
        return false;
    if (exponent < kSmallestScaledExponent) {
        micros = 0;
        return true;
    }

    // |v| = significand * 2^-shift exactly, with 21 <= shift <= 76, so |v| * 10^6 is exact in 128 bits.
    significand |= std::uint64_t{1} << kSignificandBits;
    int shift = kSignificandBits - exponent;
    unsigned __int128 scaled = static_cast<unsigned __int128>(significand) * kMicrosPerUnit;
    micros = static_cast<std::uint64_t>(scaled >> shift);
    // The fraction of a micro-unit, truncated to 64 bits: enough to place it against the tie margin.
    std::uint64_t fraction = static_cast<std::uint64_t>((scaled << (128 - shift)) >> 64);
    if (fraction - (kHalf - kTieMargin) <= 2 * kTieMargin)
        return false;
    if (fraction > kHalf)
        ++micros;
    return true;
}

} // namespace

std::size_t formatFixedFast(char* destination, double value) {
    bool negative = false;
    std::uint64_t micros = 0;
    if (roundedMicros(value, negative, micros))
        return writeMicros(destination, negative, micros);
    if (!std::isnan(value) && !std::isinf(value))
        return 0;
    return writeText(destination, negative, std::isnan(value) ? "NaN" : "Inf", 3);
}

std::size_t RepeatedFixed::format(char* destination, double value) {
    bool negative = false;
    std::uint64_t micros = 0;
    if (!roundedMicros(value, negative, micros))
        return formatFixed(destination, value);
    std::uint64_t whole = micros / kMicrosPerUnit;
    if (prefixLength_ == 0 || whole != whole_ || negative != negative_) {
        std::size_t length = writeMicros(destination, negative, micros);
        // Everything up to and including the point: at most a sign, ten digits and the point.
        prefixLength_ = length - 6;
        std::memcpy(prefix_, destination, prefixLength_);
        whole_ = whole;
        negative_ = negative;
        return length;
    }
    std::memcpy(destination, prefix_, prefixLength_);
    writeSixDecimals(destination + prefixLength_,
                     static_cast<std::uint32_t>(micros - whole * kMicrosPerUnit));
    return prefixLength_ + 6;
}

std::size_t formatFixed(char* destination, double value) {
    std::size_t length = formatFixedFast(destination, value);
    if (length)
        return length;
    int written = stbFormatFixed(destination, static_cast<int>(kFixedRoom), value);
    return written > 0 ? static_cast<std::size_t>(written) : 0;
}

} // namespace loglathe
