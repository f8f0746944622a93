#include "output/output_file.h"

#include "output/stb_format.h"

#include <cerrno>
#include <new>

namespace loglathe {

namespace {

constexpr std::size_t kInitialRowCapacity = 256;
// Room for a typical "%f" number and its comma; rows with huge values grow the buffer once.
constexpr std::size_t kTypicalNumberWidth = 24;

// Whole-row formats for one to nine values; longer rows are formatted value by value, which gives
// the same text.
constexpr std::size_t kSingleCallMax = 9;
const char* const kRowFormats[kSingleCallMax] = {
    "%f,%f\n",
    "%f,%f,%f\n",
    "%f,%f,%f,%f\n",
    "%f,%f,%f,%f,%f\n",
    "%f,%f,%f,%f,%f,%f\n",
    "%f,%f,%f,%f,%f,%f,%f\n",
    "%f,%f,%f,%f,%f,%f,%f,%f\n",
    "%f,%f,%f,%f,%f,%f,%f,%f,%f\n",
    "%f,%f,%f,%f,%f,%f,%f,%f,%f,%f\n",
};

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
    std::size_t count = values.size();
    if (count >= 1 && count <= kSingleCallMax) {
        // One formatting call for the whole row. The format consumes the time stamp and `count`
        // values; the padding arguments after them are passed but never read.
        double v[kSingleCallMax] = {};
        for (std::size_t i = 0; i < count; ++i)
            v[i] = values[i];
        return stringAppendFormat(rowBuffer_, kRowFormats[count - 1], timestamp, v[0], v[1], v[2], v[3], v[4],
                                  v[5], v[6], v[7], v[8]);
    }
    bool formatted = stringAppendFormat(rowBuffer_, "%f", timestamp);
    for (double value : values)
        formatted = formatted && stringAppendFormat(rowBuffer_, ",%f", value);
    return formatted && rowBuffer_.append("\n");
}

bool OutputFile::writeRow(std::span<const double> values, double timestamp) {
    if (!handle_ || values.size() != columns_.size())
        return false;
    rowBuffer_.clear();
    // Room for a typical row plus what lets stb_sprintf write in place rather than copy.
    std::size_t estimate = (values.size() + 1) * kTypicalNumberWidth + kStbDirectRoom;
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
