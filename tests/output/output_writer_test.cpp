#include "output/output_writer.h"

#include "db/signal_decode.h"
#include "output/fixed_format.h"

#include "resource_limits.h"
#include "support/diag_capture.h"
#include "support/fault_file_system.h"
#include "support/numbered_name.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace loglathe {
namespace {

using test::DiagCapture;
using test::TempDir;

constexpr double kJan31 = 1706659200.0; // 2024-01-31 00:00:00 UTC

struct SignalDef {
    std::string name;
    uint16_t startBit = 0;
    uint8_t bits = 8;
    double minimum = 0.0;
    double maximum = 0.0;
    bool ignored = false;
    double factor = 1.0;
    double offset = 0.0;
    SignalValueType type = SignalValueType::Unsigned;
};

SignalLayout layoutOf(const SignalDef& def) {
    SignalLayout layout;
    layout.valueType = def.type;
    layout.startBit = def.startBit;
    layout.bitLength = def.bits;
    layout.factor = def.factor;
    layout.offset = def.offset;
    layout.minimum = def.minimum;
    layout.maximum = def.maximum;
    return layout;
}

DbMessage& addMessage(MessageDb& db, const std::string& name, uint32_t dbcId,
                      const std::vector<SignalDef>& signals, bool ignored = false) {
    DbMessage* message = dbAddMessage(db, name, dbcMsgKey2DbMsgKey(db.busType, dbcId), 8,
                                      TransportProtocolType::None, "", ignored);
    EXPECT_TRUE(message);
    for (const SignalDef& def : signals)
        EXPECT_TRUE(addSignal(message->signals, def.name, layoutOf(def), def.ignored));
    return *message;
}

// A writer over a fresh temporary output root; `reset` starts over with other options.
class OutputWriterTest : public ::testing::Test {
protected:
    void SetUp() override { reset(WriterOptions{}); }

    void reset(const WriterOptions& options) {
        writer.reset();
        dir = std::make_unique<TempDir>();
        root = fsCreate(dir->root());
        ASSERT_TRUE(root);
        writer = writerCreate(*root, can, lin, options);
        ASSERT_TRUE(writer);
    }

    MessageDb& addDb(uint8_t channel, BusType type) {
        auto db = createMessageDb(type);
        MessageDb& stored = *db;
        (type == BusType::Lin ? lin : can).add(channel, std::move(db));
        return stored;
    }

    bool start(const std::string& logger, uint32_t session = 1, uint32_t split = 1,
               bool continuation = false) {
        info.loggerId = logger;
        info.session = session;
        info.split = split;
        return writer->onFileStart(info, continuation);
    }

    bool end() { return writer->onFileEnd(info); }

    bool send(uint32_t id, std::vector<uint8_t> payload, double timestamp, bool extended = false,
              BusKind bus = kBusCan, uint8_t channel = 1) {
        LogRecord record;
        record.identifier = id;
        record.payload = std::move(payload);
        record.timestamp = timestamp;
        record.extended = extended;
        record.bus = bus;
        record.channel = channel;
        return writer->onRecord(record);
    }

    // Every file below the root, relative to it, sorted.
    std::vector<std::string> tree() const {
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir->root()))
            if (entry.is_regular_file())
                files.push_back(entry.path().string().substr(dir->root().size()));
        std::sort(files.begin(), files.end());
        return files;
    }

    std::string read(const std::string& relativePath) const {
        return test::readFile(dir->root() + relativePath);
    }

    DbChannelTable can;
    DbChannelTable lin;
    test::FaultPlan faults; // of a root that fails on purpose; outlives the writer's files
    std::unique_ptr<TempDir> dir;
    std::unique_ptr<FileSystem> root;
    std::unique_ptr<OutputWriter> writer;
    FileInfo info;
};

using Files = std::vector<std::string>;

TEST_F(OutputWriterTest, WritesTheLayoutExampleWithHeaderRowAndCounters) {
    addMessage(
        addDb(1, BusType::J1939), "EEC1", 0x8CF00400,
        {{"Torque", 8, 8, -125, 125, false, 1.0, -125}, {"EngineSpeed", 24, 16, 0, 8031.875, false, 0.125}});
    ASSERT_TRUE(start("1A2B3C", 12, 3));
    EXPECT_TRUE(send(0x0CF00400, {0, 135, 0, 0x10, 0x27, 0, 0, 0}, kJan31 + 0.125, true));
    EXPECT_TRUE(end());
    writer.reset();
    const std::string path = "1A2B3C_out/CAN1_EEC1_S00/2024/01/31/00000012_00000003.csv";
    EXPECT_EQ(tree(), Files{path});
    EXPECT_EQ(read(path), "t,Torque,EngineSpeed\n1706659200.125000,10.000000,1250.000000\n");
}

TEST_F(OutputWriterTest, LoggerFolderKeepsAtMostFifteenAsciiLettersAndDigits) {
    addMessage(addDb(1, BusType::Can), "M_1", 0x10, {{"V"}});
    for (const char* logger : {"AB-12_x \xC3\xBC"
                               "9",
                               "ABCDEFGHIJKLMNOPQRST", "- \xC3\xBC -"}) {
        start(logger);
        send(0x10, {1}, kJan31);
    }
    EXPECT_EQ(tree(), (Files{"AB12x9_out/CAN1_M1/2024/01/31/00000001_00000001.csv",
                             "ABCDEFGHIJKLMNO_out/CAN1_M1/2024/01/31/00000001_00000001.csv",
                             "_out/CAN1_M1/2024/01/31/00000001_00000001.csv"}));

    reset(WriterOptions{.noAppendRoot = true});
    for (const char* logger : {"X1", "--"}) {
        start(logger);
        send(0x10, {1}, kJan31);
    }
    EXPECT_EQ(tree(), (Files{"CAN1_M1/2024/01/31/00000001_00000001.csv",
                             "X1/CAN1_M1/2024/01/31/00000001_00000001.csv"}));
}

TEST_F(OutputWriterTest, J1939AddressPartsFollowTheMergeOptions) {
    MessageDb& db = addDb(1, BusType::J1939);
    addMessage(db, "Request", 0x98EA00FE, {{"Pgn", 0, 24}});
    addMessage(db, "EEC1", 0x8CF00400, {{"Torque"}});
    addMessage(db, "Short", 0x123, {{"V"}});
    auto sendAll = [this] {
        start("L");
        send(0x18EA21F9, {1, 2, 3}, kJan31, true);
        send(0x18EA21FA, {1, 2, 3}, kJan31, true);
        send(0x0CF00400, {1}, kJan31, true);
        send(0x123, {1}, kJan31, false);
    };
    sendAll();
    EXPECT_EQ(tree(), (Files{"L_out/CAN1_EEC1_S00/2024/01/31/00000001_00000001.csv",
                             "L_out/CAN1_Request_SF9/2024/01/31/00000001_00000001.csv",
                             "L_out/CAN1_Request_SFA/2024/01/31/00000001_00000001.csv",
                             "L_out/CAN1_Short/2024/01/31/00000001_00000001.csv"}));

    reset(WriterOptions{.pgnDstMerge = false});
    sendAll();
    EXPECT_EQ(tree(), (Files{"L_out/CAN1_EEC1_S00/2024/01/31/00000001_00000001.csv",
                             "L_out/CAN1_Request_SF9_D21/2024/01/31/00000001_00000001.csv",
                             "L_out/CAN1_Request_SFA_D21/2024/01/31/00000001_00000001.csv",
                             "L_out/CAN1_Short/2024/01/31/00000001_00000001.csv"}));

    reset(WriterOptions{.pgnSrcMerge = true});
    sendAll();
    writer.reset();
    const std::string shared = "L_out/CAN1_Request/2024/01/31/00000001_00000001.csv";
    EXPECT_EQ(tree(), (Files{"L_out/CAN1_EEC1/2024/01/31/00000001_00000001.csv", shared,
                             "L_out/CAN1_Short/2024/01/31/00000001_00000001.csv"}));
    EXPECT_EQ(read(shared), "t,Pgn\n1706659200.000000,197121.000000\n1706659200.000000,197121.000000\n");
}

TEST_F(OutputWriterTest, OutOfLimitValuesBecomeNaNAndOnlyInLimitValuesCount) {
    MessageDb& db = addDb(1, BusType::Can);
    addMessage(db, "Lim", 0x100, {{"A", 0, 8, 0, 100}, {"B", 8, 8, 10, 20}});
    addMessage(db, "Free", 0x101, {{"F", 0, 32, 0, 0, false, 1, 0, SignalValueType::Float}});
    start("L");
    send(0x100, {200, 5}, kJan31); // both out of limits: nothing at all
    EXPECT_EQ(writer->summary().messages, 0u);
    EXPECT_EQ(writer->summary().signals, 0u);
    EXPECT_TRUE(tree().empty());
    send(0x100, {50, 5}, kJan31 + 1);
    send(0x101, {0x00, 0x00, 0xC0, 0x7F}, kJan31 + 2); // NaN passes through limits of 0 and 0
    EXPECT_EQ(writer->summary().messages, 2u);
    EXPECT_EQ(writer->summary().signals, 2u);
    EXPECT_EQ(writer->summary().files, 2u);
    writer.reset();
    EXPECT_EQ(read("L_out/CAN1_Lim/2024/01/31/00000001_00000001.csv"),
              "t,A,B\n1706659201.000000,50.000000,NaN\n");
    EXPECT_EQ(read("L_out/CAN1_Free/2024/01/31/00000001_00000001.csv"), "t,F\n1706659202.000000,NaN\n");
}

TEST_F(OutputWriterTest, IgnoredSignalsAndMessagesAreLeftOut) {
    MessageDb& db = addDb(1, BusType::Can);
    addMessage(db, "Part", 0x100, {{"A"}, {"Hidden", 8, 8, 0, 0, true}, {"B", 16}});
    addMessage(db, "Skipped", 0x101, {{"A"}}, true);
    addMessage(db, "AllHidden", 0x102, {{"Hidden", 0, 8, 0, 0, true}});
    start("L");
    for (uint32_t id : {0x100u, 0x101u, 0x102u})
        send(id, {1, 2, 3}, kJan31);
    writer.reset();
    EXPECT_EQ(tree(), Files{"L_out/CAN1_Part/2024/01/31/00000001_00000001.csv"});
    EXPECT_EQ(read(tree()[0]), "t,A,B\n1706659200.000000,1.000000,3.000000\n");
}

TEST_F(OutputWriterTest, EveryDatabaseOfTheChannelGetsItsOwnFileWithoutForeignAddresses) {
    addMessage(addDb(1, BusType::J1939), "J", 0x98FEF100, {{"V"}});
    addMessage(addDb(1, BusType::Can), "C", 0x98FEF100, {{"V"}});
    start("L");
    send(0x18FEF100, {7}, kJan31, true);
    EXPECT_EQ(writer->summary().messages, 2u);
    EXPECT_EQ(tree(), (Files{"L_out/CAN1_C/2024/01/31/00000001_00000001.csv",
                             "L_out/CAN1_J_S00/2024/01/31/00000001_00000001.csv"}));
}

TEST_F(OutputWriterTest, ContinuedSplitsShareFilesOnlyWithConcat) {
    addMessage(addDb(1, BusType::Can), "M", 0x10, {{"V"}});
    auto twoSplits = [this] {
        start("L", 4, 1);
        send(0x10, {1}, kJan31);
        start("L", 4, 2, true);
        send(0x10, {2}, kJan31 + 1);
        writer.reset();
    };
    twoSplits();
    EXPECT_EQ(tree(), Files{"L_out/CAN1_M/2024/01/31/00000004_00000001.csv"});
    EXPECT_EQ(read(tree()[0]), "t,V\n1706659200.000000,1.000000\n1706659201.000000,2.000000\n");

    reset(WriterOptions{.concat = false});
    twoSplits();
    EXPECT_EQ(tree(), (Files{"L_out/CAN1_M/2024/01/31/00000004_00000001.csv",
                             "L_out/CAN1_M/2024/01/31/00000004_00000002.csv"}));
}

// Sets TZ for the test's duration, so that a local-time slip shows in the day folders.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        const char* previous = std::getenv("TZ");
        hadPrevious_ = previous != nullptr;
        if (previous)
            previous_ = previous;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (hadPrevious_)
            ::setenv("TZ", previous_.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    bool hadPrevious_ = false;
    std::string previous_;
};

TEST_F(OutputWriterTest, MidnightUtcStartsNewFilesAndAReturningDayAppends) {
    ScopedTimeZone zone("XYZ-5");
    addMessage(addDb(1, BusType::Can), "M", 0x10, {{"V"}});
    start("L");
    send(0x10, {1}, kJan31 + 86399.9);
    send(0x10, {2}, kJan31 + 86400.1);
    send(0x10, {3}, kJan31 + 86399.95);
    writer.reset();
    EXPECT_EQ(tree(), (Files{"L_out/CAN1_M/2024/01/31/00000001_00000001.csv",
                             "L_out/CAN1_M/2024/02/01/00000001_00000001.csv"}));
    EXPECT_EQ(read(tree()[0]), "t,V\n1706745599.900000,1.000000\n1706745599.950000,3.000000\n");
}

// Rows of repeated frames hold what decoding each frame on its own gives, for signals of every byte
// order, type and width, up to the last bits of classic and FD payloads.
TEST_F(OutputWriterTest, RowsOfRepeatedFramesHoldEachFramesDecodedValues) {
    std::mt19937 random(5);
    MessageDb& db = addDb(1, BusType::Can);
    for (std::size_t size : {std::size_t{8}, std::size_t{16}, std::size_t{64}}) {
        SCOPED_TRACE(size);
        uint32_t id = 0x300 + static_cast<uint32_t>(size);
        std::vector<SignalDef> defs;
        for (int k = 0; k < 12; ++k) {
            SignalDef def{test::numberedName("S", static_cast<uint32_t>(k))};
            def.type = static_cast<SignalValueType>(1 + random() % 4);
            def.bits = def.type == SignalValueType::Float    ? 32
                       : def.type == SignalValueType::Double ? 64
                                                             : static_cast<uint8_t>(1 + random() % 64);
            // The last signals end at the payload's last bit.
            def.startBit =
                static_cast<uint16_t>(k >= 10 ? size * 8 - def.bits : random() % (size * 8 - def.bits + 1));
            def.factor = k % 3 == 0 ? 0.25 : 1.0;
            defs.push_back(def);
        }
        DbMessage& message = addMessage(db, "Wide" + std::to_string(size), id, defs);
        // Every other signal big-endian: its start bit then names the first bit read in sequence.
        for (std::size_t k = 1; k < message.signals.size(); k += 2) {
            message.signals[k].layout.littleEndian = 0;
            message.signals[k].extraction = prepareExtraction(message.signals[k].layout);
        }
        start("L");
        std::string expected = "t";
        for (const SignalDef& def : defs)
            expected += "," + def.name;
        expected += "\n";
        char number[kFixedRoom];
        for (int row = 0; row < 50; ++row) {
            std::vector<uint8_t> payload(size);
            for (uint8_t& byte : payload)
                byte = static_cast<uint8_t>(random());
            double t = kJan31 + row * 0.001;
            send(id, payload, t);
            expected.append(number, formatFixed(number, t));
            for (const DbSignal& signal : message.signals) {
                double value = 0.0;
                ASSERT_TRUE(extractSignalValue(payload, signal, value));
                expected.append(",").append(number, formatFixed(number, value));
            }
            expected += "\n";
        }
        EXPECT_TRUE(end());
        EXPECT_EQ(read("L_out/CAN1_Wide" + std::to_string(size) + "/2024/01/31/00000001_00000001.csv"),
                  expected);
    }
}

TEST_F(OutputWriterTest, MultiplexedMessageGetsOneFilePerSelectedGroup) {
    MessageDb& db = addDb(1, BusType::Can);
    DbMessage& mx = addMessage(db, "Mx", 0x10, {{"Mux_Sel", 0, 8}, {"Plain", 24}});
    addSignal(addMuxGroup(mx.signals[0].muxGroups, 1, 1)->signals, "G1", layoutOf({"G1", 8}), false);
    addSignal(addMuxGroup(mx.signals[0].muxGroups, 2, 3)->signals, "G2", layoutOf({"G2", 16}), false);
    // Physical 1.5 selects no group while decoding, yet its truncation 1 names the folder and so
    // sets the columns: the 1.0 after it has a column for the group's value.
    DbMessage& half = addMessage(db, "Half", 0x11, {{"Sel", 0, 8, 0, 0, false, 0.5}, {"Other", 16}});
    addSignal(addMuxGroup(half.signals[0].muxGroups, 1, 1)->signals, "Inner", layoutOf({"Inner", 8}), false);
    DiagCapture diag;
    start("L");
    send(0x10, {1, 11, 22, 33}, kJan31);
    send(0x10, {3, 11, 22, 33}, kJan31);
    send(0x11, {3, 11, 22}, kJan31);
    send(0x11, {2, 44, 55}, kJan31 + 1);
    writer.reset();
    EXPECT_EQ(diag.count("has no column"), 0);
    const std::string day = "/2024/01/31/00000001_00000001.csv";
    EXPECT_EQ(tree(), (Files{"L_out/CAN1_Half_Sel_M01" + day, "L_out/CAN1_Mx_MuxSel_M01" + day,
                             "L_out/CAN1_Mx_MuxSel_M02" + day}));
    EXPECT_EQ(read("L_out/CAN1_Mx_MuxSel_M01" + day),
              "t,Mux_Sel,G1,Plain\n1706659200.000000,1.000000,11.000000,33.000000\n");
    EXPECT_EQ(read("L_out/CAN1_Mx_MuxSel_M02" + day),
              "t,Mux_Sel,G2,Plain\n1706659200.000000,3.000000,22.000000,33.000000\n");
    EXPECT_EQ(read("L_out/CAN1_Half_Sel_M01" + day),
              "t,Sel,Inner,Other\n1706659200.000000,1.500000,NaN,22.000000\n"
              "1706659201.000000,1.000000,44.000000,55.000000\n");
}

TEST_F(OutputWriterTest, ShortMultiplexedFramesFollowTheirOwnGroup) {
    MessageDb& db = addDb(1, BusType::Can);
    DbMessage& mx = addMessage(db, "Mx", 0x10, {{"Sel", 0, 8}});
    addSignal(addMuxGroup(mx.signals[0].muxGroups, 0, 0)->signals, "G0", layoutOf({"G0", 8, 16}), false);
    start("L");
    send(0x10, {3}, kJan31);     // selects no group: no multiplexor part
    send(0x10, {0}, kJan31 + 1); // group 0, too short for G0
    send(0x10, {0, 1, 2}, kJan31 + 2);
    writer.reset();
    const std::string day = "/2024/01/31/00000001_00000001.csv";
    EXPECT_EQ(tree(), (Files{"L_out/CAN1_Mx" + day, "L_out/CAN1_Mx_Sel_M00" + day}));
    EXPECT_EQ(read("L_out/CAN1_Mx" + day), "t,Sel\n1706659200.000000,3.000000\n");
    EXPECT_EQ(read("L_out/CAN1_Mx_Sel_M00" + day),
              "t,Sel,G0\n1706659201.000000,0.000000,NaN\n1706659202.000000,0.000000,513.000000\n");
}

TEST_F(OutputWriterTest, IdentitiesSharingAPathWriteOneFileMappedByColumnName) {
    addMessage(addDb(1, BusType::Can), "P", 0x10, {{"A"}, {"B", 8}});
    const std::string path = "L_out/CAN1_P/2024/01/31/00000001_00000001.csv";
    DiagCapture diag;
    start("L");
    send(0x10, {1, 2}, kJan31);
    send(0x10, {3}, kJan31 + 1); // decoding stops before B
    writer.reset();
    EXPECT_EQ(read(path), "t,A,B\n1706659200.000000,1.000000,2.000000\n1706659201.000000,3.000000,NaN\n");
    EXPECT_EQ(diag.count("has no column"), 0);

    // A short frame first: the file still gets every column of the message, so the complete frames
    // after it lose nothing.
    reset(WriterOptions{});
    start("L");
    send(0x10, {3}, kJan31);
    send(0x10, {1, 2}, kJan31 + 1);
    send(0x10, {4, 5}, kJan31 + 2);
    EXPECT_TRUE(end());
    writer.reset();
    EXPECT_EQ(read(path), "t,A,B\n1706659200.000000,3.000000,NaN\n1706659201.000000,1.000000,2.000000\n"
                          "1706659202.000000,4.000000,5.000000\n");
    EXPECT_EQ(diag.count("has no column"), 0);

    // A second version of the database on the channel names the same file with another signal,
    // which has no column there: it is dropped with one warning for the file.
    addMessage(addDb(1, BusType::Can), "P", 0x10, {{"A"}, {"C", 8}});
    reset(WriterOptions{});
    start("L");
    send(0x10, {6, 7}, kJan31);
    send(0x10, {8, 9}, kJan31 + 1);
    EXPECT_TRUE(end());
    writer.reset();
    EXPECT_EQ(read(path), "t,A,B\n1706659200.000000,6.000000,7.000000\n1706659200.000000,6.000000,NaN\n"
                          "1706659201.000000,8.000000,9.000000\n1706659201.000000,8.000000,NaN\n");
    EXPECT_EQ(diag.count("has no column \"C\""), 1);
}

TEST_F(OutputWriterTest, ReturningSessionAppendsWhileOlderRunsAreTruncated) {
    addMessage(addDb(1, BusType::Can), "M", 0x10, {{"V"}});
    const std::string path = "L1_out/CAN1_M/2024/01/31/00000001_00000001.csv";
    std::filesystem::create_directories(dir->root() + "L1_out/CAN1_M/2024/01/31");
    {
        std::FILE* old = std::fopen((dir->root() + path).c_str(), "wb");
        ASSERT_TRUE(old);
        std::fputs("t,V\n1.000000,9.000000\n", old);
        std::fclose(old);
    }
    start("L1");
    send(0x10, {1}, kJan31);
    start("L2", 5);
    send(0x10, {2}, kJan31);
    start("L1");
    send(0x10, {3}, kJan31 + 1);
    EXPECT_EQ(writer->summary().files, 2u);
    writer.reset();
    EXPECT_EQ(read(path), "t,V\n1706659200.000000,1.000000\n1706659201.000000,3.000000\n");
}

TEST_F(OutputWriterTest, MoreFilesThanTheDescriptorLimitLoseNoRows) {
    MessageDb& db = addDb(1, BusType::Can);
    constexpr uint32_t kMessages = 200;
    for (uint32_t i = 0; i < kMessages; ++i)
        addMessage(db, test::numberedName("M", i), 0x100 + i, {{"V"}});
    {
        test::ScopedLimit limit(RLIMIT_NOFILE, 64);
        ASSERT_TRUE(limit.ok());
        reset(WriterOptions{});
        start("L");
        for (uint8_t round = 1; round <= 3; ++round)
            for (uint32_t i = 0; i < kMessages; ++i)
                send(0x100 + i, {round}, kJan31 + round);
        EXPECT_TRUE(end());
        EXPECT_EQ(writer->summary().files, kMessages);
        writer.reset();
    }
    ASSERT_EQ(tree().size(), kMessages);
    for (const std::string& file : tree())
        EXPECT_EQ(read(file), "t,V\n1706659201.000000,1.000000\n1706659202.000000,2.000000\n"
                              "1706659203.000000,3.000000\n")
            << file;
}

TEST_F(OutputWriterTest, WriteBeyondTheFileSizeLimitFailsTheInputOnce) {
    addMessage(addDb(1, BusType::Can), "M", 0x10, {{"V", 0, 32}});
    DiagCapture diag;
    start("L", 1);
    {
        test::ScopedFileSizeLimit limit(4096);
        ASSERT_TRUE(limit.ok());
        bool allAccepted = true;
        for (int i = 0; i < 1000; ++i)
            allAccepted = send(0x10, {0xFF, 0xFF, 0xFF, 0x7F}, kJan31 + i) && allAccepted;
        EXPECT_TRUE(allAccepted);
        EXPECT_FALSE(end());
    }
    EXPECT_EQ(diag.count("Could not write output file"), 1);
    // The next input, with room again, is judged on its own rows.
    start("L", 2);
    send(0x10, {1, 0, 0, 0}, kJan31);
    EXPECT_TRUE(end());
}

TEST_F(OutputWriterTest, AFileWhoseWriteFailedTakesNoRowsOfTheContinuedInput) {
    addMessage(addDb(1, BusType::Can), "M", 0x10, {{"V"}});
    faults = test::FaultPlan(test::FaultKind::Write, 1, ENOSPC);
    writer.reset();
    root = std::make_unique<test::FaultFileSystem>(dir->root(), faults);
    writer = writerCreate(*root, can, lin, WriterOptions{});
    DiagCapture diag(kDiagError);
    start("L", 1, 1);
    send(0x10, {1}, kJan31);
    EXPECT_FALSE(end());
    // The next split goes on in the same file, which ends where the failure left it.
    start("L", 1, 2, true);
    send(0x10, {2}, kJan31 + 1);
    EXPECT_FALSE(end());
    EXPECT_EQ(faults.count(test::FsOperation::Write), 1u);
    EXPECT_EQ(diag.count("Could not write output file"), 1);
    EXPECT_EQ(read("L_out/CAN1_M/2024/01/31/00000001_00000001.csv"), "");
    // Another session is judged on its own files.
    start("L", 2, 1);
    send(0x10, {3}, kJan31 + 2);
    EXPECT_TRUE(end());
    EXPECT_EQ(read("L_out/CAN1_M/2024/01/31/00000002_00000001.csv"), "t,V\n1706659202.000000,3.000000\n");
}

TEST_F(OutputWriterTest, UncreatableFileIsReportedForEveryRecordAndFailsTheInput) {
    addMessage(addDb(1, BusType::Can), "M", 0x10, {{"V"}});
    // A plain file where the logger folder should go.
    std::fclose(std::fopen((dir->root() + "L_out").c_str(), "wb"));
    DiagCapture diag(kDiagError);
    start("L");
    send(0x10, {1}, kJan31);
    send(0x10, {2}, kJan31);
    EXPECT_FALSE(end());
    EXPECT_EQ(diag.count("Could not create output writer"), 2);
    EXPECT_EQ(writer->summary().files, 0u);
    EXPECT_EQ(writer->summary().messages, 2u);
    EXPECT_EQ(writer->summary().signals, 2u);
}

// What a writer leaves behind: every file with its text, the answer of each input's end, and the
// diagnostics lines without their time stamps.
struct WriterOutcome {
    std::vector<std::pair<std::string, std::string>> files;
    std::vector<bool> ends;
    std::vector<std::string> lines;
    bool operator==(const WriterOutcome&) const = default;
};

void PrintTo(const WriterOutcome& outcome, std::ostream* out) {
    *out << "ends";
    for (bool end : outcome.ends)
        *out << ' ' << end;
    for (const std::string& line : outcome.lines)
        *out << "\n" << line;
    for (const auto& [path, text] : outcome.files)
        *out << "\n" << path << ": " << text.size() << " bytes, " << std::hash<std::string>{}(text);
}

// Inputs that make a writer drain its row thread in every way: many rows of one file (several
// 32 KB writes), a warning of this thread between them, more files than it may keep open, a new
// day, a continued split and a new session. With a budget, the writer is crowded out of it for a
// while in the middle of the first input.
class RowThreadWriterTest : public OutputWriterTest {
protected:
    void SetUp() override {
        MessageDb& db = addDb(1, BusType::Can);
        addMessage(db, "Q", 0x20, {{"V", 0, 32}});
        addMessage(db, "P", 0x10, {{"A"}, {"B", 8}});
        for (uint32_t i = 0; i < 12; ++i)
            addMessage(db, test::numberedName("M", i), 0x100 + i, {{"V"}});
        // A second database names the file of P with a column it lacks: a warning, once.
        addMessage(addDb(1, BusType::Can), "P", 0x10, {{"A"}, {"C", 8}});
    }

    WriterOutcome run(ThreadBudget* budget, const test::FaultPlan& plan) {
        faults = plan;
        writer.reset();
        dir = std::make_unique<TempDir>();
        root = std::make_unique<test::FaultFileSystem>(dir->root(), faults);
        writer = writerCreate(*root, can, lin, WriterOptions{.openFileLimit = 4});
        writer->shareRows(budget);
        WriterOutcome outcome;
        {
            DiagCapture diag(kDiagWarning);
            start("L", 1, 1);
            for (uint32_t i = 0; i < 12000; ++i) {
                if (budget && i == 3000) {
                    budget->enter();
                    budget->enter();
                }
                if (budget && i == 6000) {
                    budget->leave();
                    budget->leave();
                }
                if (i == 2500)
                    send(0x10, {1, 2}, kJan31 + i);
                send(0x20, {uint8_t(i), uint8_t(i >> 8), 7, 0}, kJan31 + i * 0.001);
            }
            outcome.ends.push_back(end());
            start("L", 1, 2, true);
            for (uint32_t i = 0; i < 100; ++i)
                send(0x100 + i % 12, {uint8_t(i)}, kJan31 + 43200 + i * 1000.0);
            outcome.ends.push_back(end());
            start("L", 2, 1);
            for (uint32_t i = 0; i < 3000; ++i)
                send(0x20, {uint8_t(i), 1, 2, 3}, kJan31 + i);
            outcome.ends.push_back(end());
            writer.reset();
            for (std::string line : test::splitLines(diag.text())) {
                for (std::size_t at; (at = line.find(dir->root())) != std::string::npos;)
                    line.erase(at, dir->root().size());
                outcome.lines.push_back(line.substr(std::min<std::size_t>(line.size(), 18)));
            }
        }
        for (const std::string& file : tree())
            outcome.files.emplace_back(file, read(file));
        return outcome;
    }
};

TEST_F(RowThreadWriterTest, RowsOnASecondThreadGiveTheSameFilesAndLines) {
    const WriterOutcome alone = run(nullptr, test::FaultPlan());
    const uint64_t writes = faults.count(test::FsOperation::Write);
    ASSERT_GT(writes, 20u);
    EXPECT_EQ(alone.ends, (std::vector<bool>{true, true, true}));
    ASSERT_EQ(alone.lines.size(), 1u);
    EXPECT_NE(alone.lines[0].find("has no column \"C\""), std::string::npos);
    ThreadBudget budget(2);
    EXPECT_EQ(run(&budget, test::FaultPlan()), alone);
    EXPECT_EQ(faults.count(test::FsOperation::Write), writes);
    // The writer gave its place in the budget back.
    EXPECT_TRUE(budget.tryEnter());
    EXPECT_TRUE(budget.tryEnter());
    EXPECT_FALSE(budget.tryEnter());
}

// Whichever write fails, the same rows reach the files, the same inputs fail and the report of the
// failed file comes out among this thread's lines where one thread would have made it.
TEST_F(RowThreadWriterTest, AFailedWriteOnTheRowThreadIsReportedInPlace) {
    run(nullptr, test::FaultPlan());
    const uint64_t writes = faults.count(test::FsOperation::Write);
    for (test::FaultKind kind : {test::FaultKind::Write, test::FaultKind::ShortWrite}) {
        for (uint64_t nth = 1; nth <= writes; nth += 1 + writes / 16) {
            const WriterOutcome alone = run(nullptr, test::FaultPlan(kind, nth, ENOSPC));
            ASSERT_TRUE(faults.fired);
            ThreadBudget budget(2);
            EXPECT_EQ(run(&budget, test::FaultPlan(kind, nth, ENOSPC)), alone)
                << test::nameOf(kind) << " " << nth;
            EXPECT_EQ(std::count(alone.ends.begin(), alone.ends.end(), false), 1);
        }
    }
}

TEST_F(OutputWriterTest, LinFramesUseTheLinTableAndOtherBusKindsAreDropped) {
    addMessage(addDb(2, BusType::Lin), "Wiper", 0x3C, {{"Speed"}});
    addMessage(addDb(1, BusType::Can), "Wiper", 0x3C, {{"Speed"}});
    start("L");
    send(0x7C, {5}, kJan31, false, kBusLin, 2);
    send(0x3C, {5}, kJan31, false, kBusCanRemote, 1);
    send(0x3C, {5}, kJan31, false, kBusCan, 3);
    EXPECT_EQ(tree(), Files{"L_out/LIN2_Wiper/2024/01/31/00000001_00000001.csv"});
}

} // namespace
} // namespace loglathe
