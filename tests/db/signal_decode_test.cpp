#include "db/signal_decode.h"

#include "support/diag_capture.h"
#include "support/numbered_name.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <random>

namespace loglathe {
namespace {

using test::DiagCapture;

SignalLayout layout(bool littleEndian, SignalValueType type, uint16_t startBit, uint8_t bitLength,
                    double factor = 1.0, double offset = 0.0) {
    SignalLayout l;
    l.littleEndian = littleEndian ? 1 : 0;
    l.valueType = type;
    l.startBit = startBit;
    l.bitLength = bitLength;
    l.factor = factor;
    l.offset = offset;
    return l;
}

DbSignal signalOf(const SignalLayout& l) {
    std::vector<DbSignal> holder;
    addSignal(holder, "S", l, false);
    return holder.front();
}

double decodeOne(std::vector<uint8_t> payload, const SignalLayout& l) {
    double value = -12345.0;
    EXPECT_TRUE(extractSignalValue(payload, signalOf(l), value));
    return value;
}

// The decoding rule read literally, one bit at a time: the reference the word-wise reads must match.
uint64_t referenceRaw(const std::vector<uint8_t>& payload, const SignalLayout& l) {
    uint64_t raw = 0;
    if (l.littleEndian) {
        for (unsigned k = 0; k < l.bitLength && k < 64; ++k) {
            unsigned i = l.startBit + k;
            raw |= uint64_t((payload[i / 8] >> (i % 8)) & 1) << k;
        }
    } else {
        for (unsigned i = l.startBit; i < unsigned(l.startBit) + l.bitLength; ++i)
            raw = raw * 2 + ((payload[i / 8] >> (7 - i % 8)) & 1);
    }
    return raw;
}

TEST(SignalDecode, ReadsBothByteOrders) {
    using enum SignalValueType;
    EXPECT_EQ(decodeOne({0x01, 0x02}, layout(true, Unsigned, 0, 16)), 513.0);
    // DBC start bit 7 is stored as 7 ^ 7 = 0.
    EXPECT_EQ(decodeOne({0x01, 0x02}, layout(false, Unsigned, 0, 16)), 258.0);
    // DBC start bit 3, stored 4: low nibble of byte 0, then high nibble of byte 1.
    EXPECT_EQ(decodeOne({0x12, 0x34}, layout(false, Unsigned, 4, 8)), double(0x23));
}

TEST(SignalDecode, ConvertsSignedUnsignedFloatAndDouble) {
    using enum SignalValueType;
    EXPECT_EQ(decodeOne({0x00, 0x08}, layout(true, Signed, 0, 12)), -2048.0);
    EXPECT_EQ(decodeOne({0xFF, 0x07}, layout(true, Signed, 0, 12)), 2047.0);
    std::vector<uint8_t> minusTwo{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(decodeOne(minusTwo, layout(true, Signed, 0, 64)), -2.0);
    std::vector<uint8_t> allOnes(8, 0xFF);
    EXPECT_EQ(decodeOne(allOnes, layout(true, Unsigned, 0, 64)), 18446744073709551616.0);
    EXPECT_EQ(decodeOne(allOnes, layout(false, Unsigned, 0, 64)), 18446744073709551616.0);
    // Big-endian signed: the sign bit is the first bit read.
    EXPECT_EQ(decodeOne({0x80, 0x00}, layout(false, Signed, 0, 12)), -2048.0);

    EXPECT_EQ(decodeOne({0x00, 0x00, 0x80, 0x3F}, layout(true, Float, 0, 32, 2.0, 1.0)), 3.0);
    double d = -0.15625;
    std::vector<uint8_t> bytes(8);
    std::memcpy(bytes.data(), &d, 8);
    EXPECT_EQ(decodeOne(bytes, layout(true, Double, 0, 64)), d);
}

TEST(SignalDecode, AppliesFactorThenOffset) {
    EXPECT_DOUBLE_EQ(decodeOne({200}, layout(true, SignalValueType::Unsigned, 0, 8, 0.5, -40.0)), 60.0);
}

TEST(SignalDecode, WordReadsMatchBitByBitRule) {
    std::mt19937_64 random(42);
    std::vector<uint8_t> payload(300);
    for (int trial = 0; trial < 20000; ++trial) {
        for (auto& b : payload)
            b = static_cast<uint8_t>(random());
        // Short payloads exercise loads that would run past the end of the buffer.
        std::size_t size = 1 + random() % (trial % 3 == 0 ? payload.size() : 12);
        std::vector<uint8_t> frame(payload.begin(), payload.begin() + size);
        // Lengths past 64 keep the lowest (little-endian) or last read (big-endian) 64 bits.
        unsigned length = 1 + random() % (trial % 5 == 0 ? 255 : 64);
        if (length > size * 8)
            length = static_cast<unsigned>(size * 8);
        uint16_t start = static_cast<uint16_t>(random() % (size * 8 - length + 1));
        bool little = random() & 1;
        SignalLayout l = layout(little, SignalValueType::Unsigned, start, static_cast<uint8_t>(length));
        double value = 0.0;
        ASSERT_TRUE(extractSignalValue(frame, signalOf(l), value));
        ASSERT_EQ(value, static_cast<double>(referenceRaw(frame, l)))
            << "size " << size << " start " << start << " length " << int(length) << " little " << little;
    }
}

TEST(SignalDecode, ChecksBitLengthsInOrder) {
    using enum SignalValueType;
    DiagCapture diag(kDiagWarning);
    double value = 0.0;
    std::vector<uint8_t> two{1, 2};
    EXPECT_FALSE(extractSignalValue(two, signalOf(layout(true, Unsigned, 0, 0)), value));
    EXPECT_TRUE(diag.has("W Invalid signal bit length (zero)"));
    // The payload-size check comes before the float check.
    EXPECT_FALSE(extractSignalValue(two, signalOf(layout(true, Float, 0, 24)), value));
    EXPECT_TRUE(diag.has("W Invalid signal bit length (exceeds payload)"));
    EXPECT_FALSE(diag.has("W Invalid signal bit length (float != 32)"));
    EXPECT_FALSE(extractSignalValue(two, signalOf(layout(true, Float, 0, 16)), value));
    EXPECT_TRUE(diag.has("W Invalid signal bit length (float != 32)"));
    std::vector<uint8_t> eight(8);
    EXPECT_FALSE(extractSignalValue(eight, signalOf(layout(true, Double, 0, 32)), value));
    EXPECT_TRUE(diag.has("W Invalid signal bit length (double != 64)"));
}

TEST(SignalDecode, SignalMayEndAtLastPayloadBitButNotBeyond) {
    std::vector<uint8_t> payload{0, 0, 0, 0xA5};
    double value = 0.0;
    EXPECT_TRUE(extractSignalValue(payload, signalOf(layout(true, SignalValueType::Unsigned, 24, 8)), value));
    EXPECT_EQ(value, 165.0);
    EXPECT_FALSE(
        extractSignalValue(payload, signalOf(layout(true, SignalValueType::Unsigned, 25, 8)), value));
    // Big-endian: stored start 24 with 8 bits ends at sequential bit 31, the last one.
    EXPECT_TRUE(
        extractSignalValue(payload, signalOf(layout(false, SignalValueType::Unsigned, 24, 8)), value));
    EXPECT_EQ(value, 165.0);
    EXPECT_FALSE(
        extractSignalValue(payload, signalOf(layout(false, SignalValueType::Unsigned, 25, 8)), value));
}

TEST(SignalDecode, ReadsPayloadsLongerThan256Bytes) {
    std::vector<uint8_t> payload(1800);
    payload[1790] = 0x34;
    payload[1791] = 0x12;
    EXPECT_EQ(decodeOne(payload, layout(true, SignalValueType::Unsigned, 1790 * 8, 16)), double(0x1234));
    EXPECT_EQ(decodeOne(payload, layout(false, SignalValueType::Unsigned, 1790 * 8, 16)), double(0x3412));
}

TEST(SignalDecode, SignalBuiltWithoutAddSignalDecodesAlike) {
    DbSignal bare;
    bare.name = "Bare";
    bare.layout = layout(false, SignalValueType::Unsigned, 4, 8);
    std::vector<uint8_t> payload{0x12, 0x34};
    double value = 0.0;
    ASSERT_TRUE(extractSignalValue(payload, bare, value));
    EXPECT_EQ(value, double(0x23));
}

// A flat message decodes every signal, without a warning, exactly from the length it names on; each
// kind of layout that needs the checks of the full decoding keeps a message from being flat.
TEST(SignalDecode, FlatMessagesDecodeAllSignalsFromTheirNeededLengthOn) {
    auto db = createMessageDb(BusType::Can);
    DbMessage* flat = dbAddMessage(*db, "Flat", 0x10, 8, TransportProtocolType::None, "", false);
    addSignal(flat->signals, "Low", layout(true, SignalValueType::Unsigned, 0, 8), false);
    addSignal(flat->signals, "Big", layout(false, SignalValueType::Signed, 12, 10, 0.5, -3), false);
    addSignal(flat->signals, "Hidden", layout(true, SignalValueType::Unsigned, 40, 3), true);
    std::size_t needed = 0;
    ASSERT_TRUE(decodesFlat(*flat, needed));
    EXPECT_EQ(needed, 6u); // bits 40..42 of the ignored signal
    std::vector<uint8_t> payload{0x81, 0x7E, 0xC3, 0x3C, 0xA5, 0x5A, 0xFF, 0x00};
    for (std::size_t length = 0; length <= payload.size(); ++length) {
        SCOPED_TRACE(length);
        std::span<const uint8_t> part(payload.data(), length);
        DecodedMessage decoded;
        DiagCapture diag;
        ASSERT_TRUE(dbDecode(db.get(), 0x10, part, decoded));
        bool complete = decoded.values.size() == flat->signals.size() && diag.take().empty();
        EXPECT_EQ(complete, length >= needed);
    }

    auto notFlat = [&db](const char* name, uint32_t key, auto&& build) {
        DbMessage* message = dbAddMessage(*db, name, key, 8, TransportProtocolType::None, "", false);
        addSignal(message->signals, "Plain", layout(true, SignalValueType::Unsigned, 0, 8), false);
        build(*message);
        std::size_t needed = 0;
        EXPECT_FALSE(decodesFlat(*message, needed)) << name;
    };
    notFlat("Mux", 0x11, [](DbMessage& m) {
        DbSignal* mux = addSignal(m.signals, "Sel", layout(true, SignalValueType::Unsigned, 8, 8), false);
        addMuxGroup(mux->muxGroups, 1, 1);
    });
    notFlat("ZeroLength", 0x12, [](DbMessage& m) {
        addSignal(m.signals, "Z", layout(true, SignalValueType::Unsigned, 8, 0), false);
    });
    notFlat("ShortFloat", 0x13, [](DbMessage& m) {
        addSignal(m.signals, "F", layout(true, SignalValueType::Float, 8, 16), true);
    });
    notFlat("Unprepared", 0x14, [](DbMessage& m) {
        DbSignal bare;
        bare.layout = layout(true, SignalValueType::Unsigned, 8, 8);
        m.signals.push_back(bare);
    });
    DbMessage* empty = dbAddMessage(*db, "Empty", 0x15, 8, TransportProtocolType::None, "", false);
    EXPECT_FALSE(decodesFlat(*empty, needed));
}

class MuxMessage : public ::testing::Test {
protected:
    void SetUp() override {
        db = createMessageDb(BusType::Can);
        message = dbAddMessage(*db, "Muxed", 0x100, 8, TransportProtocolType::None, "", false);
        addSignal(message->signals, "Head", layout(true, SignalValueType::Unsigned, 0, 8), false);
        DbSignal* mux =
            addSignal(message->signals, "Mux", layout(true, SignalValueType::Unsigned, 8, 8, 0.5), false);
        addSignal(addMuxGroup(mux->muxGroups, 1, 1)->signals, "InOne",
                  layout(true, SignalValueType::Unsigned, 16, 8), false);
        MuxGroup* two = addMuxGroup(mux->muxGroups, 2, 3);
        addSignal(two->signals, "InTwo", layout(true, SignalValueType::Unsigned, 24, 8), true);
        addSignal(two->signals, "Broken", layout(true, SignalValueType::Float, 32, 16), false);
        addSignal(two->signals, "AfterBroken", layout(true, SignalValueType::Unsigned, 48, 8), false);
        addSignal(message->signals, "Tail", layout(true, SignalValueType::Unsigned, 56, 8), false);
    }

    std::vector<std::string_view> names() const {
        std::vector<std::string_view> out;
        for (const auto& v : decoded.values)
            out.push_back(v.name);
        return out;
    }

    std::unique_ptr<MessageDb> db;
    DbMessage* message = nullptr;
    DecodedMessage decoded;
};

TEST_F(MuxMessage, PhysicalMultiplexorValueSelectsOneGroup) {
    // Raw 2 with factor 0.5 is 1: the group 1..1.
    std::vector<uint8_t> payload{7, 2, 11, 12, 0, 0, 0, 9};
    ASSERT_TRUE(dbDecode(db.get(), 0x100, payload, decoded));
    EXPECT_EQ(decoded.message, message);
    EXPECT_EQ(names(), (std::vector<std::string_view>{"Head", "Mux", "InOne", "Tail"}));
    EXPECT_TRUE(decoded.values[1].isMultiplexor);
    EXPECT_FALSE(decoded.values[0].isMultiplexor);
    EXPECT_EQ(decoded.values[1].value, 1.0);
    EXPECT_EQ(decoded.values[2].value, 11.0);
    EXPECT_EQ(decoded.values[3].nameHash, static_cast<uint32_t>(nameHash64("Tail")));
    // Each value refers to the signal it was decoded from.
    EXPECT_EQ(decoded.values[1].signal, &message->signals[1]);
    EXPECT_EQ(decoded.values[2].signal, &message->signals[1].muxGroups[0].signals[0]);
}

TEST_F(MuxMessage, SignalWithInvalidLayoutIsLeftOutAlone) {
    DiagCapture diag(kDiagWarning);
    // Raw 4 with factor 0.5 is 2: the group 2..3, whose second signal has a bad float length.
    std::vector<uint8_t> payload{7, 4, 11, 12, 0, 0, 0, 9};
    ASSERT_TRUE(dbDecode(db.get(), 0x100, payload, decoded));
    EXPECT_EQ(names(), (std::vector<std::string_view>{"Head", "Mux", "InTwo", "AfterBroken", "Tail"}));
    EXPECT_TRUE(decoded.values[2].ignored);
    EXPECT_EQ(decoded.values[2].value, 12.0);
    EXPECT_TRUE(diag.has("W Failed to decode signal: \"Broken\""));
    EXPECT_TRUE(diag.has("W Failed to decode message: \"Muxed\""));
}

TEST_F(MuxMessage, UnmatchedMultiplexorValueGivesOnlyItsOwnValue) {
    std::vector<uint8_t> payload{7, 9, 11, 12, 0, 0, 0, 9};
    ASSERT_TRUE(dbDecode(db.get(), 0x100, payload, decoded));
    EXPECT_EQ(names(), (std::vector<std::string_view>{"Head", "Mux", "Tail"}));
}

TEST_F(MuxMessage, ShortFrameGivesEverySignalWithinItWhateverTheOrder) {
    DiagCapture diag(kDiagWarning);
    std::vector<uint8_t> shortPayload{7, 2, 11};
    ASSERT_TRUE(dbDecode(db.get(), 0x100, shortPayload, decoded));
    EXPECT_EQ(names(), (std::vector<std::string_view>{"Head", "Mux", "InOne"}));
    EXPECT_TRUE(diag.has("W Failed to decode signal: \"Tail\""));

    // The same signals listed from the highest bit down: the frame gives the same values.
    std::reverse(message->signals.begin(), message->signals.end());
    ASSERT_TRUE(dbDecode(db.get(), 0x100, shortPayload, decoded));
    EXPECT_EQ(names(), (std::vector<std::string_view>{"Mux", "InOne", "Head"}));
    // A multiplexor beyond the frame selects nothing, and what follows it is still decoded.
    std::vector<uint8_t> oneByte{7};
    ASSERT_TRUE(dbDecode(db.get(), 0x100, oneByte, decoded));
    EXPECT_EQ(names(), (std::vector<std::string_view>{"Head"}));
    EXPECT_EQ(decoded.values[0].value, 7.0);
    // Nothing within the frame: no value at all.
    ASSERT_TRUE(dbDecode(db.get(), 0x100, {}, decoded));
    EXPECT_TRUE(decoded.values.empty());
}

TEST_F(MuxMessage, UnknownKeyIgnoredMessageAndNullDatabaseGiveNothing) {
    std::vector<uint8_t> payload(8);
    ASSERT_TRUE(dbDecode(db.get(), 0x100, payload, decoded));
    EXPECT_FALSE(dbDecode(db.get(), 0x101, payload, decoded));
    EXPECT_TRUE(decoded.values.empty());
    EXPECT_EQ(decoded.message, nullptr);
    EXPECT_FALSE(dbDecode(nullptr, 0x100, payload, decoded));
    message->ignored = true;
    EXPECT_FALSE(dbDecode(db.get(), 0x100, payload, decoded));
}

TEST(SignalDecode, DeepMultiplexorChainDecodesAndReleasesWithoutRecursion) {
    // 200,000 multiplexors, each in group 0..0 of the one before: far deeper than any call stack.
    constexpr int kDepth = 200000;
    auto db = createMessageDb(BusType::Can);
    DbMessage* message = dbAddMessage(*db, "Deep", 1, 1, TransportProtocolType::None, "", false);
    std::vector<DbSignal>* level = &message->signals;
    for (int i = 0; i < kDepth; ++i) {
        DbSignal* mux = addSignal(*level, test::numberedName("M", i),
                                  layout(true, SignalValueType::Unsigned, 0, 1), false);
        level = &addMuxGroup(mux->muxGroups, 0, 0)->signals;
    }
    addSignal(*level, "Leaf", layout(true, SignalValueType::Unsigned, 0, 8), false);

    DecodedMessage decoded;
    std::vector<uint8_t> zero{0};
    ASSERT_TRUE(dbDecode(db.get(), 1, zero, decoded));
    EXPECT_EQ(decoded.values.size(), std::size_t{kDepth + 1});
    EXPECT_EQ(decoded.values.back().name, "Leaf");
    EXPECT_NE(findSignalByName(message->signals, "Leaf"), nullptr);
    db.reset();
}

} // namespace
} // namespace loglathe
