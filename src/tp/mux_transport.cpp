#include "tp/mux_transport.h"

#include "db/keys.h"
#include "platform/diag_log.h"

#include <bitset>
#include <new>
#include <unordered_map>

namespace loglathe {

namespace {

constexpr uint8_t kStatusMarker = 7; // bits 4-0 of byte 0 of a status item
constexpr std::size_t kStatusItemSize = 2;
constexpr std::size_t kStandardHeaderSize = 3;
constexpr std::size_t kExtendedHeaderSize = 5;
constexpr uint8_t kMaxForwardedIndex = 3;
// Containers nest only through the re-entry sink, one level per completed inner container. Crafted
// input could stack them deep enough to exhaust the call stack; past this depth a container is passed
// on whole instead of unpacked.
constexpr int kMaxNesting = 32;

uint64_t slotOf(uint8_t channel, DbMsgKey key) {
    return (uint64_t(channel) << 32) | key;
}

struct Container {
    MuxChannelTable table{};
    BusType keyRule = BusType::Can;
};

// One item of a container after its header has been read.
struct Item {
    uint8_t index = 0;
    std::size_t size = 0; // header plus data bytes
};

class MuxTransportImpl final : public MuxTransport {
public:
    MuxTransportImpl(MessageSink& next, MessageSink* reentry) : next_(next), reentry_(reentry) {}

    bool onRecord(LogRecord& record) override;
    bool onFileStart(const FileInfo& info, bool continuation) override {
        return next_.onFileStart(info, continuation);
    }
    bool onFileEnd(const FileInfo& info) override { return next_.onFileEnd(info); }
    bool attach(MessageSink* reentry) override;
    bool configure(BusKind busKind, uint8_t channel, DbMsgKey key, const MuxChannelTable& table,
                   BusType keyRule) override;

private:
    const Container* findContainer(const LogRecord& record) const;
    bool unpack(const LogRecord& container, const Container& config);

    MessageSink& next_;
    MessageSink* reentry_;
    std::unordered_map<uint64_t, Container> containers_;
    std::bitset<256> j1939Channels_; // channels with containers of J1939 databases
    int depth_ = 0;                  // containers being unpacked on the call stack
};

// Reads the item at `bytes` (n > 0 bytes left) into `out`. Answers false for a truncated item.
bool readItem(const uint8_t* bytes, std::size_t n, LogRecord& out, Item& item) {
    const uint8_t b0 = bytes[0];
    item.index = b0 >> 5;
    if ((b0 & 0x1F) == kStatusMarker) {
        out.bus = kBusMuxStatus;
        item.size = kStatusItemSize;
        return true;
    }
    const bool extended = (b0 & 0x10) != 0;
    const std::size_t header = extended ? kExtendedHeaderSize : kStandardHeaderSize;
    if (n < header)
        return false;
    const uint8_t b1 = bytes[1];
    const uint8_t dlc = uint8_t(((b0 & 0x07) << 1) | (b1 >> 7));
    const bool remote = !(b0 & 0x08) && (b1 & 0x20);
    out.extended = extended;
    out.fd = (b1 >> 6) & 1;
    out.length = dlc;
    if (extended)
        out.identifier =
            (uint32_t(b1 & 0x1F) << 24) | (uint32_t(bytes[2]) << 16) | (uint32_t(bytes[3]) << 8) | bytes[4];
    else
        out.identifier = (uint32_t(b1 & 0x07) << 8) | bytes[2];
    const std::size_t dataLength = remote ? 0 : dlcToLength(dlc);
    if (n - header < dataLength)
        return false;
    out.bus = remote ? kBusCanRemote : kBusCan;
    out.payload.assign(bytes + header, bytes + header + dataLength);
    item.size = header + dataLength;
    return true;
}

void resetItemRecord(LogRecord& record) {
    record.identifier = 0;
    record.payload.clear(); // keeps the capacity for the next item
    record.bus = kBusCan;
    record.extended = false;
    record.fd = false;
    record.length = 0;
}

} // namespace

std::unique_ptr<MuxTransport> muxCreate(MessageSink& next, MessageSink* reentry) {
    return std::unique_ptr<MuxTransport>(new (std::nothrow) MuxTransportImpl(next, reentry));
}

bool muxAttach(MuxTransport* mux, MessageSink* reentry) {
    return mux && mux->attach(reentry);
}

bool muxConfigure(MuxTransport& mux, BusKind busKind, uint8_t channel, DbMsgKey key,
                  const MuxChannelTable& table, BusType keyRule) {
    return mux.configure(busKind, channel, key, table, keyRule);
}

bool MuxTransportImpl::attach(MessageSink* reentry) {
    if (!reentry)
        return false;
    reentry_ = reentry;
    return true;
}

bool MuxTransportImpl::configure(BusKind busKind, uint8_t channel, DbMsgKey key, const MuxChannelTable& table,
                                 BusType keyRule) {
    if (busKind != kBusCan)
        return false;
    try {
        auto inserted = containers_.emplace(slotOf(channel, key), Container{table, keyRule});
        if (inserted.second && keyRule == BusType::J1939)
            j1939Channels_.set(channel);
    } catch (const std::bad_alloc&) {
        diagLog(kDiagError, "Failed to configure MUX message (channel: %u, key: %X)", unsigned(channel), key);
        return false;
    }
    return true;
}

const Container* MuxTransportImpl::findContainer(const LogRecord& record) const {
    auto found = containers_.find(slotOf(record.channel, canKey(record.identifier, record.extended)));
    if (found != containers_.end())
        return &found->second;
    // Containers of J1939 databases are keyed by parameter group, so that any sender's is found.
    if (!record.extended || !j1939Channels_.test(record.channel))
        return nullptr;
    found = containers_.find(slotOf(record.channel, j1939Key(record.identifier, true)));
    if (found == containers_.end() || found->second.keyRule != BusType::J1939)
        return nullptr;
    return &found->second;
}

bool MuxTransportImpl::onRecord(LogRecord& record) {
    if (record.bus != kBusCan)
        return next_.onRecord(record);
    const Container* config = findContainer(record);
    if (!config || depth_ >= kMaxNesting)
        return next_.onRecord(record);
    ++depth_;
    bool result = unpack(record, *config);
    --depth_;
    return result;
}

// 00 81 23 AA | 10 80 12 34 56 BB: a standard item (index 0, DLC 1, id 0x123, data AA), then an
// extended one (index 0, DLC 1, id 0x00123456, data BB).
bool MuxTransportImpl::unpack(const LogRecord& container, const Container& configRef) {
    // Copied, so that nothing the re-entry sink does can change what this call unpacks.
    const Container config = configRef;
    const uint8_t* bytes = container.payload.data();
    std::size_t n = container.payload.size();
    bool result = true;
    LogRecord item;
    while (n > 0) {
        resetItemRecord(item);
        Item parsed;
        if (!readItem(bytes, n, item, parsed))
            return result; // the truncated item and anything after it are dropped
        const bool last = parsed.size >= n;
        if (!last) {
            bytes += parsed.size;
            n -= parsed.size;
        }
        if (parsed.index <= kMaxForwardedIndex) {
            item.channel = config.table[parsed.index];
            item.timestamp = container.timestamp;
            // A container never feeds its own channel, which would let it loop forever.
            if (item.channel != container.channel && reentry_)
                result = reentry_->onRecord(item);
        }
        if (last)
            return result;
    }
    return result;
}

} // namespace loglathe
