#include "tp/tp_manager.h"

#include "db/keys.h"
#include "platform/diag_log.h"
#include "tp/fast_packet_session.h"
#include "tp/iso_tp_session.h"
#include "tp/j1939_tp_session.h"
#include "tp/tp_session.h"

#include <bitset>
#include <new>
#include <unordered_map>

namespace loglathe {

namespace {

// Bus kind, channel and key packed into one word, so that each stage needs a single hash lookup.
// Only the bus kinds 1 (CAN) and 4 (LIN) are ever stored.
uint64_t slotOf(int32_t busKind, uint8_t channel, DbMsgKey key) {
    return (uint64_t(uint8_t(busKind)) << 40) | (uint64_t(channel) << 32) | key;
}

struct OpenSession {
    std::unique_ptr<TpSession> session;
    // Tells a session apart from a later one under the same key (see passOnCompleted).
    uint64_t serial = 0;
};

class TpManagerImpl final : public TpManager {
public:
    explicit TpManagerImpl(MessageSink& next) : next_(next) {}

    bool onRecord(LogRecord& record) override;
    bool onFileStart(const FileInfo& info, bool continuation) override;
    bool onFileEnd(const FileInfo& info) override { return next_.onFileEnd(info); }
    TpSummary summary() override;
    bool configure(BusType dbBusType, uint8_t channel, DbMsgKey key, TransportProtocolType protocol) override;
    uint32_t openSessions() const override { return uint32_t(sessions_.size()); }

private:
    DbMsgKey configKeyOf(const LogRecord& record) const;
    const TransportProtocolType* configurationOf(const LogRecord& record) const;
    OpenSession* findOrCreateSession(uint64_t slot, TransportProtocolType protocol);
    bool passOnCompleted(LogRecord& record, uint64_t slot, uint64_t serial);

    MessageSink& next_;
    std::bitset<256> j1939Channels_;
    std::unordered_map<uint64_t, TransportProtocolType> configuration_;
    std::unordered_map<uint64_t, OpenSession> sessions_;
    uint64_t nextSerial_ = 0;
    TpSummary counters_;
};

std::unique_ptr<TpSession> sessionFor(TransportProtocolType protocol, bool& supported) {
    supported = true;
    switch (protocol) {
    case TransportProtocolType::J1939Tp:
        return j1939TpSessionCreate();
    case TransportProtocolType::NmeaTp:
        return fastPacketSessionCreate();
    case TransportProtocolType::IsoTp:
    case TransportProtocolType::MuxTp: // the container is unpacked further down the chain
        return isoTpSessionCreate();
    default:
        supported = false;
        return nullptr;
    }
}

// Session key of a J1939 TP.DT frame: its identifier with the PDU format of TP.CM, so that the data
// packets join the session of the announcement with the same priority, destination and source.
DbMsgKey tpDtSessionKey(DbMsgKey key) {
    return (key & ~0x00FF0000u) | 0x00EC0000u;
}

} // namespace

std::unique_ptr<TpManager> tpManagerCreate(MessageSink& next) {
    return std::unique_ptr<TpManager>(new (std::nothrow) TpManagerImpl(next));
}

bool tpManagerConfigure(TpManager& manager, BusType dbBusType, uint8_t channel, DbMsgKey key,
                        TransportProtocolType protocol) {
    return manager.configure(dbBusType, channel, key, protocol);
}

TpSummary tpManagerSummary(TpManager& manager) {
    return manager.summary();
}

bool TpManagerImpl::configure(BusType dbBusType, uint8_t channel, DbMsgKey key,
                              TransportProtocolType protocol) {
    int32_t busKind = kBusCan;
    if (dbBusType == BusType::J1939)
        j1939Channels_.set(channel);
    else if (dbBusType == BusType::Lin)
        busKind = kBusLin;
    try {
        configuration_.emplace(slotOf(busKind, channel, key), protocol); // keeps an existing entry
    } catch (const std::bad_alloc&) {
        diagLog(kDiagError, "Failed to configure TP message (channel: %u, key: %X)", unsigned(channel), key);
        return false;
    }
    return true;
}

TpSummary TpManagerImpl::summary() {
    counters_.unfinished = sessions_.size();
    return counters_;
}

bool TpManagerImpl::onFileStart(const FileInfo& info, bool continuation) {
    // A message may span two split files of one session, but never two unrelated files.
    if (!continuation)
        sessions_.clear();
    return next_.onFileStart(info, continuation);
}

DbMsgKey TpManagerImpl::configKeyOf(const LogRecord& record) const {
    if (record.bus == kBusLin)
        return linKey(record.identifier);
    if (record.extended && j1939Channels_.test(record.channel)) {
        DbMsgKey key = j1939Key(record.identifier, true);
        return key == kJ1939TpDtKey ? kJ1939TpCmKey : key;
    }
    return canKey(record.identifier, record.extended);
}

// On a J1939 channel an extended frame is looked up by its J1939 key; when that finds nothing, by its
// CAN key as well, under which a CAN database of the same channel configures its own messages.
const TransportProtocolType* TpManagerImpl::configurationOf(const LogRecord& record) const {
    auto found = configuration_.find(slotOf(record.bus, record.channel, configKeyOf(record)));
    if (found == configuration_.end() && record.bus == kBusCan && record.extended &&
        j1939Channels_.test(record.channel))
        found = configuration_.find(slotOf(kBusCan, record.channel, canKey(record.identifier, true)));
    return found == configuration_.end() ? nullptr : &found->second;
}

OpenSession* TpManagerImpl::findOrCreateSession(uint64_t slot, TransportProtocolType protocol) {
    auto found = sessions_.find(slot);
    if (found != sessions_.end())
        return &found->second;
    bool supported = false;
    std::unique_ptr<TpSession> session = sessionFor(protocol, supported);
    if (!supported)
        diagLog(kDiagError, "Unsupported transport protocol");
    if (!session) {
        diagLog(kDiagError, "Failed to initialize TP session");
        return nullptr;
    }
    try {
        auto inserted = sessions_.emplace(slot, OpenSession{std::move(session), ++nextSerial_});
        return &inserted.first->second;
    } catch (const std::bad_alloc&) {
        diagLog(kDiagError, "Failed to initialize TP session");
        return nullptr;
    }
}

bool TpManagerImpl::passOnCompleted(LogRecord& record, uint64_t slot, uint64_t serial) {
    // The next sink may re-enter this manager and add or remove sessions, so nothing found before the
    // call is used after it: the session is looked up again by its key. An inner frame may have failed
    // the completed session and a later one started under the same key; that one is left alone.
    bool answer = next_.onRecord(record);
    ++counters_.successful;
    auto found = sessions_.find(slot);
    if (found != sessions_.end() && found->second.serial == serial)
        sessions_.erase(found);
    return answer;
}

bool TpManagerImpl::onRecord(LogRecord& record) {
    if (record.bus != kBusCan && record.bus != kBusLin)
        return next_.onRecord(record);
    const TransportProtocolType* configured = configurationOf(record);
    if (!configured)
        return next_.onRecord(record);
    const TransportProtocolType protocol = *configured;

    DbMsgKey sessionKey =
        record.bus == kBusLin ? linKey(record.identifier) : canKey(record.identifier, record.extended);
    if (record.bus == kBusCan && protocol == TransportProtocolType::J1939Tp) {
        DbMsgKey group = j1939Key(record.identifier, true);
        if (group == kJ1939TpCmKey && !record.payload.empty()) {
            // Clear to send, end of message acknowledge and abort belong to the sender's side of the
            // conversation; only the announcements open or feed a session. An empty TP.CM frame has no
            // control byte to judge and goes to its session, which fails it.
            uint8_t control = record.payload[0];
            if (control != kJ1939TpCmRts && control != kJ1939TpCmBam)
                return true;
        } else if (group == kJ1939TpDtKey) {
            sessionKey = tpDtSessionKey(sessionKey);
        }
    }

    const uint64_t slot = slotOf(record.bus, record.channel, sessionKey);
    OpenSession* open = findOrCreateSession(slot, protocol);
    if (!open)
        return true;
    switch (tpSessionProcess(*open->session, record)) {
    case TpResult::InProgress:
        return true;
    case TpResult::Complete:
        return passOnCompleted(record, slot, open->serial);
    case TpResult::Error:
    default:
        diagLog(kDiagInfo, "TP error (time: %f, id: 0x%X)", record.timestamp, record.identifier);
        ++counters_.failed;
        sessions_.erase(slot);
        return true;
    }
}

} // namespace loglathe
