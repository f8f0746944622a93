// Noise on configured identifiers: random, truncated and half-valid frames of every protocol, MUX
// containers whose items re-enter the manager, and file starts that do or do not continue. The chain
// must neither crash nor hang, and what it passes on must stay within the protocols' limits.

#include "tp/iso_tp_session.h"
#include "tp/mux_transport.h"
#include "tp/tp_manager.h"
#include "tp_test_support.h"

#include <gtest/gtest.h>

#include <random>

namespace loglathe {
namespace {

using namespace test;

struct Target {
    uint32_t identifier;
    bool extended;
};

constexpr Target kTargets[] = {
    {0x7E8, false},     {0x600, false},     {0x601, false},     {0x09F80123, true},
    {0x18ECFF25, true}, {0x18EBFF25, true}, {0x1CEC1025, true}, {0x1CEB1025, true},
    {0x123, false},     {0x19ECFF25, true}, {0x0CFF1033, true},
};

class Noise {
public:
    explicit Noise(uint32_t seed) : random_(seed) {}

    uint32_t below(uint32_t bound) { return std::uniform_int_distribution<uint32_t>(0, bound - 1)(random_); }

    LogRecord frame() {
        const Target& target = kTargets[below(std::size(kTargets))];
        LogRecord record;
        record.timestamp = double(++ticks_) / 1000.0;
        record.channel = uint8_t(1 + below(4));
        record.identifier = target.identifier;
        record.extended = target.extended;
        record.bus = below(20) == 0 ? BusKind(below(6)) : kBusCan;
        // Mostly classic frames, some truncated, some as long as CAN FD allows.
        std::size_t length = below(4) == 0 ? below(65) : (below(3) == 0 ? below(9) : 8);
        record.payload.resize(length);
        for (uint8_t& byte : record.payload)
            byte = uint8_t(below(256));
        if (length > 0)
            record.payload[0] = firstByte();
        record.length = uint8_t(length);
        return record;
    }

    // A well-formed multi-frame transfer of a random protocol, then mutated: frames dropped, truncated,
    // duplicated or given a wrong byte 0, so that sessions get deep before they go wrong.
    std::vector<LogRecord> transfer() {
        std::vector<LogRecord> frames;
        const uint8_t channel = uint8_t(1 + below(4));
        switch (below(4)) {
        case 0: { // ISO-TP, 12-bit or 32-bit length, sometimes up to the limit
            uint32_t length = below(4) == 0 ? 8000 + below(400) : 7 + below(300);
            Bytes first = length < 4096 ? Bytes{uint8_t(0x10 | (length >> 8)), uint8_t(length)}
                                        : Bytes{0x10, 0x00, 0, 0, uint8_t(length >> 8), uint8_t(length)};
            frames.push_back(make(0x7E8, false, channel, padded(first)));
            for (uint32_t sent = 8 - uint32_t(first.size()), sequence = 1; sent < length;
                 sent += 7, ++sequence)
                frames.push_back(make(0x7E8, false, channel, padded({uint8_t(0x20 | (sequence & 0x0F))})));
            break;
        }
        case 1: { // J1939 BAM or RTS
            uint32_t size = 9 + below(1800);
            bool bam = below(2) == 0;
            uint32_t cm = bam ? 0x18ECFF25 : 0x1CEC1025;
            uint32_t dt = bam ? 0x18EBFF25 : 0x1CEB1025;
            frames.push_back(make(
                cm, true, channel,
                {uint8_t(bam ? 32 : 16), uint8_t(size), uint8_t(size >> 8), 0xFF, 0xFF, 0xCA, 0xFE, 0x00}));
            for (uint32_t packet = 1; packet <= (size + 6) / 7 && packet <= 256; ++packet)
                frames.push_back(make(dt, true, channel, padded({uint8_t(packet)})));
            break;
        }
        case 2: { // fast packet
            uint8_t length = uint8_t(below(256));
            uint8_t sequence = uint8_t(below(8) << 5);
            frames.push_back(make(0x09F80123, true, channel, padded({sequence, length})));
            for (uint32_t sent = 6, counter = 1; sent < length && counter < 40; sent += 7, ++counter)
                frames.push_back(
                    make(0x09F80123, true, channel, padded({uint8_t(sequence | (counter & 0x1F))})));
            break;
        }
        default: { // a container of random items sent as ISO-TP
            uint32_t length = 7 + below(200);
            frames.push_back(make(0x600, false, 1, padded({uint8_t(0x10 | (length >> 8)), uint8_t(length)})));
            for (uint32_t sent = 6, sequence = 1; sent < length; sent += 7, ++sequence)
                frames.push_back(make(0x600, false, 1, padded({uint8_t(0x20 | (sequence & 0x0F))})));
            break;
        }
        }
        mutate(frames);
        return frames;
    }

private:
    using Bytes = std::vector<uint8_t>;

    Bytes padded(Bytes head) {
        while (head.size() < 8)
            head.push_back(uint8_t(below(256)));
        return head;
    }

    LogRecord make(uint32_t identifier, bool extended, uint8_t channel, Bytes bytes) {
        LogRecord record;
        record.timestamp = double(++ticks_) / 1000.0;
        record.channel = channel;
        record.identifier = identifier;
        record.extended = extended;
        record.bus = kBusCan;
        record.length = uint8_t(bytes.size());
        record.payload = std::move(bytes);
        return record;
    }

    void mutate(std::vector<LogRecord>& frames) {
        if (below(3) == 0)
            return; // some transfers stay intact
        for (uint32_t edits = 1 + below(3); edits > 0 && !frames.empty(); --edits) {
            std::size_t at = below(uint32_t(frames.size()));
            switch (below(4)) {
            case 0:
                frames.erase(frames.begin() + std::ptrdiff_t(at));
                break;
            case 1:
                frames[at].payload.resize(below(uint32_t(frames[at].payload.size()) + 1));
                break;
            case 2:
                frames.insert(frames.begin() + std::ptrdiff_t(at), frames[at]);
                break;
            default:
                if (!frames[at].payload.empty())
                    frames[at].payload[0] = uint8_t(below(256));
                break;
            }
        }
    }

    // Half of the time a byte 0 that some protocol reads as a valid frame start.
    uint8_t firstByte() {
        static constexpr uint8_t kPlausible[] = {0x01, 0x03, 0x07, 0x00, 0x10, 0x11, 0x21, 0x22, 0x2F, 0x20,
                                                 0x30, 0x31, 0x40, 0x41, 0x42, 0x20, 0x10, 0x11, 0x13, 0xFF};
        if (below(2) == 0)
            return kPlausible[below(std::size(kPlausible))];
        return uint8_t(below(256));
    }

    std::mt19937 random_;
    uint64_t ticks_ = 0;
};

struct FuzzChain {
    RecordingSink writer;
    std::unique_ptr<MuxTransport> mux = muxCreate(writer, nullptr);
    std::unique_ptr<TpManager> manager = tpManagerCreate(*mux);

    FuzzChain() {
        EXPECT_TRUE(muxAttach(mux.get(), manager.get()));
        for (uint8_t channel = 1; channel <= 4; ++channel) {
            configure(BusType::Can, channel, canKey(0x7E8, 0), TransportProtocolType::IsoTp);
            configure(BusType::J1939, channel, j1939Key(0x09F80123, 1), TransportProtocolType::NmeaTp);
            configure(BusType::J1939, channel, kJ1939TpCmKey, TransportProtocolType::J1939Tp);
        }
        configure(BusType::Can, 1, canKey(0x600, 0), TransportProtocolType::MuxTp);
        configure(BusType::Can, 2, canKey(0x601, 0), TransportProtocolType::MuxTp);
        configure(BusType::J1939, 3, j1939Key(0x0CFF1033, 1), TransportProtocolType::MuxTp);
        EXPECT_TRUE(muxConfigure(*mux, kBusCan, 1, canKey(0x600, 0), {2, 3, 1, 4}, BusType::Can));
        EXPECT_TRUE(muxConfigure(*mux, kBusCan, 2, canKey(0x601, 0), {1, 3, 4, 2}, BusType::Can));
        EXPECT_TRUE(muxConfigure(*mux, kBusCan, 3, j1939Key(0x0CFF1033, 1), {1, 2, 4, 3}, BusType::J1939));
    }
    void configure(BusType type, uint8_t channel, DbMsgKey key, TransportProtocolType protocol) {
        EXPECT_TRUE(tpManagerConfigure(*manager, type, channel, key, protocol));
    }
};

void runNoise(uint32_t seed, int frames) {
    FuzzChain chain;
    Noise noise(seed);
    FileInfo info;
    chain.manager->onFileStart(info, false);
    for (int i = 0; i < frames; ++i) {
        if (noise.below(500) == 0) {
            chain.manager->onFileEnd(info);
            chain.manager->onFileStart(info, noise.below(2) == 0);
        }
        if (noise.below(10) == 0) {
            for (LogRecord& record : noise.transfer())
                ASSERT_TRUE(chain.manager->onRecord(record)) << "transfer at " << i;
            continue;
        }
        LogRecord record = noise.frame();
        ASSERT_TRUE(chain.manager->onRecord(record)) << "frame " << i;
    }
    chain.manager->onFileEnd(info);

    TpSummary summary = tpManagerSummary(*chain.manager);
    EXPECT_EQ(summary.unfinished, chain.manager->openSessions());
    EXPECT_GT(summary.successful, 0u);
    EXPECT_GT(summary.failed, 0u);
    for (const LogRecord& record : chain.writer.records)
        EXPECT_LE(record.payload.size(), kIsoTpPayloadLimit);
}

TEST(TpChain, SurvivesNoiseOnConfiguredIdentifiers) {
    runNoise(20240601, 6000);
}

TEST(TpChain, SurvivesNoiseWithAnotherSeed) {
    runNoise(7, 6000);
}

TEST(TpChain, SurvivesRandomContainers) {
    FuzzChain chain;
    Noise noise(424242);
    for (int i = 0; i < 3000; ++i) {
        // Whole containers delivered as ISO-TP single frames, with random items inside.
        LogRecord record;
        record.channel = uint8_t(1 + noise.below(3));
        record.identifier = record.channel == 3 ? 0x0CFF1033 : (record.channel == 1 ? 0x600 : 0x601);
        record.extended = record.channel == 3;
        record.bus = kBusCan;
        std::size_t length = noise.below(63);
        record.payload = {0x00, uint8_t(length)};
        for (std::size_t b = 0; b < length; ++b)
            record.payload.push_back(uint8_t(noise.below(256)));
        ASSERT_TRUE(chain.manager->onRecord(record));
    }
    EXPECT_GE(tpManagerSummary(*chain.manager).successful, 3000u);
}

} // namespace
} // namespace loglathe
