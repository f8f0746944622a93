#pragma once
// A twin of the disk file system and its streams that fails one chosen operation: the Nth open, read,
// write, close, remove, make-folder or stat, with a chosen errno, while it counts every operation by
// kind. The plan is shared by the file systems and every stream they open, and outlives them all,
// so that streams closed after their file system is gone still count.
//
// A failed operation does what the disk does when it fails: an open gives no stream, a read answers
// 0 and marks the stream failed, a write answers 0 and passes nothing on, a short write passes the
// first half of its bytes on and answers their count, a close releases the file and answers -1, a
// remove, make-folder or stat changes nothing and answers false. errno is set in each case.
//
// The plan may be used from several threads at once (the workers of a run): it counts atomically
// and fails one operation only. Which operation is the Nth then depends on how the threads run.

#include "platform/file_system.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace loglathe::test {

enum class FsOperation { Open, Read, Write, Close, Remove, MakeDir, Stat };
constexpr std::size_t kFsOperationKinds = 7;

enum class FaultKind { Open, Read, Write, ShortWrite, Close, Remove, MakeDir, Stat };

// The operation a fault kind fails.
FsOperation operationOf(FaultKind kind);
const char* nameOf(FaultKind kind);
const char* nameOf(FsOperation operation);

struct FaultPlan {
    FaultPlan() = default; // fails nothing, only counts
    FaultPlan(FaultKind kind, uint64_t nth, int error) : kind(kind), nth(nth), error(error) {}
    FaultPlan(const FaultPlan& other) { *this = other; }
    FaultPlan& operator=(const FaultPlan& other);

    FaultKind kind = FaultKind::Open;
    uint64_t nth = 0; // 1: the first operation of the kind; 0: fail nothing
    int error = 0;

    std::array<std::atomic<uint64_t>, kFsOperationKinds> counts{};
    std::atomic<bool> fired{false};
    std::string firedAt; // the path of the failed operation; written by the thread that failed it

    uint64_t count(FsOperation operation) const { return counts[static_cast<std::size_t>(operation)]; }
    // Counts one operation; true (errno set) when it is the one to fail.
    bool shouldFail(FsOperation operation, std::string_view path);
};

class FaultFileSystem : public DiskFileSystem {
public:
    FaultFileSystem(std::string root, FaultPlan& plan) : DiskFileSystem(std::move(root)), plan_(plan) {}

protected:
    bool stat(std::string_view fullPath, PathInfo& info) override;
    bool makeDir(std::string_view fullPath) override;
    bool remove(std::string_view fullPath) override;
    std::unique_ptr<ByteStream> open(std::string_view fullPath, unsigned flags) override;

private:
    FaultPlan& plan_;
};

// The twin of `root` when it is a folder (as fsCreate checks), else null.
std::unique_ptr<FileSystem> faultFsCreate(std::string_view root, FaultPlan& plan);

} // namespace loglathe::test
