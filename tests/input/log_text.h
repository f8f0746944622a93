#pragma once
// Builders of log texts for the input tests, with the shared diagnostics capture and line counting.

#include "input/log_record.h"
#include "platform/byte_stream.h"
#include "platform/diag_log.h"
#include "support/diag_capture.h"
#include "support/lines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace loglathe::test {

struct LogHeaderText {
    std::string loggerId = "1A2B3C4D";
    std::string session = "12";
    std::string split = "3";
    std::string time = "20240229T235950";
    std::string timeFormat = "1";
    std::string columns = "Timestamp;Type;ID;Length;Data";
    std::string extra; // further "#" lines, each ending in "\n"
    std::string eol = "\n";
};

// A header in the loggers' layout; a field set to "-" is left out.
inline std::string logHeader(const LogHeaderText& h) {
    std::string text;
    auto line = [&](const std::string& key, const std::string& value) {
        if (value != "-")
            text += "# " + key + ": " + value + h.eol;
    };
    line("Logger type", "VantorixB");
    line("HW rev", "0001");
    line("FW rev", "0104");
    line("Logger ID", h.loggerId);
    line("Session No.", h.session);
    line("Split No.", h.split);
    line("Time", h.time);
    line("Value separator", "\";\"");
    line("Time format", h.timeFormat);
    line("Time separator", "\":\"");
    line("Time separator ms", "\".\"");
    line("Date separator", "\"/\"");
    line("Time and date separator", "\"T\"");
    line("Bit-rate", "500000");
    line("Silent mode", "false");
    line("Cyclic mode", "true");
    text += h.extra;
    text += h.columns + h.eol;
    return text;
}

inline std::string logText(const std::vector<std::string>& dataLines, const LogHeaderText& h = {}) {
    std::string text = logHeader(h);
    for (const std::string& line : dataLines)
        text += line + h.eol;
    return text;
}

// A log in memory whose reading fails at byte `failAt`: the bytes before it come, then nothing.
class FailingStream : public MemoryStream {
public:
    FailingStream(const std::string& text, std::size_t failAt) : MemoryStream(text), failAt_(failAt) {}
    bool failed() const override { return failed_; }

protected:
    int64_t read(void* destination, std::size_t length) override {
        auto here = static_cast<std::size_t>(tell());
        if (here >= failAt_) {
            failed_ = true;
            return 0;
        }
        return MemoryStream::read(destination, std::min(length, failAt_ - here));
    }

private:
    std::size_t failAt_;
    bool failed_ = false;
};

} // namespace loglathe::test
