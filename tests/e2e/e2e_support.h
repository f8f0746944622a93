#pragma once
// Running the built program on inputs made in a temporary folder, and reading back what it wrote.

#include "support/lines.h"
#include "support/temp_dir.h"

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace loglathe::test {

struct RunResult {
    int status = -1; // exit status, or 1000 + the number of the signal that ended the program
    std::string out; // standard output
    std::string err; // standard error
};

struct RunOptions {
    std::string cwd;                 // working directory of the program; empty: the test's own
    std::string tz = "UTC";          // TZ of the program
    bool withoutDacOverride = false; // run without the capabilities that let root ignore permissions
    long fileSizeLimit = -1;         // RLIMIT_FSIZE in bytes, or -1 to keep it
    long openFilesLimit = -1;        // RLIMIT_NOFILE, or -1 to keep it
    unsigned timeoutSeconds = 60;    // a program still running then is ended by SIGALRM (status 1014)
    // Standard error is a pseudo-terminal of 100 columns in raw mode (no line-feed translation);
    // RunResult::err gets the bytes the program wrote to it.
    bool stderrTerminal = false;
    std::vector<std::string> environment; // "NAME=VALUE" entries that replace or add to the inherited ones
};

// Options of a run in the time zone `tz`, the others at their defaults.
inline RunOptions inZone(const std::string& tz) {
    RunOptions options;
    options.tz = tz;
    return options;
}

// Runs the loglathe binary with the arguments and waits for it.
RunResult runLoglathe(const std::vector<std::string>& args, const RunOptions& options = {});

// True when the program can be run without CAP_DAC_OVERRIDE here (setpriv present and working).
bool canDropDacOverride();

// Every regular file below `root`, by path relative to it, with its content.
std::map<std::string, std::string> readTree(const std::string& root);

// The two time zones every end-to-end conversion is run under: local time must never leak into
// the data.
inline const std::vector<std::string>& timeZones() {
    static const std::vector<std::string> zones = {"UTC", "XYZ-5"};
    return zones;
}

// A log file in the loggers' text format: header, column line, data lines.
struct LogFile {
    std::string loggerId = "1A2B3C";
    int session = 1;
    int split = 1;
    std::string time = "20240131T120000";
    int timeFormat = 4;             // data lines carry day, hour, minute, second, milliseconds
    std::vector<std::string> lines; // "Timestamp;Type;ID;Length;Data" rows

    std::string text() const;
};

// One data line of a LogFile with the default columns: "31T23:59:59.000;0;100;4;800C8219". `hexData`
// is the payload in hexadecimal; the Length column is its byte count.
std::string frame(const std::string& time, uint32_t id, const std::string& hexData, bool extended = false);
std::string frame(const std::string& time, uint32_t id, const std::vector<uint8_t>& data,
                  bool extended = false);

// The counters of the end-of-run summaries on standard output.
struct Summaries {
    uint64_t readerFiles = 0;
    uint64_t readerMessages = 0;
    uint64_t readerMegabytes = 0;
    uint64_t tpSuccessful = 0;
    uint64_t tpFailed = 0;
    uint64_t tpUnfinished = 0;
    uint64_t writerFiles = 0;
    uint64_t writerMessages = 0;
    uint64_t writerSignals = 0;

    bool operator==(const Summaries&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Summaries& s);

// The counters of a run's standard output, or nothing when that output is not exactly the five
// blocks of summaries with their separator lines (the execution time may be any number).
std::optional<Summaries> parseSummaries(const std::string& out);

} // namespace loglathe::test
