#include "app/tp_chain.h"

#include "support/numbered_name.h"
#include "tp/tp_test_support.h"

#include <gtest/gtest.h>

namespace loglathe {
namespace {

using test::DiagCapture;
using test::RecordingSink;

// A database with one message per (key, protocol, parameter).
std::unique_ptr<MessageDb>
dbWith(BusType bus, std::vector<std::tuple<DbMsgKey, TransportProtocolType, std::string>> messages) {
    auto db = createMessageDb(bus);
    int n = 0;
    for (const auto& [key, tp, parameter] : messages)
        dbAddMessage(*db, test::numberedName("M", n++), key, 8, tp, parameter, false);
    return db;
}

TEST(TpChainSetUp, WithoutTransportProtocolsTheWalkerFeedsTheWriter) {
    RunConfig config;
    config.canDbs.add(1, dbWith(BusType::Can, {{0x100, TransportProtocolType::None, ""}}));
    config.linDbs.add(1, dbWith(BusType::Lin, {{0x3C, TransportProtocolType::IsoTp, ""}}));
    RecordingSink writer;
    auto chain = tpChainCreate(config, writer);
    ASSERT_TRUE(chain);
    EXPECT_FALSE(chain->tpUsed);
    EXPECT_EQ(chain->walkerSink, &writer);
    TpSummary summary = tpManagerSummary(*chain->manager);
    EXPECT_EQ(summary.successful + summary.failed + summary.unfinished, 0u);
    chain.reset(); // the manager first, then the MUX transport it feeds
}

TEST(TpChainSetUp, J1939DatabaseReassemblesBroadcastsOnItsChannel) {
    RunConfig config;
    config.canDbs.add(3, dbWith(BusType::J1939, {}));
    RecordingSink writer;
    auto chain = tpChainCreate(config, writer);
    ASSERT_TRUE(chain);
    EXPECT_TRUE(chain->tpUsed);
    ASSERT_EQ(chain->walkerSink, chain->manager.get());

    auto bam = test::extendedFrame(0x18ECFF00, {0x20, 9, 0, 2, 0xFF, 0xCA, 0xFE, 0x00}, 3);
    auto dt1 = test::extendedFrame(0x18EBFF00, {1, 1, 2, 3, 4, 5, 6, 7}, 3);
    auto dt2 = test::extendedFrame(0x18EBFF00, {2, 8, 9, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 3);
    for (LogRecord* r : {&bam, &dt1, &dt2})
        EXPECT_TRUE(chain->walkerSink->onRecord(*r));
    ASSERT_EQ(writer.records.size(), 1u);
    EXPECT_EQ(writer.records[0].identifier, 0x18FECA00u);
    EXPECT_EQ(writer.records[0].payload, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(tpManagerSummary(*chain->manager).successful, 1u);
}

TEST(TpChainSetUp, MuxParameterGivesTheTargetChannels) {
    RunConfig config;
    config.canDbs.add(1, dbWith(BusType::Can, {{0x600, TransportProtocolType::MuxTp, "MUXTP#1:2:3:260"},
                                               {0x601, TransportProtocolType::MuxTp, "MUXTP#5:6:7"}}));
    RecordingSink writer;
    DiagCapture diag;
    auto chain = tpChainCreate(config, writer);
    ASSERT_TRUE(chain);
    EXPECT_NE(diag.text().find("Failed to add MUX config"), std::string::npos);

    // An ISO-TP single frame holding one container item: index 3, standard identifier 0x123, DLC 1,
    // data 0xAA. Index 3 targets the fourth number, 260, kept to its low 8 bits.
    auto container = test::frame(0x600, {0x04, 0x68, 0x81, 0x23, 0xAA, 0, 0, 0});
    EXPECT_TRUE(chain->walkerSink->onRecord(container));
    ASSERT_EQ(writer.records.size(), 1u);
    EXPECT_EQ(writer.records[0].channel, 4);
    EXPECT_EQ(writer.records[0].identifier, 0x123u);
    EXPECT_EQ(writer.records[0].payload, std::vector<uint8_t>{0xAA});

    // The message whose parameter did not match is still reassembled and reaches the writer whole.
    auto unmatched = test::frame(0x601, {0x03, 1, 2, 3, 0, 0, 0, 0});
    EXPECT_TRUE(chain->walkerSink->onRecord(unmatched));
    ASSERT_EQ(writer.records.size(), 2u);
    EXPECT_EQ(writer.records[1].identifier, 0x601u);
    EXPECT_EQ(writer.records[1].payload, (std::vector<uint8_t>{1, 2, 3}));
}

TEST(TpChainSetUp, FirstDatabaseOfAChannelWinsAKey) {
    RunConfig config;
    config.canDbs.add(1, dbWith(BusType::Can, {{0x7E8, TransportProtocolType::IsoTp, ""}}));
    config.canDbs.add(1, dbWith(BusType::Can, {{0x7E8, TransportProtocolType::NmeaTp, ""}}));
    RecordingSink writer;
    auto chain = tpChainCreate(config, writer);
    ASSERT_TRUE(chain);
    // An ISO-TP single frame completes at once; as fast packet it would start a 3-byte transfer.
    auto single = test::frame(0x7E8, {0x03, 0x11, 0x22, 0x33, 0xAA, 0xAA, 0xAA, 0xAA});
    EXPECT_TRUE(chain->walkerSink->onRecord(single));
    ASSERT_EQ(writer.records.size(), 1u);
    EXPECT_EQ(writer.records[0].payload, (std::vector<uint8_t>{0x11, 0x22, 0x33}));
}

} // namespace
} // namespace loglathe
