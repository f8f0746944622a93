#include "output/fixed_format.h"

#include "output/stb_format.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

namespace loglathe {
namespace {

// Optimised builds compare tens of millions of values; instrumented builds a sample that keeps the
// run short while still walking every path under the sanitizers.
#if defined(__OPTIMIZE__) && !defined(__SANITIZE_ADDRESS__)
constexpr int kPerDistribution = 2500000;
constexpr int kLowestExhaustedBinade = 25;
#else
constexpr int kPerDistribution = 150000;
constexpr int kLowestExhaustedBinade = 29;
#endif

// A small, fast, reproducible generator (splitmix64).
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, count).
    std::uint64_t below(std::uint64_t count) { return next() % count; }
    // Uniform in [low, high].
    std::int64_t between(std::int64_t low, std::int64_t high) {
        return low + static_cast<std::int64_t>(below(static_cast<std::uint64_t>(high - low) + 1));
    }
    // Uniform in [0, 1).
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }
    bool coin() { return next() & 1; }

private:
    std::uint64_t state_;
};

// Formats values both ways and records disagreements and how many values took the integer path.
class Comparison {
public:
    Comparison() : text_(new char[kFixedRoom]), fastText_(new char[kFixedRoom]) {}

    void check(double value) {
        ++values_;
        char reference[kFixedRoom + 16];
        // The reference is stb_sprintf's own "%f", which the formatter falls back to.
        int referenceLength = stbFormatFixed(reference, sizeof reference, value);
        std::size_t length = formatFixed(text_.get(), value);
        if (length != static_cast<std::size_t>(referenceLength) ||
            std::memcmp(text_.get(), reference, length))
            report(value, reference, std::string(text_.get(), length));
        std::size_t fastLength = formatFixedFast(fastText_.get(), value);
        if (!fastLength)
            return;
        ++fast_;
        if (fastLength != static_cast<std::size_t>(referenceLength) ||
            std::memcmp(fastText_.get(), reference, fastLength))
            report(value, reference, std::string(fastText_.get(), fastLength));
    }

    long values() const { return values_; }
    long fast() const { return fast_; }
    double fastShare() const {
        return values_ ? static_cast<double>(fast_) / static_cast<double>(values_) : 0.0;
    }

private:
    void report(double value, const char* reference, const std::string& text) {
        if (++mismatches_ > 10)
            return;
        char hex[64];
        std::snprintf(hex, sizeof hex, "%a", value);
        ADD_FAILURE() << "value " << hex << ": stb_sprintf gives \"" << reference << "\", we give \"" << text
                      << "\"";
    }

    std::unique_ptr<char[]> text_;
    std::unique_ptr<char[]> fastText_;
    long values_ = 0;
    long fast_ = 0;
    long mismatches_ = 0;
};

double negatedSometimes(Random& random, double value) {
    return random.coin() ? -value : value;
}

TEST(FixedFormat, WritesSixDecimalsSignsAndSpecialValues) {
    char text[kFixedRoom];
    auto formatted = [&text](double value) { return std::string(text, formatFixed(text, value)); };
    EXPECT_EQ(formatted(1706745590.125), "1706745590.125000");
    EXPECT_EQ(formatted(-40.0), "-40.000000");
    EXPECT_EQ(formatted(0.1), "0.100000");
    EXPECT_EQ(formatted(-3276.8), "-3276.800000");
    EXPECT_EQ(formatted(2.5e-7), "0.000000");
    EXPECT_EQ(formatted(7.5e-7), "0.000001");
    EXPECT_EQ(formatted(-1e-9), "-0.000000");
    EXPECT_EQ(formatted(9.9999999), "10.000000");
    EXPECT_EQ(formatted(0.0), "0.000000");
    EXPECT_EQ(formatted(-0.0), "-0.000000");
    EXPECT_EQ(formatted(std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(formatted(-std::numeric_limits<double>::quiet_NaN()), "-NaN");
    EXPECT_EQ(formatted(std::numeric_limits<double>::infinity()), "Inf");
    EXPECT_EQ(formatted(-std::numeric_limits<double>::infinity()), "-Inf");
    // An exact tie at the sixth decimal rounds away from zero.
    EXPECT_EQ(formatted(0.0078125), "0.007813");
    EXPECT_EQ(formatted(-0.0078125), "-0.007813");
    // Values of 2^32 and more are stb_sprintf's own.
    EXPECT_EQ(formatted(4294967296.0), "4294967296.000000");
    std::string largest = formatted(-std::numeric_limits<double>::max());
    EXPECT_EQ(largest.size(), kFixedRoom - 1);
    EXPECT_EQ(largest.substr(0, 4), "-179");
}

TEST(FixedFormat, FastPathDeclinesTiesAndLargeValuesWithoutWriting) {
    char text[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(formatFixedFast(text, 0.0078125), 0u);
    EXPECT_EQ(formatFixedFast(text, 4294967296.0), 0u);
    EXPECT_EQ(formatFixedFast(text, 1e300), 0u);
    EXPECT_EQ(std::string(text, 4), "xxxx");
}

TEST(FixedFormat, MatchesStbForScaledRawSignalValues) {
    const double factors[] = {0.1,        0.01, 0.001,   0.25, 0.125, 0.5,   1e-7,
                              0.00390625, 0.05, 0.03125, 1.0,  0.2,   0.0001};
    const double offsets[] = {0.0,     -40.0, -125.0,   -3276.8, -273.15,
                              -1000.0, 0.5,   -32768.0, 1e-3,    -2147483.648};
    // Raw values of common field widths, signed and unsigned.
    const std::int64_t widths[][2] = {{0, 255},         {-128, 127},     {0, 4095},
                                      {0, 65535},       {-32768, 32767}, {-2147483648LL, 2147483647LL},
                                      {0, 4294967295LL}};
    Random random(1);
    Comparison comparison;
    for (int i = 0; i < kPerDistribution; ++i) {
        double factor = factors[random.below(std::size(factors))];
        double offset = offsets[random.below(std::size(offsets))];
        const std::int64_t* width = widths[random.below(std::size(widths))];
        double raw = static_cast<double>(random.between(width[0], width[1]));
        comparison.check(raw * factor + offset);
    }
    // Ties (a quarter of the multiples of 2^-8) and rows near them fall back; most values do not.
    EXPECT_GT(comparison.fastShare(), 0.9);
}

TEST(FixedFormat, MatchesStbForTimestamps) {
    Random random(2);
    Comparison comparison;
    comparison.check(1706745590.125);
    comparison.check(1706745590.0);
    comparison.check(1e9);
    comparison.check(2e9);
    for (int i = 0; i < kPerDistribution; ++i) {
        double seconds = static_cast<double>(random.between(1000000000, 2000000000));
        double millis = static_cast<double>(random.below(1000));
        comparison.check(millis * 0.001 + seconds);
        comparison.check(seconds + millis / 1000.0);
        comparison.check(seconds + static_cast<double>(random.below(1000000)) * 1e-6);
        comparison.check(1e9 + random.unit() * 1e9);
    }
    EXPECT_GT(comparison.fastShare(), 0.9);
}

// The formatter that keeps the whole part gives formatFixed's text for each value of sequences that
// stay within a second, cross into the next one by rounding, change sign around zero and mix in
// values it cannot keep (ties, NaN, infinities, 2^32 and more).
TEST(FixedFormat, RepeatedWholePartsGiveTheSameTextAsEachValueAlone) {
    Random random(7);
    RepeatedFixed repeated;
    std::unique_ptr<char[]> expected(new char[kFixedRoom]);
    std::unique_ptr<char[]> text(new char[kFixedRoom]);
    long mismatches = 0;
    auto check = [&](double value) {
        std::size_t length = repeated.format(text.get(), value);
        std::size_t expectedLength = formatFixed(expected.get(), value);
        if ((length != expectedLength || std::memcmp(text.get(), expected.get(), length) != 0) &&
            ++mismatches <= 10)
            ADD_FAILURE() << "after the values before it, " << std::string(expected.get(), expectedLength)
                          << " is written as " << std::string(text.get(), length);
    };
    const double specials[] = {0.0078125,
                               -0.0078125,
                               std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity(),
                               4294967296.5,
                               -0.0,
                               0.0};
    for (int i = 0; i < kPerDistribution / 10; ++i) {
        // A file's rows: milliseconds of one second after another, now and then a jump.
        double seconds = static_cast<double>(random.between(1000000000, 2000000000));
        for (int row = 0, millis = 0; row < 8; ++row, millis += static_cast<int>(random.below(400))) {
            check(static_cast<double>(millis % 1000) * 0.001 + seconds + millis / 1000);
            if (random.below(8) == 0)
                check(specials[random.below(std::size(specials))]);
        }
        // Values that round up into the next whole number, and small values of either sign.
        double whole = static_cast<double>(random.between(0, 5));
        check(whole + 0.9999994);
        check(whole + 0.9999996);
        check(negatedSometimes(random, random.unit()));
        check(negatedSometimes(random, random.unit() * 1e-6));
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(FixedFormat, MatchesStbAcrossMagnitudes) {
    Random random(3);
    Comparison comparison;
    for (int i = 0; i < kPerDistribution; ++i) {
        // Uniform in the logarithm from 1e-9 to 1e12, so that every decimal exponent around the
        // integer conversion's bounds is met often.
        double value = std::pow(10.0, -9.0 + 21.0 * random.unit());
        comparison.check(negatedSometimes(random, value));
        // Any significand with a binary exponent from 2^-30 to 2^40.
        std::uint64_t exponent = static_cast<std::uint64_t>(random.between(1023 - 30, 1023 + 40));
        std::uint64_t bits = (random.next() & 0x800fffffffffffffull) | (exponent << 52);
        comparison.check(std::bit_cast<double>(bits));
        // Any bit pattern at all: subnormals, huge values, NaNs with payloads.
        comparison.check(std::bit_cast<double>(random.next()));
    }
    EXPECT_GT(comparison.fast(), comparison.values() / 3);
}

TEST(FixedFormat, MatchesStbNextToRoundingTies) {
    Random random(4);
    Comparison comparison;
    for (int i = 0; i < kPerDistribution; ++i) {
        // k micro-units and a half, for k of every size up to beyond 2^32 units.
        double digits = static_cast<double>(random.below(17));
        std::int64_t k = static_cast<std::int64_t>(random.unit() * std::pow(10.0, digits));
        double tie = static_cast<double>(k) * 1e-6 + 5e-7;
        double direction = random.coin() ? 1.0 : -1.0;
        double value = tie;
        for (int step = static_cast<int>(random.below(5)); step > 0; --step)
            value = std::nextafter(value, direction * std::numeric_limits<double>::infinity());
        comparison.check(negatedSometimes(random, value));
        // Exact ties: odd multiples of 2^-7, and their neighbours.
        double exact = static_cast<double>(2 * random.between(0, 1LL << 37) + 1) * 0x1p-7;
        comparison.check(negatedSometimes(random, exact));
        comparison.check(std::nextafter(exact, 0.0));
        comparison.check(std::nextafter(exact, 1e300));
    }
    EXPECT_GT(comparison.fast(), 0);
}

// In the binade [2^e, 2^(e+1)) a value is k * 2^(e-52), and its count of micro-units has the
// fraction of k * 15625 / 2^(46-e): the low 46-e bits of k decide it. Below 2^32, the top binades are
// where stb_sprintf's rounding has least slack, so every fraction there is met, with random high bits.
TEST(FixedFormat, MatchesStbForEveryMicroUnitFractionOfTheTopBinades) {
    Random random(7);
    Comparison comparison;
    for (int binade = kLowestExhaustedBinade; binade <= 31; ++binade) {
        int fractionBits = 46 - binade;
        for (std::uint64_t low = 0; low < (std::uint64_t{1} << fractionBits); ++low) {
            std::uint64_t significand =
                (random.next() & ((std::uint64_t{1} << 52) - 1)) >> fractionBits << fractionBits;
            std::uint64_t bits = (static_cast<std::uint64_t>(1023 + binade) << 52) | significand | low;
            comparison.check(negatedSometimes(random, std::bit_cast<double>(bits)));
        }
    }
    EXPECT_GT(comparison.fastShare(), 0.9);
}

TEST(FixedFormat, MatchesStbForIntegersAndShortDecimals) {
    Random random(5);
    Comparison comparison;
    for (int i = 0; i < kPerDistribution; ++i) {
        comparison.check(static_cast<double>(random.between(-100000, 100000)));
        comparison.check(static_cast<double>(random.between(-(1LL << 53), 1LL << 53)));
        // n / 10^d with one to eight decimals.
        double scale = std::pow(10.0, static_cast<double>(1 + random.below(8)));
        comparison.check(static_cast<double>(random.between(-10000000000LL, 10000000000LL)) / scale);
    }
    EXPECT_GT(comparison.fastShare(), 0.6);
}

TEST(FixedFormat, MatchesStbForSpecialAndExtremeValues) {
    Comparison comparison;
    const double specials[] = {0.0,
                               -0.0,
                               std::numeric_limits<double>::quiet_NaN(),
                               -std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::signaling_NaN(),
                               std::bit_cast<double>(0xfff0000000000001ull),
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::min(),
                               std::numeric_limits<double>::denorm_min(),
                               -std::numeric_limits<double>::denorm_min(),
                               std::bit_cast<double>(0x000fffffffffffffull),
                               std::numeric_limits<double>::max(),
                               -std::numeric_limits<double>::max(),
                               5e-7,
                               4.9999999999999998e-7,
                               1e-7,
                               4294967295.9999995,
                               4294967295.999999,
                               2147483647.9999995};
    for (double value : specials)
        comparison.check(value);
    // Powers of ten and of two and a few neighbours on each side: where the decimal exponent, the
    // digit count and the binary exponent change.
    for (int power = -30; power <= 40; ++power) {
        for (double base : {std::pow(10.0, power), std::ldexp(1.0, power)}) {
            double below = base;
            double above = base;
            comparison.check(base);
            comparison.check(-base);
            for (int step = 0; step < 4; ++step) {
                below = std::nextafter(below, 0.0);
                above = std::nextafter(above, 1e300);
                comparison.check(below);
                comparison.check(above);
                comparison.check(-below);
                comparison.check(-above);
            }
        }
    }
    Random random(6);
    for (int i = 0; i < 100000; ++i) {
        // Subnormals and huge values.
        comparison.check(std::bit_cast<double>(random.next() & 0x800fffffffffffffull));
        std::uint64_t exponent = static_cast<std::uint64_t>(random.between(1023 + 32, 2046));
        comparison.check(std::bit_cast<double>((random.next() & 0x800fffffffffffffull) | (exponent << 52)));
    }
}

} // namespace
} // namespace loglathe
