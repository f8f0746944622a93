#pragma once
// Running the built program on inputs made in a temporary folder, and reading back what it wrote.

#include "support/temp_dir.h"

#include <map>
#include <string>
#include <vector>

namespace loglathe::testing {

struct RunResult {
    int status = -1;
    std::string out; // standard output
    std::string err; // standard error
};

struct RunOptions {
    std::string cwd;              // working directory of the program; empty: the test's own
    std::string tz = "UTC";       // TZ of the program
    bool withoutDacOverride = false; // run without the capabilities that let root ignore permissions
    long fileSizeLimit = -1;      // RLIMIT_FSIZE in bytes, or -1 to keep it
    long openFilesLimit = -1;     // RLIMIT_NOFILE, or -1 to keep it
};

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
    int timeFormat = 4; // data lines carry day, hour, minute, second, milliseconds
    std::vector<std::string> lines; // "Timestamp;Type;ID;Length;Data" rows

    std::string text() const;
};

} // namespace loglathe::testing
