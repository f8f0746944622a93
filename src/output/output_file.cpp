#include "output/output_file.h"

#include "output/fixed_format.h"

#include <cerrno>
#include <new>

namespace loglathe {

namespace {

constexpr std::size_t kInitialRowCapacity = 256;
// Room for a typical "%f" number and its comma; rows with huge values grow the buffer once.
constexpr std::size_t kTypicalNumberWidth = 24;

} // namespace

OutputFile::OutputFile(std::string path, std::vector<std::string> columns, std::FILE* handle)
    : path_(std::move(path)), columns_(std::move(columns)), handle_(handle) {}

OutputFile::~OutputFile() {
    close();
}

bool OutputFile::writeBuffer() {
    std::size_t written = std::fwrite(rowBuffer_.data(), 1, rowBuffer_.size(), handle_);
    // A failed flush inside fwrite may still report the whole length; the error flag tells.
    if (written != rowBuffer_.size() || std::ferror(handle_)) {
        failed_ = true;
        return false;
    }
    return true;
}

bool OutputFile::formatRow(std::span<const double> values, double timestamp) {
    if (!rowBuffer_.appendFixed(timestamp))
        return false;
    for (double value : values) {
        if (!rowBuffer_.append(',') || !rowBuffer_.appendFixed(value))
            return false;
    }
    return rowBuffer_.append('\n');
}

bool OutputFile::writeRow(std::span<const double> values, double timestamp) {
    if (!handle_ || values.size() != columns_.size())
        return false;
    rowBuffer_.clear();
    // Room for a typical row and the worst case of its last number.
    std::size_t estimate = (values.size() + 1) * kTypicalNumberWidth + kFixedRoom;
    if (!rowBuffer_.reserve(estimate < kInitialRowCapacity ? kInitialRowCapacity : estimate)) {
        failed_ = true;
        return false;
    }
    // Row: 1706659200.125000,1250.500000,NaN
    if (!formatRow(values, timestamp)) {
        failed_ = true;
        return false;
    }
    return writeBuffer();
}

bool OutputFile::flush() {
    if (!handle_)
        return true;
    if (std::fflush(handle_) != 0 || std::ferror(handle_))
        failed_ = true;
    return !failed_;
}

bool OutputFile::close() {
    if (!handle_)
        return true;
    bool ok = !std::ferror(handle_);
    ok = std::fclose(handle_) == 0 && ok;
    handle_ = nullptr;
    rowBuffer_.release();
    if (!ok)
        failed_ = true;
    return ok;
}

bool OutputFile::reopen() {
    if (handle_)
        return true;
    handle_ = std::fopen(path_.c_str(), "ab");
    return handle_ != nullptr;
}

std::unique_ptr<OutputFile> outputFileCreate(std::string_view pathWithoutExtension,
                                             std::vector<std::string> columnNames) {
    std::string path;
    path.reserve(pathWithoutExtension.size() + 4);
    path.append(pathWithoutExtension).append(".csv");
    std::FILE* handle = std::fopen(path.c_str(), "wb");
    if (!handle)
        return nullptr;
    std::unique_ptr<OutputFile> file(new (std::nothrow)
                                         OutputFile(std::move(path), std::move(columnNames), handle));
    if (!file) {
        std::fclose(handle);
        return nullptr;
    }
    // Header: t,EngineSpeed,CoolantTemp
    TextBuffer& header = file->rowBuffer_;
    bool built = header.append("t");
    for (const std::string& name : file->columns_)
        built = built && header.append(",") && header.append(name);
    built = built && header.append("\n");
    if (!built || !file->writeBuffer())
        file->failed_ = true;
    header.clear();
    return file;
}

} // namespace loglathe
