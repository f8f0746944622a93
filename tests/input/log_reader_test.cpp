#include "input/log_reader.h"

#include "log_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>

namespace loglathe {
namespace {

using test::countLines;
using test::DiagCapture;
using test::LogHeaderText;
using test::logText;

// A reader over an in-memory log, read directly (buffer 0), through a buffer of the given size, or
// through one holding the whole text (negative size).
struct OpenLog {
    explicit OpenLog(const std::string& text, int64_t bufferSize = 0) : memory(text) {
        stream = &memory;
        std::size_t size = bufferSize < 0 ? text.size() : static_cast<std::size_t>(bufferSize);
        if (size > 0) {
            buffered = bufferedReaderCreate(&memory, size);
            stream = buffered.get();
        }
        reader = logReaderCreate(*stream);
        if (reader)
            reader->rewind();
    }
    MemoryStream memory;
    std::unique_ptr<ByteStream> buffered;
    ByteStream* stream;
    std::unique_ptr<LogReader> reader;
};

std::string describe(const LogRecord& r) {
    char text[128];
    std::snprintf(text, sizeof text, "%.6f ch%u id%X ext%u fd%u len%u bus%d ", r.timestamp, r.channel,
                  r.identifier, r.extended, r.fd, r.length, r.bus);
    std::string out = text;
    for (uint8_t byte : r.payload) {
        std::snprintf(text, sizeof text, "%02X", byte);
        out += text;
    }
    return out;
}

std::vector<LogRecord> readAll(LogReader& reader) {
    std::vector<LogRecord> records;
    LogRecord record;
    while (reader.next(record))
        records.push_back(record);
    return records;
}

std::vector<std::string> readDescribed(const std::string& text, int64_t bufferSize = 0) {
    OpenLog log(text, bufferSize);
    std::vector<std::string> out;
    if (!log.reader)
        return out;
    for (const LogRecord& record : readAll(*log.reader))
        out.push_back(describe(record));
    return out;
}

std::vector<double> timestamps(const std::vector<std::string>& lines, const LogHeaderText& h = {}) {
    OpenLog log(logText(lines, h));
    EXPECT_TRUE(log.reader);
    std::vector<double> out;
    if (log.reader)
        for (const LogRecord& record : readAll(*log.reader))
            out.push_back(record.timestamp);
    return out;
}

TEST(LogReader, ReadsEveryHeaderKey) {
    OpenLog log(logText({}));
    ASSERT_TRUE(log.reader);
    const LogHeader& h = log.reader->header();
    EXPECT_EQ(h.loggerModel, 1);
    EXPECT_EQ(h.hwRev, "0001");
    EXPECT_EQ(h.fwRev, "0104");
    EXPECT_EQ(h.loggerId, "1A2B3C4D");
    EXPECT_EQ(h.session, 12);
    EXPECT_EQ(h.split, 3);
    EXPECT_EQ(h.timeText, "20240229T235950");
    EXPECT_EQ(h.valueSeparator, ';');
    EXPECT_EQ(h.timeFormat, 1);
    EXPECT_EQ(h.timeSeparator, ':');
    EXPECT_EQ(h.msSeparator, '.');
    EXPECT_EQ(h.dateSeparator, '/');
    EXPECT_EQ(h.dateTimeSeparator, 'T');
    EXPECT_EQ(h.bitRate, 500000);
    EXPECT_EQ(h.silentMode, 0);
    EXPECT_EQ(h.cyclicMode, 1);
}

TEST(LogReader, HeaderIntegersAreDecimalHexOrOctalAndBadOnesKeepTheValue) {
    LogHeaderText h;
    h.session = "0x1F";
    h.split = "010";
    h.extra = "# Bit-rate: 250000\n# Bit-rate: fast\n# Time format: 0x103\n";
    OpenLog log(logText({}, h));
    ASSERT_TRUE(log.reader);
    EXPECT_EQ(log.reader->header().session, 31);
    EXPECT_EQ(log.reader->header().split, 8);
    EXPECT_EQ(log.reader->header().bitRate, 250000);
    EXPECT_EQ(log.reader->header().timeFormat, 3); // low 8 bits
}

TEST(LogReader, LaterHeaderLinesOverrideEarlierOnes) {
    LogHeaderText h;
    h.extra = "# Logger ID: CAFE0001\n# Session No.: 40\n# Logger type: VantorixC\n# Logger type: Other\n"
              "# Silent mode: true\n# Cyclic mode: maybe\n";
    OpenLog log(logText({}, h));
    ASSERT_TRUE(log.reader);
    const LogHeader& header = log.reader->header();
    EXPECT_EQ(header.loggerId, "CAFE0001");
    EXPECT_EQ(header.session, 40);
    EXPECT_EQ(header.loggerModel, 2); // an unknown type leaves the model as it was
    EXPECT_EQ(header.silentMode, 1);
    EXPECT_EQ(header.cyclicMode, 1); // neither "true" nor "false": unchanged
}

TEST(LogReader, WordsEndAtWhiteSpaceAndAreHeldToTheirWidth) {
    LogHeaderText h;
    h.loggerId = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    h.extra = "# HW rev: 12345\n# FW rev: 7 beta\n";
    OpenLog log(logText({}, h));
    ASSERT_TRUE(log.reader);
    EXPECT_EQ(log.reader->header().loggerId, "ABCDEFGHIJKLMNOPQRSTU");
    EXPECT_EQ(log.reader->header().hwRev, "1234");
    EXPECT_EQ(log.reader->header().fwRev, "7");
}

TEST(LogReader, SeparatorsAreOneQuotedCharacter) {
    LogHeaderText h;
    h.extra = "# Time separator: :\n# Date separator: \"--\"\n";
    OpenLog log(logText({}, h));
    ASSERT_TRUE(log.reader);
    EXPECT_EQ(log.reader->header().timeSeparator, '\0');
    EXPECT_EQ(log.reader->header().dateSeparator, '\0');

    for (const char* bad :
         {"# Value separator: ;\n", "# Value separator: \";;\"\n", "# Value separator: \"\"\n"}) {
        LogHeaderText rejected;
        rejected.extra = bad;
        EXPECT_FALSE(OpenLog(logText({}, rejected)).reader) << bad;
    }
}

TEST(LogReader, AcceptsCarriageReturnLineFeedLines) {
    LogHeaderText h;
    h.eol = "\r\n";
    OpenLog log(logText({"55.250;1;18FEF100;8;0102030405060708"}, h));
    ASSERT_TRUE(log.reader);
    EXPECT_EQ(log.reader->header().loggerId, "1A2B3C4D");
    auto records = readAll(*log.reader);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(describe(records[0]), "1709251195.250000 ch1 id18FEF100 ext1 fd0 len8 bus1 0102030405060708");
}

TEST(LogReader, RejectsWhatIsNotALog) {
    std::string binary;
    std::mt19937 random(7);
    for (int i = 0; i < 5000; ++i)
        binary.push_back(static_cast<char>(random()));
    const std::string headerOnly =
        "# Logger ID: 1\n# Session No.: 1\n# Split No.: 1\n# Value separator: \";\"\n";
    const std::string cases[] = {
        "",
        headerOnly,
        "Timestamp;Type;ID;Length;Data\n# Value separator: \";\"\n",
        headerOnly + "Time;Kind;Identifier\n",
        headerOnly + "Timestamp,Type,ID\n",
        binary,
        "#" + binary,
    };
    for (const std::string& text : cases) {
        EXPECT_FALSE(OpenLog(text).reader) << text.substr(0, 40);
        EXPECT_FALSE(OpenLog(text, -1).reader) << text.substr(0, 40);
    }
}

TEST(LogReader, MapsColumnsByNameInAnyOrder) {
    LogHeaderText h;
    h.columns = "Data;Foo;ID;Timestamp;Type";
    EXPECT_EQ(readDescribed(logText({"A1B2;zz;7FF;55.250;8"}, h)),
              std::vector<std::string>{"1709251195.250000 ch1 id7FF ext0 fd1 len2 bus1 A1B2"});

    // Of eight columns the first seven count: "Data" in the eighth is never read.
    h.columns = "Lost;Lost;Lost;Lost;Timestamp;Type;ID;Data";
    EXPECT_EQ(readDescribed(logText({"0;0;0;0;55.250;1;123;0102"}, h)),
              std::vector<std::string>{"1709251195.250000 ch1 id123 ext1 fd0 len0 bus1 "});
}

TEST(LogReader, ParsesTypeColumn) {
    std::vector<std::string> lines;
    for (const char* type : {"0", "1", "8", "9", "2", ""})
        lines.push_back(std::string("55.250;") + type + ";1;0;");
    std::vector<std::string> got = readDescribed(logText(lines));
    ASSERT_EQ(got.size(), 6u);
    EXPECT_NE(got[0].find("ext0 fd0"), std::string::npos);
    EXPECT_NE(got[1].find("ext1 fd0"), std::string::npos);
    EXPECT_NE(got[2].find("ext0 fd1"), std::string::npos);
    EXPECT_NE(got[3].find("ext1 fd1"), std::string::npos);
    EXPECT_NE(got[4].find("ext0 fd0"), std::string::npos);
    EXPECT_NE(got[5].find("ext0 fd0"), std::string::npos);
}

TEST(LogReader, ParsesDataAndIdentifierColumns) {
    std::vector<std::string> got = readDescribed(logText({
        "55.250;0;18FEF100;8;0102030405060708",
        "55.250;0;1fffffff;3;abc",
        "55.250;0;7E0;8;0102030405060708090A",
        "55.250;0;zz;0;",
        "55.250;0;123;2;0G",
    }));
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], "1709251195.250000 ch1 id18FEF100 ext0 fd0 len8 bus1 0102030405060708");
    EXPECT_EQ(got[1], "1709251195.250000 ch1 id1FFFFFFF ext0 fd0 len2 bus1 AB0C");
    EXPECT_EQ(got[2], "1709251195.250000 ch1 id7E0 ext0 fd0 len8 bus1 0102030405060708");
    EXPECT_EQ(got[3], "1709251195.250000 ch1 id0 ext0 fd0 len0 bus1 ");
    EXPECT_EQ(got[4], "1709251195.250000 ch1 id123 ext0 fd0 len1 bus1 00");
}

TEST(LogReader, LengthColumnCountsOnlyAfterData) {
    LogHeaderText h;
    h.columns = "Timestamp;Data;Length";
    EXPECT_EQ(readDescribed(logText({"55.250;0102;300"}, h)),
              std::vector<std::string>{"1709251195.250000 ch1 id0 ext0 fd0 len44 bus1 0102"});
    h.columns = "Timestamp;Length;Data";
    EXPECT_EQ(readDescribed(logText({"55.250;8;0102"}, h)),
              std::vector<std::string>{"1709251195.250000 ch1 id0 ext0 fd0 len2 bus1 0102"});
}

// The direct parsers must agree with a formatted scan of the same column text.
TEST(LogReader, DirectColumnParsingMatchesFormattedScanning) {
    const std::string alphabet = "0123456789abcdefABCDEFxXg +-";
    std::mt19937 random(42);
    auto randomText = [&](std::size_t maxLength) {
        std::string text(random() % (maxLength + 1), ' ');
        for (char& c : text)
            c = alphabet[random() % alphabet.size()];
        return text;
    };
    LogHeaderText h;
    h.columns = "ID;Data;Length";
    for (int round = 0; round < 2000; ++round) {
        std::string id = randomText(10), data = randomText(20), length = randomText(4);
        unsigned expectedId = 0;
        if (std::sscanf(id.c_str(), "%x", &expectedId) != 1)
            expectedId = 0;
        std::vector<uint8_t> expectedData;
        for (std::size_t at = 0; at < data.size() && expectedData.size() < 8; at += 2) {
            unsigned char byte = 0;
            std::sscanf(data.c_str() + at, "%2hhx", &byte);
            expectedData.push_back(byte);
        }
        unsigned char expectedLength = static_cast<unsigned char>(expectedData.size());
        std::sscanf(length.c_str(), "%hhu", &expectedLength);

        OpenLog log(logText({id + ";" + data + ";" + length}, h));
        ASSERT_TRUE(log.reader);
        LogRecord record;
        ASSERT_TRUE(log.reader->next(record));
        EXPECT_EQ(record.identifier, expectedId) << id;
        EXPECT_EQ(record.payload, expectedData) << data;
        EXPECT_EQ(record.length, expectedLength) << length;
    }
}

TEST(LogReader, CompletesLineTimestampsFromHeaderDigitsAcrossLeapDay) {
    EXPECT_EQ(timestamps({"55.250;0;1;0;", "02.100;0;1;0;"}),
              (std::vector<double>{1709251195.25, 1709251202.1}));
}

TEST(LogReader, CorrectsRollOverOfEveryTimeFormat) {
    LogHeaderText h;
    h.timeFormat = "2";
    EXPECT_EQ(timestamps({"59:58.000", "00:03.000"}, h), (std::vector<double>{1709251198, 1709251203}));

    h.timeFormat = "3";
    EXPECT_EQ(timestamps({"23:59:59.000", "00:00:01.000"}, h), (std::vector<double>{1709251199, 1709251201}));

    // Calendar months: January has 31 days, February 2024 29; the offset carries to later lines.
    h.timeFormat = "4";
    h.time = "20240131T100000";
    EXPECT_EQ(timestamps({"31T23:00:00.000", "01T01:00:00.000", "29T12:00:00.000", "01T06:00:00.000",
                          "02T00:00:00.000"},
                         h),
              (std::vector<double>{1706742000, 1706749200, 1709208000, 1709272800, 1709337600}));

    h.timeFormat = "5";
    h.time = "20241231T230000";
    EXPECT_EQ(timestamps({"12/31T23:30:00.000", "01/01T00:10:00.000"}, h),
              (std::vector<double>{1735687800, 1735690200}));
}

TEST(LogReader, NeverCorrectsWithoutATimeFormat) {
    LogHeaderText h;
    h.timeFormat = "0";
    EXPECT_EQ(timestamps({"55.000", "02.000", "56.000"}, h), (std::vector<double>{1709251195, 1709251196}));
    h.timeFormat = "9";
    EXPECT_EQ(timestamps({"55.000", "02.000"}, h), (std::vector<double>{1709251195}));
}

TEST(LogReader, ReturnsEqualTimestampsAndDropsEarlierOnesWithOneWarning) {
    OpenLog log(
        logText({"55.250;0;1;0;", "55.250;0;2;0;", "54.750;0;3;0;", "55.000;0;4;0;", "56.000;0;5;0;"}));
    ASSERT_TRUE(log.reader);
    LogRecord record;
    ASSERT_TRUE(log.reader->next(record));
    ASSERT_TRUE(log.reader->next(record));
    EXPECT_EQ(record.identifier, 2u);
    DiagCapture capture(kDiagWarning);
    ASSERT_TRUE(log.reader->next(record));
    EXPECT_EQ(record.identifier, 5u);
    EXPECT_FALSE(log.reader->next(record));
    std::string diag = capture.take();
    EXPECT_EQ(countLines(diag, "W Skipping non-increasing timestamp: 1709251195.250000\n"), 1) << diag;
    EXPECT_EQ(countLines(diag, "\n"), 1) << diag;
}

TEST(LogReader, BlankLineIsADataLineBuiltFromHeaderDigits) {
    // 23:59:50 from the header is more than a second before 55.250: one minute is added.
    OpenLog log(logText({"55.250;0;1;2;0102", "", "56.000;0;3;0;"}));
    ASSERT_TRUE(log.reader);
    auto records = readAll(*log.reader);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(describe(records[1]), "1709251250.000000 ch1 id0 ext0 fd0 len0 bus1 ");
    EXPECT_DOUBLE_EQ(records[2].timestamp, 1709251256.0);

    LogHeaderText noFormat;
    noFormat.timeFormat = "0";
    EXPECT_EQ(timestamps({"55.250;0;1;0;", "", "56.000;0;3;0;"}, noFormat),
              (std::vector<double>{1709251195.25, 1709251196}));
}

TEST(LogReader, EmptyTimestampColumnTakesTheHeaderTime) {
    EXPECT_EQ(timestamps({";0;1;0;"}), (std::vector<double>{1709251190}));
}

// Digits past the seventeenth would be finer than a millisecond; they are cut off.
TEST(LogReader, LongTimestampKeepsItsFirstSeventeenDigits) {
    EXPECT_EQ(timestamps({"2024/02/29T23:59:55.250123456789;0;1;0;"}), (std::vector<double>{1709251195.25}));
}

TEST(LogReader, LastLineWithoutLineFeedIsARecord) {
    std::string text = logText({"55.250;0;1;2;0102"}) + "56.000;1;2;8;0A0B0";
    for (int64_t size : {0, 3, 4096, -1}) {
        std::vector<std::string> got = readDescribed(text, size);
        ASSERT_EQ(got.size(), 2u) << size;
        EXPECT_EQ(got[1], "1709251196.000000 ch1 id2 ext1 fd0 len3 bus1 0A0B00") << size;
    }
}

// A line holds at most 199 bytes, carriage returns included; the rest is read as the next line.
TEST(LogReader, LongLinesAreCutAt199BytesCarriageReturnsIncluded) {
    std::string first = "55.250;0;123;2;0\r\r1\r02;";
    first += std::string(199 - first.size(), 'x');
    std::string text = logText({}) + first + "56.000;0;456;1;0A\n57.000;0;789;0;\n";
    std::vector<std::string> expected = {"1709251195.250000 ch1 id123 ext0 fd0 len2 bus1 0102",
                                         "1709251196.000000 ch1 id456 ext0 fd0 len1 bus1 0A",
                                         "1709251197.000000 ch1 id789 ext0 fd0 len0 bus1 "};
    for (int64_t size : {0, 1, 7, 200, 4096, -1})
        EXPECT_EQ(readDescribed(text, size), expected) << size;
}

TEST(LogReader, BufferSizeNeverChangesTheRecords) {
    std::mt19937 random(3);
    std::vector<std::string> lines;
    for (int i = 0; i < 400; ++i) {
        char line[96];
        std::snprintf(line, sizeof line, "%02u.%03u;%u;%X;8;%016llX", (i / 7) % 60, (i * 37) % 1000,
                      static_cast<unsigned>(random() % 10), static_cast<unsigned>(random()),
                      static_cast<unsigned long long>(random()) << 32 | random());
        lines.push_back(line);
        if (i % 50 == 0)
            lines.push_back("");
        if (i % 70 == 0)
            lines.push_back(std::string(450, ' '));
    }
    LogHeaderText h;
    h.eol = "\r\n";
    std::string text = logText(lines, h);
    std::vector<std::string> direct = readDescribed(text, 0);
    ASSERT_GT(direct.size(), 300u);
    for (int64_t size : {1, 5, 13, 199, 200, 4096, -1})
        EXPECT_EQ(readDescribed(text, size), direct) << size;
}

// Lines read where they lie in a buffer must be the lines read byte by byte: every ending (line feed,
// carriage return and line feed, carriage returns inside or doubled), bytes next to the values of
// the line ends, and lengths around eight-byte steps and the 199-byte budget.
TEST(LogReader, LinesReadInPlaceAreTheLinesReadByteByByte) {
    std::mt19937 random(11);
    const char* const endings[] = {"\n", "\r\n", "\r\r\n", "\n\n", "\r"};
    const char odd[] = {'\x0b', '\x0c', '\x0e', '\x09', '\x8a', '\x8d', '\0', '\xff', '\r'};
    std::string body;
    for (int i = 0; i < 600; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "%02u.%03u;%u;%X;8;%016llX", (i / 9) % 60, (i * 37) % 1000,
                      static_cast<unsigned>(random() % 10), static_cast<unsigned>(random()),
                      static_cast<unsigned long long>(random()) << 32 | random());
        std::string text = line;
        if (i % 3 == 0) // shorter lines ending at every offset of an eight-byte word
            text.resize(text.size() - static_cast<std::size_t>(random() % 17));
        if (i % 5 == 0)
            text[static_cast<std::size_t>(random()) % text.size()] = odd[random() % std::size(odd)];
        if (i % 40 == 0)
            text += std::string(186 + random() % 16, 'x');
        body += text + endings[random() % std::size(endings)];
    }
    LogHeaderText h;
    h.eol = "\r\n";
    std::string text = logText({}, h) + body;
    std::vector<std::string> direct = readDescribed(text, 0);
    ASSERT_GT(direct.size(), 450u);
    for (int64_t size : {1, 8, 9, 64, 199, 4096, -1})
        EXPECT_EQ(readDescribed(text, size), direct) << size;
}

TEST(LogReader, RewindReturnsToTheFirstDataLine) {
    OpenLog log(logText({"55.250;0;1;0;", "56.000;0;2;0;"}));
    ASSERT_TRUE(log.reader);
    LogRecord record;
    ASSERT_TRUE(log.reader->next(record));
    ASSERT_TRUE(log.reader->next(record));
    log.reader->rewind();
    // The timestamp state is kept: the first line is now earlier than the last one returned.
    DiagCapture capture(kDiagNone);
    ASSERT_TRUE(log.reader->next(record));
    EXPECT_EQ(record.identifier, 2u);
}

// Restores the time zone of the process after a test that changes it.
class LogReaderTimeZone : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        hadTz_ = tz != nullptr;
        if (tz)
            savedTz_ = tz;
    }
    void TearDown() override {
        if (hadTz_)
            setenv("TZ", savedTz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static void use(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }

private:
    bool hadTz_ = false;
    std::string savedTz_;
};

TEST_F(LogReaderTimeZone, OnlyTheHeaderStartTimeIsLocal) {
    std::string text = logText({"55.250;0;1;0;", "02.100;0;2;0;"});
    use("UTC");
    OpenLog utc(text);
    ASSERT_TRUE(utc.reader);
    std::vector<std::string> utcRecords = readDescribed(text);
    use("XYZ-5");
    OpenLog east(text);
    ASSERT_TRUE(east.reader);
    std::vector<std::string> eastRecords = readDescribed(text);

    EXPECT_DOUBLE_EQ(utc.reader->header().startTime, 1709251190.0);
    EXPECT_DOUBLE_EQ(east.reader->header().startTime, 1709251190.0 - 5 * 3600);
    ASSERT_EQ(utcRecords.size(), 2u);
    EXPECT_EQ(utcRecords, eastRecords);
}

TEST(LogReader, ALineCutShortByAReadErrorIsNotARecord) {
    const std::string text = logText({"55.250;0;10;2;0102", "55.500;0;11;2;0304", "55.750;0;12;2;0506"});
    // The error strikes inside the third line's data: "55.750;0;12;2;05".
    const std::size_t failAt = text.size() - 3;
    for (std::size_t bufferSize : {std::size_t{0}, std::size_t{16}, text.size()}) {
        SCOPED_TRACE(bufferSize);
        test::FailingStream memory(text, failAt);
        std::unique_ptr<ByteStream> buffered;
        ByteStream* stream = &memory;
        if (bufferSize > 0) {
            buffered = bufferedReaderCreate(&memory, bufferSize);
            stream = buffered.get();
        }
        auto reader = logReaderCreate(*stream);
        ASSERT_TRUE(reader);
        reader->rewind();
        std::vector<LogRecord> records = readAll(*reader);
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[1].identifier, 0x11u);
        EXPECT_TRUE(streamFailed(stream));
    }
}

} // namespace
} // namespace loglathe
