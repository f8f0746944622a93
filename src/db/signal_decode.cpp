#include "db/signal_decode.h"

#include "db/walk_stack.h"
#include "platform/diag_log.h"

#include <bit>
#include <cstring>

namespace loglathe {

namespace {

uint64_t toLittle(uint64_t word) {
    if constexpr (std::endian::native == std::endian::big)
        return __builtin_bswap64(word);
    return word;
}

uint64_t toBig(uint64_t word) {
    if constexpr (std::endian::native == std::endian::little)
        return __builtin_bswap64(word);
    return word;
}

// Up to eight bytes from `first` on, as the payload holds them in memory; bytes past the end of the
// payload read as zero. The caller has checked that every bit it needs lies inside the payload.
uint64_t loadWord(std::span<const uint8_t> payload, std::size_t first) {
    uint64_t word = 0;
    std::size_t available = payload.size() - first;
    if (available >= 8)
        std::memcpy(&word, payload.data() + first, 8); // one unaligned load
    else
        std::memcpy(&word, payload.data() + first, available);
    return word;
}

// Payload bit i is bit i%8 of byte i/8; the raw value's bit 0 is the first bit read.
uint64_t readLittleEndian(std::span<const uint8_t> payload, const SignalExtraction& x) {
    uint64_t raw = toLittle(loadWord(payload, x.firstByte)) >> x.shift;
    // Only a signal of more than 56 bits that does not start on a byte boundary reaches a ninth byte.
    if (x.shift + x.width > 64)
        raw |= uint64_t{payload[x.firstByte + 8]} << (64 - x.shift);
    return raw & x.mask;
}

// Sequential bit i is bit 7 - i%8 of byte i/8: the bytes read as one big-endian bit string, of which
// the signal is the run of `width` bits starting at the first bit read (its most significant bit).
uint64_t readBigEndian(std::span<const uint8_t> payload, const SignalExtraction& x) {
    uint64_t top = toBig(loadWord(payload, x.firstByte)) << x.shift;
    if (x.shift + x.width > 64)
        top |= uint64_t{payload[x.firstByte + 8]} >> (8 - x.shift);
    return x.width == 64 ? top : top >> (64 - x.width);
}

double toDouble(uint64_t raw, SignalValueType type, const SignalExtraction& x) {
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

bool layoutFits(std::span<const uint8_t> payload, const SignalExtraction& x) {
    switch (x.check) {
    case SignalExtraction::Check::ZeroLength:
        diagLog(kDiagWarning, "Invalid signal bit length (zero)");
        return false;
    default:
        break;
    }
    if (uint64_t{x.endBit} > uint64_t{payload.size()} * 8) {
        diagLog(kDiagWarning, "Invalid signal bit length (exceeds payload)");
        return false;
    }
    switch (x.check) {
    case SignalExtraction::Check::FloatLength:
        diagLog(kDiagWarning, "Invalid signal bit length (float != 32)");
        return false;
    case SignalExtraction::Check::DoubleLength:
        diagLog(kDiagWarning, "Invalid signal bit length (double != 64)");
        return false;
    default:
        return true;
    }
}

} // namespace

bool extractSignalValue(std::span<const uint8_t> payload, const DbSignal& signal, double& value) {
    SignalExtraction derived;
    const SignalExtraction* extraction = &signal.extraction;
    if (!extraction->prepared) {
        derived = prepareExtraction(signal.layout);
        extraction = &derived;
    }
    const SignalExtraction& x = *extraction;
    if (!layoutFits(payload, x))
        return false;
    const SignalLayout& layout = signal.layout;
    uint64_t raw = layout.littleEndian ? readLittleEndian(payload, x) : readBigEndian(payload, x);
    value = toDouble(raw, layout.valueType, x) * layout.factor + layout.offset;
    return true;
}

bool decodeSignalList(std::vector<DecodedSignal>& values, const std::vector<DbSignal>& signals,
                      std::span<const uint8_t> payload) {
    // Depth-first over the multiplexing tree without recursion: each entry is the rest of one signal
    // list. A signal that cannot be read (beyond a short frame, or a layout invalid in itself) is
    // left out and the rest of its list goes on, so what a short frame yields does not depend on the
    // order in which the file lists its signals.
    struct Range {
        const DbSignal* next;
        const DbSignal* end;
    };
    WalkStack<Range> stack;
    stack.push({signals.data(), signals.data() + signals.size()});
    bool ok = true;
    while (!stack.empty()) {
        Range& top = stack.top();
        if (top.next == top.end) {
            stack.pop();
            continue;
        }
        const DbSignal& signal = *top.next++;
        double value = 0.0;
        if (!extractSignalValue(payload, signal, value)) {
            diagLog(kDiagWarning, "Failed to decode signal: \"%s\"", signal.name.c_str());
            ok = false;
            continue;
        }
        values.push_back({&signal, signal.name, static_cast<uint32_t>(signal.nameHash), signal.ignored,
                          !signal.muxGroups.empty(), value, signal.layout.minimum, signal.layout.maximum});
        if (signal.muxGroups.empty())
            continue;
        const MuxGroup* group = selectMuxGroup(signal.muxGroups, value);
        if (group && !group->signals.empty())
            stack.push({group->signals.data(), group->signals.data() + group->signals.size()});
    }
    return ok;
}

bool dbDecode(const MessageDb* db, DbMsgKey key, std::span<const uint8_t> payload, DecodedMessage& out) {
    out.message = nullptr;
    out.values.clear();
    const DbMessage* message = dbFind(db, key);
    if (!message || message->ignored)
        return false;
    out.message = message;
    if (!decodeSignalList(out.values, message->signals, payload))
        diagLog(kDiagWarning, "Failed to decode message: \"%s\"", message->name.c_str());
    return true;
}

} // namespace loglathe
