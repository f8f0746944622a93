// Fuzz target: the log reader, over header and data lines of any time format, through a buffered
// reader of any size or byte by byte.
//
// Input: two bytes choosing the buffering, then the log text. With bit 7 of the first byte set the
// whole text is buffered at once (the default of a run); otherwise the low 15 bits modulo 300 give the
// buffer size, 0 meaning unbuffered. The text is read twice, through the chosen buffering and byte by
// byte, and both must give the same header and the same records (the reader promises the same lines
// whichever way the stream offers them); accepted timestamps never go back. A rewind then reads the
// records again, both ways alike.

#include "fuzz_support.h"
#include "input/log_reader.h"
#include "platform/byte_stream.h"

#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

using namespace loglathe;

namespace {

// Enough to reach deep into a file's timestamp handling; an input has at most a few thousand lines.
constexpr std::size_t kMaxRecords = 20000;

bool sameRecord(const LogRecord& a, const LogRecord& b) {
    // Timestamps are compared bitwise: both readers compute them by the same steps.
    return std::memcmp(&a.timestamp, &b.timestamp, sizeof a.timestamp) == 0 && a.channel == b.channel &&
           a.identifier == b.identifier && a.payload == b.payload && a.bus == b.bus &&
           a.extended == b.extended && a.fd == b.fd && a.length == b.length;
}

bool sameHeader(const LogHeader& a, const LogHeader& b) {
    return a.loggerId == b.loggerId && std::memcmp(&a.startTime, &b.startTime, sizeof a.startTime) == 0 &&
           a.session == b.session && a.split == b.split && a.loggerModel == b.loggerModel &&
           a.hwRev == b.hwRev && a.fwRev == b.fwRev && a.timeText == b.timeText &&
           a.timeFormat == b.timeFormat && a.valueSeparator == b.valueSeparator &&
           a.timeSeparator == b.timeSeparator && a.msSeparator == b.msSeparator &&
           a.dateSeparator == b.dateSeparator && a.dateTimeSeparator == b.dateTimeSeparator &&
           a.bitRate == b.bitRate && a.silentMode == b.silentMode && a.cyclicMode == b.cyclicMode;
}

// Reads up to kMaxRecords records, checking that timestamps never go back.
std::vector<LogRecord> readAll(LogReader& reader) {
    std::vector<LogRecord> records;
    LogRecord record;
    while (records.size() < kMaxRecords && reader.next(record)) {
        FUZZ_CHECK(record.payload.size() <= 8);
        if (!records.empty())
            FUZZ_CHECK(!(record.timestamp < records.back().timestamp));
        records.push_back(record);
    }
    return records;
}

void checkSame(const std::vector<LogRecord>& a, const std::vector<LogRecord>& b) {
    FUZZ_CHECK(a.size() == b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        FUZZ_CHECK(sameRecord(a[i], b[i]));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::ByteCursor input(data, size);
    uint8_t high = input.byte();
    uint8_t low = input.byte();
    std::span<const uint8_t> textBytes = input.rest();
    std::string_view text(reinterpret_cast<const char*>(textBytes.data()), textBytes.size());

    // With the high bit, a window limited to the text's size, as a whole file is read; else a
    // buffer of up to 299 bytes, or none.
    const bool whole = (high & 0x80) != 0;
    std::size_t bufferSize = whole ? std::size_t{low} + 1 : (std::size_t(high & 0x7F) << 8 | low) % 300;

    MemoryStream plain(text);
    MemoryStream inner(text);
    std::unique_ptr<ByteStream> buffered;
    if (whole) {
        buffered = bufferedReaderCreate(std::make_unique<MemoryStream>(text), bufferSize, text.size());
        FUZZ_CHECK(buffered != nullptr);
    } else if (bufferSize > 0) {
        buffered = bufferedReaderCreate(&inner, bufferSize);
        FUZZ_CHECK(buffered != nullptr);
    }
    ByteStream& chosen = buffered ? *buffered : static_cast<ByteStream&>(inner);

    std::unique_ptr<LogReader> reference = logReaderCreate(plain);
    std::unique_ptr<LogReader> reader = logReaderCreate(chosen);
    FUZZ_CHECK((reference == nullptr) == (reader == nullptr));
    if (!reader)
        return 0;
    FUZZ_CHECK(sameHeader(reference->header(), reader->header()));

    checkSame(readAll(*reference), readAll(*reader));

    reference->rewind();
    reader->rewind();
    checkSame(readAll(*reference), readAll(*reader));
    // Nothing was cut short under the reader.
    FUZZ_CHECK(!streamFailed(&chosen));
    return 0;
}
