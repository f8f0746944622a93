#include "output/output_file.h"

#include "output/fixed_format.h"

#include <cerrno>
#include <new>

namespace loglathe {

namespace {

// Lines are written once they fill this much: eight blocks of the usual file systems, so that the
// system calls cost little beside the formatting, while a writer holding a thousand open files
// keeps 32 MB of lines at most.
constexpr std::size_t kWriteSize = 32768;
// Room for a typical "%f" number and its comma; rows with huge values grow the buffer once.
constexpr std::size_t kTypicalNumberWidth = 24;

} // namespace

OutputFile::OutputFile(FileSystem& root, std::string relativePath, std::vector<std::string> columns)
    : root_(root), relativePath_(std::move(relativePath)), columns_(std::move(columns)) {
    fsJoin(root_, relativePath_, path_);
}

OutputFile::~OutputFile() {
    close();
}

bool OutputFile::writeBuffer() {
    std::size_t size = buffer_.size();
    if (size == 0)
        return true;
    int64_t n = streamWrite(stream_.get(), buffer_.data(), size);
    if (n == static_cast<int64_t>(size)) {
        written_ += size;
        buffer_.clear();
        return true;
    }
    failed_ = true;
    cutBack(n > 0 ? static_cast<std::size_t>(n) : 0);
    buffer_.clear();
    return false;
}

// The first `reached` bytes of the buffer went to the file: keep the complete lines among them and
// cut off the piece of a line behind them. The cut is made even when nothing is said to have been
// written, in case the stream wrote more than it answered.
void OutputFile::cutBack(std::size_t reached) {
    const char* data = buffer_.data();
    std::size_t keep = reached;
    while (keep > 0 && data[keep - 1] != '\n')
        --keep;
    written_ += keep;
    streamTruncate(stream_.get(), written_);
}

bool OutputFile::formatRow(std::span<const double> values, double timestamp) {
    if (!buffer_.appendFixed(timestamp, timestampText_))
        return false;
    for (double value : values) {
        if (!buffer_.append(',') || !buffer_.appendFixed(value))
            return false;
    }
    return buffer_.append('\n');
}

bool OutputFile::writeRow(std::span<const double> values, double timestamp) {
    if (!stream_ || failed_ || values.size() != columns_.size())
        return false;
    const std::size_t rowStart = buffer_.size();
    // Room for a typical row and the worst case of its last number.
    std::size_t estimate = (values.size() + 1) * kTypicalNumberWidth + kFixedRoom;
    // Row: 1706659200.125000,1250.500000,NaN
    if (!buffer_.reserve(rowStart + estimate < kWriteSize ? kWriteSize : rowStart + estimate) ||
        !formatRow(values, timestamp)) {
        // Memory ran short: the rows behind this one would leave a gap, so the file stops here.
        buffer_.cut(rowStart);
        writeBuffer();
        failed_ = true;
        return false;
    }
    if (buffer_.size() >= kWriteSize)
        return writeBuffer();
    return true;
}

bool OutputFile::flush() {
    if (stream_ && !failed_)
        writeBuffer();
    return !failed_;
}

bool OutputFile::close() {
    if (!stream_)
        return true;
    flush();
    if (streamClose(stream_) != 0)
        failed_ = true;
    stream_.reset();
    buffer_.release();
    return !failed_;
}

bool OutputFile::reopen() {
    if (stream_)
        return true;
    stream_ = fsOpen(root_, relativePath_, kFsWrite | kFsAppend);
    if (stream_)
        return true;
    // Rows taken after a gap would not be the file's own; only a shortage of descriptors, which the
    // caller may cure by closing other files, leaves the file open to another try.
    if (errno != EMFILE && errno != ENFILE)
        failed_ = true;
    return false;
}

std::unique_ptr<OutputFile> outputFileCreate(FileSystem& root, std::string_view relativePathWithoutExtension,
                                             std::vector<std::string> columnNames) {
    std::string relativePath;
    relativePath.reserve(relativePathWithoutExtension.size() + 4);
    relativePath.append(relativePathWithoutExtension).append(".csv");
    std::unique_ptr<ByteStream> stream = fsOpen(root, relativePath, kFsWrite);
    if (!stream)
        return nullptr;
    std::unique_ptr<OutputFile> file(new (std::nothrow)
                                         OutputFile(root, std::move(relativePath), std::move(columnNames)));
    if (!file)
        return nullptr;
    file->stream_ = std::move(stream);
    // Header: t,EngineSpeed,CoolantTemp
    TextBuffer& header = file->buffer_;
    bool built = header.reserve(kWriteSize) && header.append("t");
    for (const std::string& name : file->columns_)
        built = built && header.append(",") && header.append(name);
    built = built && header.append("\n");
    if (!built) {
        header.clear();
        file->failed_ = true;
    }
    if (header.size() >= kWriteSize)
        file->writeBuffer();
    return file;
}

} // namespace loglathe
