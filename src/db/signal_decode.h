#pragma once
// Decoding of a payload into the physical values of a message's signals, following the
// multiplexing tree: a multiplexor's value selects at most one of its groups.

#include "db/message_db.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace loglathe {

// One decoded value. `signal` and `name` refer into the database, which must outlive the result.
struct DecodedSignal {
    const DbSignal* signal = nullptr; // the signal decoded, so that no one need look it up by name
    std::string_view name;
    uint32_t nameHash = 0; // low 32 bits of the signal's nameHash
    bool ignored = false;
    bool isMultiplexor = false; // the signal has at least one group
    double value = 0.0;
    double minimum = 0.0;
    double maximum = 0.0;
};

struct DecodedMessage {
    const DbMessage* message = nullptr;
    std::vector<DecodedSignal> values; // depth-first: each signal, then its selected group's signals
};

// Decodes the message stored under `key` into `out` (reused between calls: its values are replaced).
// False, with `out` cleared, when the database is null, the key is unknown or the message ignored.
// A signal that does not fit the payload, or whose layout is invalid, logs a warning and is left out
// (a multiplexor left out selects no group); every other signal is decoded, and the answer is true.
bool dbDecode(const MessageDb* db, DbMsgKey key, std::span<const uint8_t> payload, DecodedMessage& out);

// Appends the values of a signal list (and of the groups it selects); false when a signal failed,
// which leaves out only that signal.
bool decodeSignalList(std::vector<DecodedSignal>& values, const std::vector<DbSignal>& signals,
                      std::span<const uint8_t> payload);

// The physical value of one signal; false (with a warning) for an invalid bit layout.
bool extractSignalValue(std::span<const uint8_t> payload, const DbSignal& signal, double& value);

// Whether every payload of at least `neededBytes` bytes decodes the same signals of `message`, each
// by fittedSignalValue and without a warning: the message has signals, none of them a multiplexor,
// and every layout is prepared and valid. `neededBytes` is set when the answer is true.
bool decodesFlat(const DbMessage& message, std::size_t& neededBytes);

// How a prepared extraction reads raw bits; the parts of fittedSignalValue.
namespace signal_bits {

inline uint64_t toLittle(uint64_t word) {
    if constexpr (std::endian::native == std::endian::big)
        return __builtin_bswap64(word);
    return word;
}

inline uint64_t toBig(uint64_t word) {
    if constexpr (std::endian::native == std::endian::little)
        return __builtin_bswap64(word);
    return word;
}

// Up to eight bytes from `first` on, as the payload holds them in memory; bytes past the end of the
// payload read as zero. The caller has checked that every bit it needs lies inside the payload.
inline uint64_t loadWord(std::span<const uint8_t> payload, std::size_t first) {
    uint64_t word = 0;
    std::size_t available = payload.size() - first;
    if (available >= 8)
        std::memcpy(&word, payload.data() + first, 8); // one unaligned load
    else
        std::memcpy(&word, payload.data() + first, available);
    return word;
}

// Payload bit i is bit i%8 of byte i/8; the raw value's bit 0 is the first bit read.
inline uint64_t readLittleEndian(std::span<const uint8_t> payload, const SignalExtraction& x) {
    uint64_t raw = toLittle(loadWord(payload, x.firstByte)) >> x.shift;
    // Only a signal of more than 56 bits that does not start on a byte boundary reaches a ninth byte.
    if (x.shift + x.width > 64)
        raw |= uint64_t{payload[x.firstByte + 8]} << (64 - x.shift);
    return raw & x.mask;
}

// Sequential bit i is bit 7 - i%8 of byte i/8: the bytes read as one big-endian bit string, of which
// the signal is the run of `width` bits starting at the first bit read (its most significant bit).
inline uint64_t readBigEndian(std::span<const uint8_t> payload, const SignalExtraction& x) {
    uint64_t top = toBig(loadWord(payload, x.firstByte)) << x.shift;
    if (x.shift + x.width > 64)
        top |= uint64_t{payload[x.firstByte + 8]} >> (8 - x.shift);
    return x.width == 64 ? top : top >> (64 - x.width);
}

inline double toDouble(uint64_t raw, SignalValueType type, const SignalExtraction& x) {
    switch (type) {
    case SignalValueType::Unsigned:
        return static_cast<double>(raw);
    case SignalValueType::Signed:
        if (x.width < 64 && ((raw >> (x.width - 1)) & 1))
            raw |= x.signExtension;
        return static_cast<double>(static_cast<int64_t>(raw));
    case SignalValueType::Float: {
        uint32_t bits = static_cast<uint32_t>(raw);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return static_cast<double>(f);
    }
    case SignalValueType::Double: {
        double d;
        std::memcpy(&d, &raw, sizeof d);
        return d;
    }
    }
    return 0.0;
}

} // namespace signal_bits

// The arithmetic of extractSignalValue alone, for a layout whose extraction has no fault and whose
// bits all lie inside the payload (endBit <= 8 * payload size); the caller has checked both. Inline
// because it runs for every signal of every frame.
inline double fittedSignalValue(std::span<const uint8_t> payload, const SignalExtraction& x,
                                const SignalLayout& layout) {
    using namespace signal_bits;
    uint64_t raw = layout.littleEndian ? readLittleEndian(payload, x) : readBigEndian(payload, x);
    return toDouble(raw, layout.valueType, x) * layout.factor + layout.offset;
}

} // namespace loglathe
