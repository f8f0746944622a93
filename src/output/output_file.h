#pragma once
// One CSV file of the output tree: a header line "t,<name>,<name>..." and one row per decoded
// message, the time stamp first, every number in stb_sprintf's "%f" (six decimals, "NaN", "Inf").
// Names are written unaltered (no quoting); lines end in a single line feed.
//
// The file is opened through a FileSystem and collects its lines in a buffer of its own, which it
// hands to the stream in pieces of 32 KB, so that a row costs no system call and the
// answer of each write tells exactly what reached the file. A write that fails or stops short cuts
// the file back to its last complete line, and the file then takes no more rows: what it holds is
// always the header and the first rows, complete. Such a failure is answered false and remembered
// (failed()).
//
// The file keeps its path and column names after its handle is closed, so that the writer can
// reopen it for appending when it needs the file again in the same run; reopening writes no second
// header.

#include "output/text_buffer.h"
#include "platform/file_system.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace loglathe {

// The rows of a file may be formatted on another thread than the one that opens and closes it (see
// RowThread): what formatting writes lies on cache lines of its own, so that neither thread's
// accesses pull the other's lines across.
class alignas(64) OutputFile {
public:
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Full name, ".csv" included.
    const std::string& path() const { return path_; }
    const std::vector<std::string>& columns() const { return columns_; }
    uint32_t columnCount() const { return static_cast<uint32_t>(columns_.size()); }
    bool isOpen() const { return stream_ != nullptr; }
    // True once the header, a row, a write or the close has failed; such a file takes no more rows.
    bool failed() const { return failed_; }

    // Formats one row behind the lines not yet written, and writes them when they fill the buffer.
    // False when the file is closed or failed, when the value count differs from the column count
    // (nothing written), or when the write failed.
    bool writeRow(std::span<const double> values, double timestamp);
    // Hands every line not yet written to the operating system; false when the file failed.
    bool flush();
    // Writes what is left, closes the handle and gives the buffer back; false when the file failed.
    // A closed file answers true. Does not use the file system.
    bool close();
    // Opens the file again for appending after close(). False (errno set by the open) when it cannot
    // be opened, which fails the file unless descriptors ran short (EMFILE, ENFILE); true when it is
    // open already. The file system must still exist.
    bool reopen();

private:
    friend std::unique_ptr<OutputFile> outputFileCreate(FileSystem&, std::string_view,
                                                        std::vector<std::string>);
    OutputFile(FileSystem& root, std::string relativePath, std::vector<std::string> columns);

    bool formatRow(std::span<const double> values, double timestamp);
    bool writeBuffer();
    void cutBack(std::size_t reached);

    FileSystem& root_;
    std::string relativePath_;
    std::string path_;
    std::vector<std::string> columns_;
    std::unique_ptr<ByteStream> stream_;
    alignas(64) TextBuffer buffer_; // complete lines not yet written
    RepeatedFixed timestampText_;   // rows of one second share the text of their whole seconds
    uint64_t written_ = 0;          // bytes of complete lines in the file
    bool failed_ = false;
};

// Creates (or truncates) `relativePathWithoutExtension` + ".csv" below `root` and puts the header line
// first in its buffer. Null when the file cannot be opened (errno as left by the open) or memory is
// short. `root` must outlive every reopen().
std::unique_ptr<OutputFile> outputFileCreate(FileSystem& root, std::string_view relativePathWithoutExtension,
                                             std::vector<std::string> columnNames);

} // namespace loglathe
