#include "support/fault_file_system.h"

#include <cerrno>

namespace loglathe::test {

namespace {

class FaultStream final : public ByteStream {
public:
    FaultStream(std::unique_ptr<ByteStream> inner, FaultPlan& plan, std::string path)
        : inner_(std::move(inner)), plan_(plan), path_(std::move(path)) {}

private:
    int64_t read(void* destination, std::size_t length) override {
        if (plan_.shouldFail(FsOperation::Read, path_)) {
            failed_ = true;
            return 0;
        }
        return streamRead(inner_.get(), destination, length);
    }
    int64_t write(const void* data, std::size_t length) override {
        if (!plan_.shouldFail(FsOperation::Write, path_))
            return streamWrite(inner_.get(), data, length);
        failed_ = true;
        if (plan_.kind != FaultKind::ShortWrite)
            return 0;
        int error = errno;
        int64_t passed = streamWrite(inner_.get(), data, length / 2);
        errno = error;
        return passed;
    }
    int64_t tell() override { return streamTell(inner_.get()); }
    int64_t seek(uint64_t offset, int whence) override { return streamSeek(inner_.get(), offset, whence); }
    int truncate(uint64_t length) override { return streamTruncate(inner_.get(), length); }
    bool failed() const override { return failed_ || streamFailed(inner_.get()); }
    int close() override {
        bool fail = plan_.shouldFail(FsOperation::Close, path_);
        int error = errno;
        int result = streamClose(inner_);
        if (!fail)
            return result;
        errno = error;
        return -1;
    }

    std::unique_ptr<ByteStream> inner_;
    FaultPlan& plan_;
    std::string path_;
    bool failed_ = false;
};

} // namespace

FsOperation operationOf(FaultKind kind) {
    switch (kind) {
    case FaultKind::Open:
        return FsOperation::Open;
    case FaultKind::Read:
        return FsOperation::Read;
    case FaultKind::Write:
    case FaultKind::ShortWrite:
        return FsOperation::Write;
    case FaultKind::Close:
        return FsOperation::Close;
    case FaultKind::Remove:
        return FsOperation::Remove;
    case FaultKind::MakeDir:
        return FsOperation::MakeDir;
    case FaultKind::Stat:
        return FsOperation::Stat;
    }
    return FsOperation::Open;
}

const char* nameOf(FaultKind kind) {
    static const char* const kNames[] = {"open",  "read",   "write",       "short write",
                                         "close", "remove", "make folder", "stat"};
    return kNames[static_cast<std::size_t>(kind)];
}

const char* nameOf(FsOperation operation) {
    static const char* const kNames[] = {"open", "read", "write", "close", "remove", "make folder", "stat"};
    return kNames[static_cast<std::size_t>(operation)];
}

FaultPlan& FaultPlan::operator=(const FaultPlan& other) {
    kind = other.kind;
    nth = other.nth;
    error = other.error;
    for (std::size_t k = 0; k < kFsOperationKinds; ++k)
        counts[k] = other.counts[k].load();
    fired = other.fired.load();
    firedAt = other.firedAt;
    return *this;
}

bool FaultPlan::shouldFail(FsOperation operation, std::string_view path) {
    uint64_t n = ++counts[static_cast<std::size_t>(operation)];
    if (nth == 0 || operation != operationOf(kind) || n != nth || fired.exchange(true))
        return false;
    firedAt = path;
    errno = error;
    return true;
}

bool FaultFileSystem::stat(std::string_view fullPath, PathInfo& info) {
    if (plan_.shouldFail(FsOperation::Stat, fullPath))
        return false;
    return DiskFileSystem::stat(fullPath, info);
}

bool FaultFileSystem::makeDir(std::string_view fullPath) {
    if (plan_.shouldFail(FsOperation::MakeDir, fullPath))
        return false;
    return DiskFileSystem::makeDir(fullPath);
}

bool FaultFileSystem::remove(std::string_view fullPath) {
    if (plan_.shouldFail(FsOperation::Remove, fullPath))
        return false;
    return DiskFileSystem::remove(fullPath);
}

std::unique_ptr<ByteStream> FaultFileSystem::open(std::string_view fullPath, unsigned flags) {
    if (plan_.shouldFail(FsOperation::Open, fullPath))
        return nullptr;
    std::unique_ptr<ByteStream> stream = DiskFileSystem::open(fullPath, flags);
    if (!stream)
        return nullptr;
    return std::make_unique<FaultStream>(std::move(stream), plan_, std::string(fullPath));
}

std::unique_ptr<FileSystem> faultFsCreate(std::string_view root, FaultPlan& plan) {
    if (!fsCreate(root))
        return nullptr;
    return std::make_unique<FaultFileSystem>(std::string(root), plan);
}

} // namespace loglathe::test
