#include "input/log_reader.h"

#include "platform/diag_log.h"

#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

namespace loglathe {

namespace {

constexpr std::size_t kLineBufferSize = 200;
constexpr std::size_t kLineBudget = kLineBufferSize - 1;
constexpr int kMaxColumns = 7;

// YYYYMMDDhhmmssmmm: the layout that header and line digits are written into.
constexpr std::size_t kTemplateSize = 17;
constexpr char kEpochTemplate[] = "19700101000000000";

enum class Column : uint8_t { None, Timestamp, Lost, Type, Id, Length, Data };

// Value of each byte as a hexadecimal digit, -1 for the others.
constexpr std::array<int8_t, 256> kHexDigits = [] {
    std::array<int8_t, 256> table{};
    for (int c = 0; c < 256; ++c)
        table[c] = c >= '0' && c <= '9'   ? static_cast<int8_t>(c - '0')
                   : c >= 'a' && c <= 'f' ? static_cast<int8_t>(c - 'a' + 10)
                   : c >= 'A' && c <= 'F' ? static_cast<int8_t>(c - 'A' + 10)
                                          : int8_t{-1};
    return table;
}();

bool isHex(uint8_t c) {
    return kHexDigits[c] >= 0;
}
// Only for characters that passed isHex.
unsigned hexValue(uint8_t c) {
    return static_cast<unsigned>(kHexDigits[c]);
}
bool isDigit(uint8_t c) {
    return c >= '0' && c <= '9';
}

// Copies `text` into `out` (kLineBufferSize bytes) with a terminating NUL, for the sscanf fallbacks
// that give odd column texts exactly the meaning a formatted scan gives them.
const char* terminatedCopy(std::string_view text, char* out) {
    std::size_t n = std::min(text.size(), kLineBufferSize - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return out;
}

// The value of a header line: after the first ": ", up to the first CR, LF or end of text.
std::string_view headerValue(std::string_view line) {
    std::size_t colon = line.find(": ");
    if (colon == std::string_view::npos)
        return {};
    std::string_view value = line.substr(colon + 2);
    std::size_t end = value.find_first_of("\r\n");
    return end == std::string_view::npos ? value : value.substr(0, end);
}

class TextLogReader final : public LogReader {
public:
    explicit TextLogReader(ByteStream& stream) : stream_(stream), useView_(stream.hasView()) {}

    bool open();

    const LogHeader& header() const override { return header_; }
    void rewind() override { streamSeek(&stream_, static_cast<uint64_t>(dataStart_), kSeekSet); }
    bool next(LogRecord& record) override;

private:
    std::size_t readLine();
    std::size_t readLineInPlace(std::span<const uint8_t> view);
    std::size_t readLineFromView();
    std::size_t readLineByBytes();

    void applyHeaderLine(std::string_view line);
    bool mapColumns(std::string_view line);
    void prepareTimestamps();

    template <typename Visit> void splitColumns(std::string_view line, Visit&& visit) const;
    void parseColumn(Column kind, std::string_view text, LogRecord& record);
    double parseTimestamp(std::string_view text);
    double secondsOfDigits(const char* full, unsigned& millis);
    static double secondsOfText(const char* full, unsigned& millis);
    static void parseType(std::string_view text, LogRecord& record);
    static void parseId(std::string_view text, LogRecord& record);
    static void parseLength(std::string_view text, LogRecord& record);
    static void parseData(std::string_view text, LogRecord& record);

    ByteStream& stream_;
    bool useView_;
    char line_[kLineBufferSize] = {};
    // The last line read: line_, or the stream's view when the line lay whole in it; valid until the
    // next read.
    const char* lineData_ = line_;

    LogHeader header_;
    int64_t dataStart_ = 0;
    std::array<Column, kMaxColumns> columns_{};

    // Characters removed from timestamp texts before their digits are placed.
    std::array<bool, 256> dropInTimestamp_{};
    // The epoch layout overwritten by the header's time digits: what a line's digits complete.
    char headerTemplate_[kTemplateSize] = {};

    // YYYYMMDDhhmm of the last all-digit timestamp and the UTC seconds of that minute's start.
    uint64_t cachedMinute_ = UINT64_MAX; // the digits of the minute whose start is kept, 4 bits each
    time_t minuteStart_ = 0;

    uint32_t wrapOffset_ = 0;
    double lastRaw_ = 0.0;
    double lastAccepted_ = 0.0;
};

// Copies `size` bytes to `out` without their carriage returns; answers the count copied.
std::size_t copyWithoutCarriageReturns(const uint8_t* from, std::size_t size, char* out) {
    std::size_t copied = 0;
    while (size > 0) {
        const auto* cr = static_cast<const uint8_t*>(std::memchr(from, '\r', size));
        std::size_t run = cr ? static_cast<std::size_t>(cr - from) : size;
        std::memcpy(out + copied, from, run);
        copied += run;
        if (!cr)
            break;
        from += run + 1;
        size -= run + 1;
    }
    return copied;
}

std::size_t TextLogReader::readLine() {
    lineData_ = line_;
    std::size_t length = 0;
    if (useView_) {
        // An empty view is the end of the data; asking again would read again.
        std::span<const uint8_t> view = stream_.view();
        length = view.empty() ? 0 : readLineInPlace(view);
        if (length == 0 && !view.empty())
            length = readLineFromView();
    } else {
        length = readLineByBytes();
    }
    // A line that a read error cut short is no line of the file: the data ends before it.
    if (length > 0 && lineData_[length - 1] != '\n' && streamFailed(&stream_))
        length = 0;
    return length;
}

// Index of the first line feed or carriage return among the first `size` bytes; `size` when there
// is none. Eight bytes at a time: lines are a few dozen bytes long, too short for a library call
// per line to pay off.
std::size_t findLineEnd(const uint8_t* data, std::size_t size) {
    std::size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        constexpr uint64_t kOnes = 0x0101010101010101ull;
        constexpr uint64_t kHighs = 0x8080808080808080ull;
        for (; i + 8 <= size; i += 8) {
            uint64_t word;
            std::memcpy(&word, data + i, 8);
            uint64_t lf = word ^ (kOnes * '\n');
            uint64_t cr = word ^ (kOnes * '\r');
            // Marks the zero bytes; a mark above a true zero byte may be false, the lowest never is.
            uint64_t found = (((lf - kOnes) & ~lf) | ((cr - kOnes) & ~cr)) & kHighs;
            if (found)
                return i + static_cast<std::size_t>(std::countr_zero(found) >> 3);
        }
    }
    for (; i < size; ++i)
        if (data[i] == '\n' || data[i] == '\r')
            return i;
    return size;
}

// The common line: whole in the view and within the budget, ended by a line feed or by a carriage
// return and a line feed, without other carriage returns. It is used where it lies (copied only to
// leave the carriage return out); 0 for every other line, which readLineFromView then reads.
std::size_t TextLogReader::readLineInPlace(std::span<const uint8_t> view) {
    const std::size_t limit = std::min(view.size(), kLineBudget);
    const uint8_t* data = view.data();
    std::size_t end = findLineEnd(data, limit);
    if (end < limit && data[end] == '\n') {
        lineData_ = reinterpret_cast<const char*>(data);
        stream_.consumeView(end + 1);
        return end + 1;
    }
    if (end + 1 < limit && data[end] == '\r' && data[end + 1] == '\n') {
        std::memcpy(line_, data, end);
        line_[end] = '\n';
        stream_.consumeView(end + 2);
        return end + 1;
    }
    return 0;
}

std::size_t TextLogReader::readLineByBytes() {
    std::size_t length = 0;
    std::size_t budget = kLineBudget;
    while (budget > 0) {
        uint8_t byte;
        if (streamRead(&stream_, &byte, 1) != 1)
            break;
        if (byte == '\n') {
            line_[length++] = '\n';
            break;
        }
        --budget;
        if (byte != '\r')
            line_[length++] = static_cast<char>(byte);
    }
    return length;
}

// The same rule as readLineByBytes, applied to the stream's buffer in place: of the bytes that
// still fit the budget, everything up to a line feed is taken at once, carriage returns left out.
std::size_t TextLogReader::readLineFromView() {
    std::size_t length = 0;
    std::size_t budget = kLineBudget;
    while (budget > 0) {
        std::span<const uint8_t> view = stream_.view();
        if (view.empty())
            break;
        std::size_t limit = std::min(view.size(), budget);
        const auto* lineFeed = static_cast<const uint8_t*>(std::memchr(view.data(), '\n', limit));
        std::size_t taken = lineFeed ? static_cast<std::size_t>(lineFeed - view.data()) : limit;
        length += copyWithoutCarriageReturns(view.data(), taken, line_ + length);
        budget -= taken;
        if (lineFeed) {
            line_[length++] = '\n';
            stream_.consumeView(taken + 1);
            break;
        }
        stream_.consumeView(taken);
    }
    return length;
}

bool TextLogReader::open() {
    streamSeek(&stream_, 0, kSeekSet);
    for (std::size_t n = readLine(); n > 0 && lineData_[0] == '#'; n = readLine())
        applyHeaderLine(std::string_view(lineData_, n));

    streamSeek(&stream_, 0, kSeekSet);
    bool sawHeader = false;
    std::size_t n = readLine();
    for (; n > 0 && lineData_[0] == '#'; n = readLine())
        sawHeader = true;
    if (n == 0 || !sawHeader)
        return false;
    dataStart_ = streamTell(&stream_);
    if (header_.valueSeparator == 0 || !mapColumns(std::string_view(lineData_, n)))
        return false;
    prepareTimestamps();
    return true;
}

void storeInteger(std::string_view value, int32_t& field) {
    char text[kLineBufferSize];
    int parsed;
    if (std::sscanf(terminatedCopy(value, text), "%i", &parsed) == 1)
        field = parsed;
}

void storeWord(std::string_view value, std::string& field, std::size_t width) {
    char text[kLineBufferSize];
    char word[32];
    char format[8];
    std::snprintf(format, sizeof format, "%%%zus", width);
    if (std::sscanf(terminatedCopy(value, text), format, word) == 1)
        field = word;
}

// A separator is declared as one character between double quotes; anything else means "none".
char quotedCharacter(std::string_view value) {
    return value.size() == 3 && value[0] == '"' && value[2] == '"' ? value[1] : '\0';
}

void storeFlag(std::string_view value, int32_t& field) {
    if (value == "true")
        field = 1;
    else if (value == "false")
        field = 0;
}

// # Time: 20240229T235950
void storeTime(std::string_view value, LogHeader& header) {
    header.timeText = value.substr(0, 19);
    char text[kLineBufferSize];
    unsigned year, month, day, hour, minute, second;
    if (std::sscanf(terminatedCopy(value, text), "%4u%2u%2uT%2u%2u%2u", &year, &month, &day, &hour, &minute,
                    &second) != 6)
        return;
    struct tm local {};
    local.tm_year = static_cast<int>(year) - 1900;
    local.tm_mon = static_cast<int>(month) - 1;
    local.tm_mday = static_cast<int>(day);
    local.tm_hour = static_cast<int>(hour);
    local.tm_min = static_cast<int>(minute);
    local.tm_sec = static_cast<int>(second);
    local.tm_isdst = 0;
    header.startTime = static_cast<double>(std::mktime(&local));
}

// # Logger type: VantorixB
// # Value separator: ";"
// Every key found anywhere in the line is applied, in this order; a later line overrides an earlier.
void TextLogReader::applyHeaderLine(std::string_view line) {
    std::string_view value = headerValue(line);
    auto has = [line](const char* key) { return line.find(key) != std::string_view::npos; };
    LogHeader& h = header_;
    if (has("Logger type: ")) {
        static const char* const kModels[] = {"VantorixA", "VantorixB", "VantorixC"};
        for (int32_t model = 0; model < 3; ++model)
            if (value == kModels[model])
                h.loggerModel = model;
    }
    if (has("HW rev: "))
        storeWord(value, h.hwRev, 4);
    if (has("FW rev: "))
        storeWord(value, h.fwRev, 4);
    if (has("Logger ID: "))
        storeWord(value, h.loggerId, 21);
    if (has("Session No.: "))
        storeInteger(value, h.session);
    if (has("Split No.: "))
        storeInteger(value, h.split);
    if (has("Time: "))
        storeTime(value, h);
    if (has("Value separator: "))
        h.valueSeparator = quotedCharacter(value);
    if (has("Time format: ")) {
        int32_t format = h.timeFormat;
        storeInteger(value, format);
        h.timeFormat = static_cast<uint8_t>(format);
    }
    if (has("Time separator: "))
        h.timeSeparator = quotedCharacter(value);
    if (has("Time separator ms: "))
        h.msSeparator = quotedCharacter(value);
    if (has("Date separator: "))
        h.dateSeparator = quotedCharacter(value);
    if (has("Time and date separator: "))
        h.dateTimeSeparator = quotedCharacter(value);
    if (has("Bit-rate: "))
        storeInteger(value, h.bitRate);
    if (has("Silent mode: "))
        storeFlag(value, h.silentMode);
    if (has("Cyclic mode: "))
        storeFlag(value, h.cyclicMode);
}

// Calls visit(k, text) for columns k = 0 .. 6 of a line. A column ends at the next value separator;
// the last one at the line feed, or at the end of the text when the line has none (the last line of
// a file, or a line cut by the buffer), so nothing past the line's text is ever looked at.
template <typename Visit> void TextLogReader::splitColumns(std::string_view line, Visit&& visit) const {
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    // Columns are short: a plain scan beats a library call per column.
    const char separator = header_.valueSeparator;
    std::size_t start = 0;
    for (int k = 0; k < kMaxColumns; ++k) {
        std::size_t end = start;
        while (end < line.size() && line[end] != separator)
            ++end;
        visit(k, line.substr(start, end - start));
        if (end == line.size())
            return;
        start = end + 1;
    }
}

// Timestamp;Type;ID;Length;Data
bool TextLogReader::mapColumns(std::string_view line) {
    static constexpr std::pair<std::string_view, Column> kNames[] = {
        {"Timestamp", Column::Timestamp}, {"Lost", Column::Lost}, {"Type", Column::Type}, {"ID", Column::Id},
        {"Length", Column::Length},       {"Data", Column::Data}};
    bool any = false;
    splitColumns(line, [&](int k, std::string_view text) {
        for (const auto& [name, kind] : kNames)
            if (text == name) {
                columns_[k] = kind;
                any = true;
            }
    });
    return any;
}

void TextLogReader::prepareTimestamps() {
    for (char c : {header_.valueSeparator, header_.timeSeparator, header_.msSeparator, header_.dateSeparator,
                   header_.dateTimeSeparator, 'T'})
        if (c != '\0')
            dropInTimestamp_[static_cast<uint8_t>(c)] = true;
    std::memcpy(headerTemplate_, kEpochTemplate, kTemplateSize);
    std::size_t n = 0;
    for (char c : header_.timeText)
        if (!dropInTimestamp_[static_cast<uint8_t>(c)] && n < kTemplateSize)
            headerTemplate_[n++] = c;
}

bool TextLogReader::next(LogRecord& record) {
    double skipped = 0.0;
    bool found = false;
    for (std::size_t n = readLine(); n > 0; n = readLine()) {
        record.timestamp = 0.0;
        record.channel = 1;
        record.identifier = 0;
        record.payload.clear();
        record.extended = false;
        record.fd = false;
        record.length = 0;
        record.bus = kBusNone;
        splitColumns(std::string_view(lineData_, n), [&](int k, std::string_view text) {
            if (columns_[k] != Column::None)
                parseColumn(columns_[k], text, record);
        });
        record.bus = kBusCan;
        if (lastAccepted_ > record.timestamp) {
            skipped = lastAccepted_;
            continue;
        }
        lastAccepted_ = record.timestamp;
        found = true;
        break;
    }
    if (skipped > 0.0)
        diagLog(kDiagWarning, "Skipping non-increasing timestamp: %f", skipped);
    return found;
}

// 55.250;1;18FEF100;8;FFFF0A1B2C3D4E5F
void TextLogReader::parseColumn(Column kind, std::string_view text, LogRecord& record) {
    switch (kind) {
    case Column::Timestamp:
        record.timestamp = parseTimestamp(text);
        break;
    case Column::Type:
        parseType(text, record);
        break;
    case Column::Id:
        parseId(text, record);
        break;
    case Column::Length:
        parseLength(text, record);
        break;
    case Column::Data:
        parseData(text, record);
        break;
    case Column::Lost:
    case Column::None:
        break;
    }
}

// Seconds to add when a line's digits rolled over the part of the date or time it does not carry.
uint32_t rollOverStep(uint8_t timeFormat, double ts) {
    switch (timeFormat) {
    case 1:
        return 60;
    case 2:
        return 3600;
    case 3:
        return 86400;
    case 4:
    case 5: {
        time_t whole = static_cast<time_t>(static_cast<int64_t>(ts));
        struct tm utc {};
        if (!gmtime_r(&whole, &utc))
            return 0;
        if (timeFormat == 4)
            ++utc.tm_mon;
        else
            ++utc.tm_year;
        int64_t later = static_cast<int64_t>(timegm(&utc));
        return static_cast<uint32_t>(later) - static_cast<uint32_t>(whole);
    }
    default:
        return 0;
    }
}

time_t utcSeconds(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                  unsigned second) {
    struct tm utc {};
    utc.tm_year = static_cast<int>(year) - 1900;
    utc.tm_mon = static_cast<int>(month) - 1;
    utc.tm_mday = static_cast<int>(day);
    utc.tm_hour = static_cast<int>(hour);
    utc.tm_min = static_cast<int>(minute);
    utc.tm_sec = static_cast<int>(second);
    return timegm(&utc);
}

// 20240229235955250: the completed template, all digits. Lines of one minute share everything but
// the seconds, and the UTC conversion is linear in them, so the minute's start is kept.
double TextLogReader::secondsOfDigits(const char* full, unsigned& millis) {
    auto field = [full](std::size_t at, std::size_t width) {
        unsigned value = 0;
        for (std::size_t i = at; i < at + width; ++i)
            value = value * 10 + static_cast<unsigned>(full[i] - '0');
        return value;
    };
    millis = field(14, 3);
    unsigned second = field(12, 2);
    // The twelve digits up to the minute, four bits each. Read a byte at a time: the digits were just
    // stored a byte at a time, and a wider load of them would wait for the stores to drain.
    uint64_t minute = 0;
    for (std::size_t i = 0; i < 12; ++i)
        minute = minute << 4 | static_cast<uint64_t>(full[i] - '0');
    if (minute != cachedMinute_) {
        minuteStart_ = utcSeconds(field(0, 4), field(4, 2), field(6, 2), field(8, 2), field(10, 2), 0);
        cachedMinute_ = minute;
    }
    if (minuteStart_ == -1) // the conversion failed; let it judge the full time
        return static_cast<double>(
            utcSeconds(field(0, 4), field(4, 2), field(6, 2), field(8, 2), field(10, 2), second));
    return static_cast<double>(minuteStart_ + second);
}

// The same template holding other characters: a formatted scan decides what they mean.
double TextLogReader::secondsOfText(const char* full, unsigned& millis) {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    std::sscanf(full, "%4u%2u%2u%2u%2u%2u%3u", &year, &month, &day, &hour, &minute, &second, &millis);
    return static_cast<double>(utcSeconds(year, month, day, hour, minute, second));
}

// 23:59:55.250 (with ":" and "." declared as separators, completed by the header's date)
double TextLogReader::parseTimestamp(std::string_view text) {
    // Digits past the 17th would be finer than milliseconds: they are dropped, so that a line that
    // carries more than the template holds keeps its date and time in place.
    // The kept characters are counted first and then written in place over the template's end: a
    // copy of a variable length here costs more than the second pass.
    std::size_t n = 0;
    for (char c : text) {
        if (dropInTimestamp_[static_cast<uint8_t>(c)])
            continue;
        if (n == kTemplateSize)
            break;
        ++n;
    }
    char full[kTemplateSize + 1];
    std::memcpy(full, headerTemplate_, kTemplateSize);
    char* kept = full + kTemplateSize - n;
    std::size_t k = 0;
    for (char c : text) {
        if (k == n)
            break;
        if (!dropInTimestamp_[static_cast<uint8_t>(c)])
            kept[k++] = c;
    }
    full[kTemplateSize] = '\0';

    bool allDigits = true;
    for (std::size_t i = 0; i < kTemplateSize; ++i)
        allDigits = allDigits && isDigit(static_cast<uint8_t>(full[i]));
    unsigned millis = 0;
    double t = allDigits ? secondsOfDigits(full, millis) : secondsOfText(full, millis);
    double ts = millis * 0.001 + t + wrapOffset_;

    if (ts < lastRaw_) {
        uint32_t step = rollOverStep(header_.timeFormat, ts);
        // Only a step back of more than a second is a roll-over; a smaller one is a late line.
        if (ts - lastRaw_ < -1.0) {
            wrapOffset_ += step;
            ts += step;
        }
    }
    lastRaw_ = ts;
    return ts;
}

// Type: "0" standard, "1" extended, "8" FD, "9" extended FD
void TextLogReader::parseType(std::string_view text, LogRecord& record) {
    if (text.empty())
        return;
    switch (text[0]) {
    case '1':
        record.extended = true;
        break;
    case '8':
        record.fd = true;
        break;
    case '9':
        record.extended = true;
        record.fd = true;
        break;
    default:
        break;
    }
}

// ID: 18FEF100
void TextLogReader::parseId(std::string_view text, LogRecord& record) {
    bool plain = !text.empty() && text.size() <= 8;
    uint32_t value = 0;
    for (std::size_t i = 0; plain && i < text.size(); ++i) {
        uint8_t c = static_cast<uint8_t>(text[i]);
        plain = isHex(c);
        if (plain)
            value = value << 4 | hexValue(c);
    }
    if (plain) {
        record.identifier = value;
        return;
    }
    char copy[kLineBufferSize];
    unsigned parsed;
    if (std::sscanf(terminatedCopy(text, copy), "%x", &parsed) == 1)
        record.identifier = parsed;
}

// Length: 8
void TextLogReader::parseLength(std::string_view text, LogRecord& record) {
    bool plain = !text.empty() && text.size() <= 3;
    unsigned value = 0;
    for (std::size_t i = 0; plain && i < text.size(); ++i) {
        uint8_t c = static_cast<uint8_t>(text[i]);
        plain = isDigit(c);
        if (plain)
            value = value * 10 + (c - '0');
    }
    if (plain) {
        record.length = static_cast<uint8_t>(value);
        return;
    }
    char copy[kLineBufferSize];
    unsigned char parsed;
    if (std::sscanf(terminatedCopy(text, copy), "%hhu", &parsed) == 1)
        record.length = parsed;
}

// Data: FFFF0A1B2C3D4E5F (pairs of hex digits; a trailing single digit is a byte of its own)
void TextLogReader::parseData(std::string_view text, LogRecord& record) {
    // The bytes are gathered in a register and stored at once: the decoders load them eight at a
    // time, which waits long for bytes stored one by one.
    uint64_t bytes = 0;
    std::size_t count = 0;
    for (std::size_t at = 0; count < 8 && at < text.size(); at += 2) {
        uint8_t high = static_cast<uint8_t>(text[at]);
        bool lowIsHex = at + 1 < text.size() && isHex(static_cast<uint8_t>(text[at + 1]));
        unsigned value = 0;
        if (isHex(high) && lowIsHex) {
            value = hexValue(high) << 4 | hexValue(static_cast<uint8_t>(text[at + 1]));
        } else if (isHex(high) && at + 1 == text.size()) {
            value = hexValue(high);
        } else {
            char copy[kLineBufferSize];
            unsigned char parsed = 0;
            std::sscanf(terminatedCopy(text.substr(at), copy), "%2hhx", &parsed);
            value = parsed;
        }
        bytes |= uint64_t{value} << (8 * count++);
    }
    record.length = static_cast<uint8_t>(count);
    if constexpr (std::endian::native == std::endian::big)
        bytes = __builtin_bswap64(bytes);
    record.payload.resize(8);
    std::memcpy(record.payload.data(), &bytes, 8);
    record.payload.resize(count);
}

} // namespace

std::unique_ptr<LogReader> logReaderCreate(ByteStream& stream) {
    auto reader = std::make_unique<TextLogReader>(stream);
    if (!reader->open())
        return nullptr;
    return reader;
}

} // namespace loglathe
