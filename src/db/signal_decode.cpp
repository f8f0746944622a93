#include "db/signal_decode.h"

#include "db/walk_stack.h"
#include "platform/diag_log.h"

#include <algorithm>

namespace loglathe {

namespace {

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
    value = fittedSignalValue(payload, x, signal.layout);
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

bool decodesFlat(const DbMessage& message, std::size_t& neededBytes) {
    if (message.signals.empty())
        return false;
    uint64_t endBit = 0;
    for (const DbSignal& signal : message.signals) {
        const SignalExtraction& x = signal.extraction;
        if (!signal.muxGroups.empty() || !x.prepared || x.check != SignalExtraction::Check::None)
            return false;
        endBit = std::max<uint64_t>(endBit, x.endBit);
    }
    neededBytes = static_cast<std::size_t>((endBit + 7) / 8);
    return true;
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
