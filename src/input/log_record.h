#pragma once
// One bus frame as it travels down the chain of sinks.

#include <cstdint>
#include <vector>

namespace loglathe {

enum BusKind : int32_t {
    kBusNone = 0, // not set
    kBusCan = 1,
    kBusCanRemote = 2, // remote frames unpacked from a MUX container; never decoded
    kBusMuxStatus = 3, // status items of a MUX container; never decoded
    kBusLin = 4,
};

// Owned by whoever creates it; a sink receives it by reference for the duration of one call and
// copies what it keeps. Transport-protocol stages may swap in a reassembled payload.
struct LogRecord {
    double timestamp = 0.0;       // seconds since 1970-01-01 00:00:00 UTC, milliseconds as fraction
    uint8_t channel = 1;          // bus channel, from 1
    uint32_t identifier = 0;      // frame identifier, unmasked
    std::vector<uint8_t> payload; // data bytes (any length once reassembled)
    BusKind bus = kBusNone;       // bus the frame travels on
    bool extended = false;        // 29-bit identifier
    bool fd = false;              // CAN FD frame
    uint8_t length = 0;           // data byte count as logged (a DLC code for MUX items)
};

} // namespace loglathe
