#pragma once
// One CSV file of the output tree: a header line "t,<name>,<name>..." and one row per decoded
// message, the time stamp first, every number in stb_sprintf's "%f" (six decimals, "NaN", "Inf").
// Names are written unaltered (no quoting); lines end in a single line feed.
//
// The file keeps its path and column names after its handle is closed, so that the writer can
// reopen it for appending when it needs the file again in the same run; reopening writes no second
// header. Write errors are answered false and also remembered (failed()), including those that
// buffered output only reveals when it flushes or closes.

#include "output/text_buffer.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace loglathe {

class OutputFile {
public:
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Full name, ".csv" included.
    const std::string& path() const { return path_; }
    const std::vector<std::string>& columns() const { return columns_; }
    uint32_t columnCount() const { return static_cast<uint32_t>(columns_.size()); }
    bool isOpen() const { return handle_ != nullptr; }
    // True once any header, row, flush or close has failed.
    bool failed() const { return failed_; }

    // Formats one row into the reused buffer and hands it to the file with one write. False when the
    // file is closed, when the value count differs from the column count (nothing written), or when
    // the write failed.
    bool writeRow(std::span<const double> values, double timestamp);
    // Pushes buffered rows to the operating system; false on a write error.
    bool flush();
    // Closes the handle (flushing it) and gives the row buffer back; false when that failed. A closed
    // file answers true.
    bool close();
    // Opens the file again for appending after close(). False (errno set by the open) when it cannot
    // be opened; true when it is open already.
    bool reopen();

private:
    friend std::unique_ptr<OutputFile> outputFileCreate(std::string_view, std::vector<std::string>);
    OutputFile(std::string path, std::vector<std::string> columns, std::FILE* handle);

    bool formatRow(std::span<const double> values, double timestamp);
    bool writeBuffer();

    std::string path_;
    std::vector<std::string> columns_;
    std::FILE* handle_;
    TextBuffer rowBuffer_;
    bool failed_ = false;
};

// Creates (or truncates) `pathWithoutExtension` + ".csv" and writes the header line with one write.
// Null when the file cannot be opened (errno as left by the open) or memory is short. A header that
// could not be written still gives a file, with failed() set.
std::unique_ptr<OutputFile> outputFileCreate(std::string_view pathWithoutExtension,
                                             std::vector<std::string> columnNames);

} // namespace loglathe
