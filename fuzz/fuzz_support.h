#pragma once
// Helpers shared by the fuzz targets: a cursor that takes values from the front of the input, a
// deterministic generator for what a target derives from the input as a whole, and the check that
// turns a broken promise of the code under test into a crash the fuzzer keeps.
//
// Each target defines LLVMFuzzerTestOneInput and nothing else the fuzzer needs, so that the same
// source links against libFuzzer (clang builds) or against the corpus replay driver (every build).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

namespace loglathe::fuzz {

// Reports a broken invariant and aborts, which the fuzzer records as a finding with its input.
[[noreturn]] inline void fail(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition))                                                                                    \
            ::loglathe::fuzz::fail(__FILE__, __LINE__, #condition);                                          \
    } while (0)

// Takes bytes and integers from the front of the input; past its end every value is zero.
class ByteCursor {
public:
    ByteCursor(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ >= size_; }
    std::size_t remaining() const { return empty() ? 0 : size_ - at_; }

    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }

    // Little-endian, `count` <= 8 bytes.
    uint64_t integer(std::size_t count) {
        uint64_t value = 0;
        for (std::size_t i = 0; i < count; ++i)
            value |= uint64_t(byte()) << (8 * i);
        return value;
    }

    // Up to `count` bytes, fewer at the end of the input.
    std::span<const uint8_t> bytes(std::size_t count) {
        std::size_t n = count < remaining() ? count : remaining();
        std::span<const uint8_t> out(data_ + at_, n);
        at_ += n;
        return out;
    }

    std::span<const uint8_t> rest() { return bytes(remaining()); }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// A small deterministic generator (splitmix64) seeded from the input, for values a target derives
// from the input as a whole rather than from particular bytes.
class Mixer {
public:
    explicit Mixer(uint64_t seed) : state_(seed) {}

    static Mixer of(const uint8_t* data, std::size_t size) {
        uint64_t hash = 0xcbf29ce484222325ull; // FNV-1a
        for (std::size_t i = 0; i < size; ++i)
            hash = (hash ^ data[i]) * 0x100000001b3ull;
        return Mixer(hash);
    }

    uint64_t next() {
        uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t bound) { return bound ? uint32_t(next() % bound) : 0; }

private:
    uint64_t state_;
};

} // namespace loglathe::fuzz
