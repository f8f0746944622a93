// Fuzz target: the CSV number text. The fast integer conversion claims to give exactly stb_sprintf's
// "%f" text wherever it answers; formatFixed, which falls back to stb_sprintf, must always give it.
//
// Input: a mode byte, then the bytes the mode turns into a double:
//   0  raw bits (every binade, NaN and infinity payloads, subnormals);
//   1  the double nearest a rounding tie of the sixth decimal, (k + 1/2) / 10^6 for a micro-unit count
//      k of any magnitude below 2^32 units, moved a few ulps up or down;
//   2  a chosen binary exponent around the fast conversion's domain (or any exponent) with a random
//      significand;
//   3  an odd multiple of a power of two (exact ties and their neighbours), moved a few ulps;
//   4  a count of micro-units divided by 10^6, as signal scaling gives them, moved a few ulps.
// Bit 7 of the mode byte negates the value. Every value is checked with its negation too.

#include "fuzz_support.h"
#include "output/fixed_format.h"
#include "output/stb_format.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

using namespace loglathe;

namespace {

constexpr uint64_t kMicroUnitsBelow2To32 = 4294967296ull * 1000000ull;

// Moves `value` by `steps` ulps (a signed byte's worth at most).
double nudge(double value, int8_t steps) {
    double toward =
        steps < 0 ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    for (int i = 0; i < (steps < 0 ? -steps : steps); ++i)
        value = std::nextafter(value, toward);
    return value;
}

int8_t smallSteps(fuzz::ByteCursor& input) {
    return int8_t(int8_t(input.byte()) / 8); // -16 .. 15
}

double valueOf(uint8_t mode, fuzz::ByteCursor& input) {
    switch (mode % 5) {
    case 0:
        return std::bit_cast<double>(input.integer(8));
    case 1: {
        // A right shift of a 56-bit count spreads the ties over every binade of the domain.
        uint8_t shift = uint8_t(input.byte() % 56);
        uint64_t units = (input.integer(7) >> shift) % kMicroUnitsBelow2To32;
        double tie = double(2 * units + 1) / 2000000.0; // one rounding of two exact integers
        return nudge(tie, smallSteps(input));
    }
    case 2: {
        uint8_t exponentByte = input.byte();
        int exponent =
            (exponentByte & 0x80) ? int(input.integer(2) % 2098) - 1074 : int(exponentByte % 80) - 40;
        uint64_t significand = input.integer(7) & ((uint64_t{1} << 52) - 1);
        return std::ldexp(1.0 + double(significand) * 0x1p-52, exponent);
    }
    case 3: {
        uint64_t odd = input.integer(5) | 1;
        int exponent = int(input.byte() % 64) - 8;
        return nudge(std::ldexp(double(odd), -exponent), smallSteps(input));
    }
    default: {
        uint64_t units = input.integer(7) % kMicroUnitsBelow2To32;
        return nudge(double(units) / 1000000.0, smallSteps(input));
    }
    }
}

void check(double value) {
    char reference[kFixedRoom + 16];
    int referenceLength = stbFormatFixed(reference, int(sizeof reference), value);
    FUZZ_CHECK(referenceLength > 0 && std::size_t(referenceLength) < kFixedRoom);

    char text[kFixedRoom];
    std::size_t length = formatFixed(text, value);
    FUZZ_CHECK(length == std::size_t(referenceLength) && std::memcmp(text, reference, length) == 0);

    char fast[kFixedRoom];
    std::size_t fastLength = formatFixedFast(fast, value);
    if (fastLength == 0)
        return;
    if (fastLength != std::size_t(referenceLength) || std::memcmp(fast, reference, fastLength) != 0) {
        std::fprintf(stderr, "value %a: stb_sprintf \"%.*s\", fast \"%.*s\"\n", value, referenceLength,
                     reference, int(fastLength), fast);
        fuzz::fail(__FILE__, __LINE__, "the fast conversion differs from stb_sprintf");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::ByteCursor input(data, size);
    while (!input.empty()) {
        uint8_t mode = input.byte();
        double value = valueOf(mode & 0x7F, input);
        if (mode & 0x80)
            value = -value;
        check(value);
        check(-value);
    }
    return 0;
}
