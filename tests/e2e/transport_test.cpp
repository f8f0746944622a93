// Multi-frame messages through the binary: ISO-TP, J1939 broadcast and connection-mode transfers,
// NMEA 2000 fast packets and a MUX container are reassembled (or unpacked) and decoded into rows; a
// transfer split across two files is completed only when the second file continues the first; and a
// stream of noise on the configured identifiers ends cleanly with consistent summaries.

#include "e2e/e2e_databases.h"
#include "e2e/e2e_support.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>

namespace loglathe::test {
namespace {

std::vector<uint8_t> bytesOf(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// The ISO-TP frames of a message of 8 to 4095 bytes: a first frame and consecutive frames padded
// with 0xAA.
std::vector<std::vector<uint8_t>> isoTpFrames(const std::vector<uint8_t>& message) {
    std::vector<std::vector<uint8_t>> frames;
    std::vector<uint8_t> first = {static_cast<uint8_t>(0x10 | (message.size() >> 8)),
                                  static_cast<uint8_t>(message.size() & 0xFF)};
    first.insert(first.end(), message.begin(), message.begin() + 6);
    frames.push_back(first);
    uint8_t sequence = 1;
    for (std::size_t at = 6; at < message.size(); at += 7, ++sequence) {
        std::vector<uint8_t> next = {static_cast<uint8_t>(0x20 | (sequence & 0x0F))};
        std::size_t end = std::min(at + 7, message.size());
        next.insert(next.end(), message.begin() + static_cast<long>(at),
                    message.begin() + static_cast<long>(end));
        next.resize(8, 0xAA);
        frames.push_back(next);
    }
    return frames;
}

// Session 3, split 1, from 2024-01-31 12:00:00 UTC (1706702400).
LogFile firstSplit() {
    LogFile log;
    log.session = 3;
    log.split = 1;
    log.time = "20240131T120000";
    log.lines = {
        // DiagResponse over ISO-TP: ServiceId 0x62, DataId 0xF190, odometer 9999 x 0.1 km, byte 19 0x2A;
        // the tester's flow control on 0x7E0 is in no database.
        frame("31T12:00:00.000", 0x7E8, "10146290F10F2700"),
        frame("31T12:00:00.002", 0x7E0, "300000AAAAAAAAAA"),
        frame("31T12:00:00.005", 0x7E8, "2100000000000000"),
        frame("31T12:00:00.010", 0x7E8, "220000000000002A"),
        // ComponentId from 0x00 to 0xF9 with request to send, clear to send and end of message
        // acknowledge: model year 2023, serial 123456789, byte 19 = 5.
        frame("31T12:00:00.100", 0x18ECF900, "10140003FFEBFE00", true),
        frame("31T12:00:00.105", 0x18EC00F9, "110301FFFFEBFE00", true),
        frame("31T12:00:00.110", 0x18EBF900, "01E70715CD5B0700", true),
        frame("31T12:00:00.111", 0x18EBF900, "0200000000000000", true),
        frame("31T12:00:00.112", 0x18EBF900, "03000000000005FF", true),
        frame("31T12:00:00.120", 0x18EC00F9, "13140003FFEBFE00", true),
        // GnssPosition as fast packets from 0x02 (sequence counter 2): id 7, latitude 481372000 x 1e-7,
        // byte 17 = 11.
        frame("31T12:00:00.200", 0x0DF80502, "4012076027B11C00", true),
        frame("31T12:00:00.201", 0x0DF80502, "4100000000000000", true),
        frame("31T12:00:00.202", 0x0DF80502, "42000000000BFFFF", true),
        // DM1 broadcast from 0x00: lamps 4, SPN 110, byte 13 = 0x11; the last packet is in the next file.
        frame("31T12:00:00.400", 0x18ECFF00, "200E0002FFCAFE00", true),
        frame("31T12:00:00.450", 0x18EBFF00, "0104FF6E00000000", true),
    };
    // A MUX container on 0x600: EngineData at 800 rpm for index 0, an item for index 5 (not
    // forwarded), EngineData at 900 rpm for index 1; every index leads to channel 2.
    std::vector<uint8_t> container =
        bytesOf("0C0100" + engineData(800) + "A8810055" + "2C0100" + engineData(900));
    std::vector<std::vector<uint8_t>> frames = isoTpFrames(container);
    for (std::size_t i = 0; i < frames.size(); ++i)
        log.lines.insert(log.lines.end() - 2, frame("31T12:00:00.30" + std::to_string(i), 0x600, frames[i]));
    return log;
}

LogFile secondSplit(int split) {
    LogFile log;
    log.session = 3;
    log.split = split;
    log.time = "20240131T120001";
    log.lines = {
        frame("31T12:00:01.000", 0x18EBFF00, "0200000000000011", true), // last DM1 packet
        frame("31T12:00:01.100", 0x7E8, "2100000000000000"),            // consecutive frame without a first
        frame("31T12:00:01.200", 0x7E8, "10146290F10F2700"),            // a first frame never continued
        frame("31T12:00:01.300", 0x100, engineData(1000)),              // a plain frame
    };
    return log;
}

TEST(EndToEndTransport, ReassembledMessagesAreDecodedIntoRows) {
    const std::string day = "/2024/01/31/00000003_00000001.csv";
    const std::map<std::string, std::string> common = {
        {"1F3E2A_out/CAN1_DiagResponse" + day, "t,ServiceId,DataId,OdometerKm,LastByte\n1706702400.010000,98."
                                               "000000,61840.000000,999.900000,42.000000\n"},
        {"1F3E2A_out/CAN1_ComponentId_S00" + day,
         "t,ModelYear,SerialNumber,LastByte\n1706702400.112000,2023.000000,123456789.000000,5.000000\n"},
        {"1F3E2A_out/CAN1_GnssPosition_S02" + day,
         "t,SequenceId,Latitude,LastByte\n1706702400.202000,7.000000,48.137200,11.000000\n"},
        {"1F3E2A_out/CAN2_EngineData" + day, "t,EngineSpeed,CoolantTemp,ThrottlePos\n"
                                             "1706702400.303000,800.000000,50.000000,0.000000\n"
                                             "1706702400.303000,900.000000,50.000000,0.000000\n"},
    };
    const std::string engineRow =
        "t,EngineSpeed,CoolantTemp,ThrottlePos\n1706702401.300000,1000.000000,50.000000,0.000000\n";
    struct Case {
        int secondSplit;
        std::map<std::string, std::string> extra;
        Summaries summaries;
        int tpErrors;
    };
    const std::vector<Case> cases = {
        // Split 2 continues split 1: the broadcast completes across the two files.
        {2,
         {{"1F3E2A_out/CAN1_DM1_S00" + day,
           "t,Lamps,Spn1,LastByte\n1706702401.000000,4.000000,110.000000,17.000000\n"},
          {"1F3E2A_out/CAN1_EngineData" + day, engineRow}},
         Summaries{2, 23, 0, 5, 1, 1, 6, 7, 22},
         1},
        // Split 3 does not: the broadcast is dropped at the file start and its last packet fails alone.
        {3,
         {{"1F3E2A_out/CAN1_EngineData/2024/01/31/00000003_00000003.csv", engineRow}},
         Summaries{2, 23, 0, 4, 2, 1, 5, 6, 19},
         2},
    };
    for (const Case& c : cases) {
        for (const std::string& tz : timeZones()) {
            SCOPED_TRACE("TZ=" + tz + " second split " + std::to_string(c.secondSplit));
            TempDir dir;
            std::string can = dir.write("dbc/powertrain.dbc", kCanDbc);
            std::string j1939 = dir.write("dbc/j1939.dbc", kJ1939Dbc);
            LogFile first = firstSplit();
            first.loggerId = "1F3E2A";
            LogFile second = secondSplit(c.secondSplit);
            second.loggerId = "1F3E2A";
            dir.write("logs/1.txt", first.text());
            dir.write("logs/2.txt", second.text());
            std::string out = dir.mkdir("out");

            RunResult run = runLoglathe({"--verbosity=4", "--dbc-can1=" + can, "--dbc-can1=" + j1939,
                                         "--dbc-can2=" + can, "-O", out, dir.path("logs")},
                                        inZone(tz));

            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(parseSummaries(run.out), c.summaries) << run.out;
            EXPECT_EQ(countLines(run.err, " I TP error (time: 1706702401.100000, id: 0x7E8)"), 1) << run.err;
            EXPECT_EQ(countLines(run.err, " I TP error "), c.tpErrors) << run.err;
            std::map<std::string, std::string> expected = common;
            expected.insert(c.extra.begin(), c.extra.end());
            EXPECT_EQ(readTree(out), expected);
        }
    }
}

// Counts over every CSV file of a tree: files, data rows, and value cells that are not NaN. Each file
// must be a header starting with "t," and rows with as many cells as the header.
struct TreeCounts {
    uint64_t files = 0;
    uint64_t rows = 0;
    uint64_t values = 0;
    uint64_t rowsOfReassembled = 0; // in files of messages that only a transport protocol delivers
};

TreeCounts countTree(const std::map<std::string, std::string>& tree) {
    TreeCounts counts;
    for (const auto& [path, content] : tree) {
        SCOPED_TRACE(path);
        ++counts.files;
        std::vector<std::string> lines = splitLines(content);
        EXPECT_FALSE(lines.empty());
        if (lines.empty())
            continue;
        EXPECT_EQ(lines[0].rfind("t,", 0), 0u);
        std::size_t cells = std::count(lines[0].begin(), lines[0].end(), ',');
        bool reassembled =
            path.find("_DiagResponse") != std::string::npos || path.find("_DM1") != std::string::npos ||
            path.find("_ComponentId") != std::string::npos || path.find("_GnssPosition") != std::string::npos;
        for (std::size_t i = 1; i < lines.size(); ++i) {
            const std::string& row = lines[i];
            EXPECT_EQ(static_cast<std::size_t>(std::count(row.begin(), row.end(), ',')), cells) << row;
            ++counts.rows;
            counts.rowsOfReassembled += reassembled ? 1 : 0;
            std::size_t start = row.find(',');
            while (start != std::string::npos) {
                std::size_t end = row.find(',', start + 1);
                std::string cell = row.substr(start + 1, end == std::string::npos ? end : end - start - 1);
                counts.values += cell != "NaN" ? 1 : 0;
                start = end;
            }
        }
    }
    return counts;
}

TEST(EndToEndTransport, NoiseOnConfiguredIdentifiersEndsCleanlyWithConsistentSummaries) {
    constexpr int kFrames = 3000;
    struct Target {
        uint32_t id;
        bool extended;
    };
    const Target targets[] = {{0x7E8, false},     {0x600, false},     {0x18ECFF00, true}, {0x18EBFF00, true},
                              {0x18ECF900, true}, {0x18EBF900, true}, {0x18EC00F9, true}, {0x0DF80502, true},
                              {0x100, false},     {0x300, false}};
    // First bytes that the protocols give a meaning to, so that the noise reaches deep into them.
    const uint8_t controls[] = {0x00, 0x03, 0x07, 0x10, 0x1A, 0x21, 0x22, 0x23, 0x30, 0x01,
                                0x02, 0x10, 0x11, 0x13, 0x20, 0xFF, 0x40, 0x41, 0x42, 0x2C};
    std::mt19937 random(20240131);
    LogFile log;
    log.time = "20240131T120000";
    for (int i = 0; i < kFrames; ++i) {
        const Target& target = targets[random() % std::size(targets)];
        std::vector<uint8_t> data(random() % 9);
        for (uint8_t& byte : data)
            byte = static_cast<uint8_t>(random());
        if (!data.empty() && random() % 2 == 0)
            data[0] = controls[random() % std::size(controls)];
        if (data.size() > 1 && random() % 2 == 0)
            data[1] = static_cast<uint8_t>(random() % 32);
        char time[32];
        std::snprintf(time, sizeof time, "31T12:00:%02d.%03d", i / 1000, i % 1000);
        log.lines.push_back(frame(time, target.id, data, target.extended));
    }

    std::map<std::string, std::string> firstTree;
    for (const std::string& tz : timeZones()) {
        SCOPED_TRACE("TZ=" + tz);
        TempDir dir;
        std::string can = dir.write("dbc/powertrain.dbc", kCanDbc);
        std::string j1939 = dir.write("dbc/j1939.dbc", kJ1939Dbc);
        dir.write("logs/noise.txt", log.text());
        std::string out = dir.mkdir("out");

        RunResult run = runLoglathe(
            {"--dbc-can1=" + can, "--dbc-can1=" + j1939, "--dbc-can2=" + can, "-O", out, dir.path("logs")},
            inZone(tz));

        EXPECT_EQ(run.status, 0) << run.err;
        std::optional<Summaries> summaries = parseSummaries(run.out);
        ASSERT_TRUE(summaries) << run.out;
        std::map<std::string, std::string> tree = readTree(out);
        TreeCounts counts = countTree(tree);
        EXPECT_EQ(summaries->readerMessages, static_cast<uint64_t>(kFrames));
        EXPECT_GT(summaries->tpSuccessful + summaries->tpFailed, 100u)
            << "the noise hardly reached a session";
        EXPECT_LE(counts.rowsOfReassembled, summaries->tpSuccessful);
        EXPECT_EQ(summaries->writerFiles, counts.files);
        EXPECT_EQ(summaries->writerMessages, counts.rows);
        // Every value counted reached a file, also when a short frame created the file.
        EXPECT_EQ(counts.values, summaries->writerSignals);
        if (firstTree.empty())
            firstTree = tree;
        else
            EXPECT_EQ(tree, firstTree);
    }
}

} // namespace
} // namespace loglathe::test
