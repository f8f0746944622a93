#pragma once
// Decoding of a payload into the physical values of a message's signals, following the
// multiplexing tree: a multiplexor's value selects at most one of its groups.

#include "db/message_db.h"

#include <cstddef>
#include <cstdint>
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

} // namespace loglathe
