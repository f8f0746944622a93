#pragma once
// Paths and the rooted file-system object.
//
// A FileSystem is a folder handle. Callers use the fs*() functions, which take a path relative to
// `root` (which always ends in "/") and work on root + relative path, with no separator added or
// removed. Behind them, an implementation overrides the virtual operations, which receive that full
// path. The base class answers failure for every operation, so a derived class overrides only what
// it supports. The disk implementation is made by fsCreate(); tests derive from DiskFileSystem to
// watch or fail single operations.

#include "platform/byte_stream.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace loglathe {

enum class PathKind : uint32_t { Other = 0, File = 1, Directory = 2, Missing = 3 };

struct PathInfo {
    PathKind kind = PathKind::Missing;
    uint64_t size = 0; // bytes, for regular files only
    // Identity of what the path leads to (after links), so that a walk can tell a folder it is
    // already inside; both 0 when the file system does not know it.
    uint64_t device = 0;
    uint64_t inode = 0;
};

struct DirEntry {
    std::string name;
    PathInfo info;
};

// Entries by name, in byte order of the names (as strcmp orders them).
using DirListing = std::map<std::string, DirEntry>;

// Access flags of open(). kFsAppend with kFsWrite: every write goes to the end of the file, which is
// created when missing and never truncated.
constexpr unsigned kFsRead = 1;
constexpr unsigned kFsWrite = 2;
constexpr unsigned kFsAppend = 4;

class FileSystem {
public:
    explicit FileSystem(std::string root) : root_(std::move(root)) {}
    virtual ~FileSystem() = default;
    FileSystem(const FileSystem&) = delete;
    FileSystem& operator=(const FileSystem&) = delete;

    const std::string& root() const { return root_; }

protected:
    // All take full paths (root + relative path).
    // stat follows links; a path that does not exist is success with PathKind::Missing.
    virtual bool stat(std::string_view fullPath, PathInfo& info);
    // Adds the files and folders of a directory (not "." and ".."); unreadable: adds nothing.
    virtual void list(std::string_view fullPath, DirListing& listing);
    // Makes one directory with permissions 0700; an existing one is a failure.
    virtual bool makeDir(std::string_view fullPath);
    virtual bool remove(std::string_view fullPath);
    // kFsRead: read-only stream; kFsWrite: write stream (created or truncated), or with kFsAppend
    // appending; read and write: read-write. Null (errno set) when it cannot be opened.
    virtual std::unique_ptr<ByteStream> open(std::string_view fullPath, unsigned flags);

private:
    friend bool fsStat(FileSystem& fs, std::string_view relativePath, PathInfo& info);
    friend void fsList(FileSystem& fs, std::string_view relativePath, DirListing& listing);
    friend bool fsRemove(FileSystem& fs, std::string_view relativePath);
    friend std::unique_ptr<ByteStream> fsOpen(FileSystem& fs, std::string_view relativePath, unsigned flags);
    friend bool fsEnsureDir(FileSystem& fs, std::string_view relativePath);

    std::string root_;
};

// The folder below `root` on the disk. Creating one checks nothing: fsCreate() is the checked way.
class DiskFileSystem : public FileSystem {
public:
    using FileSystem::FileSystem;

protected:
    bool stat(std::string_view fullPath, PathInfo& info) override;
    void list(std::string_view fullPath, DirListing& listing) override;
    bool makeDir(std::string_view fullPath) override;
    bool remove(std::string_view fullPath) override;
    std::unique_ptr<ByteStream> open(std::string_view fullPath, unsigned flags) override;
};

// Null unless `path` is an existing directory written with a trailing "/".
std::unique_ptr<FileSystem> fsCreate(std::string_view path);
// fsCreate on the working directory (pathFromCwd); null when that is unknown.
std::unique_ptr<FileSystem> fsCreateAtWorkingDir();

// The operations on root + relativePath. A path that does not exist is a successful stat with
// PathKind::Missing; fsList adds the files and folders of a directory (not "." and "..") and nothing
// when it cannot be read; fsOpen takes kFsRead, kFsWrite (optionally with kFsAppend) or both.
bool fsStat(FileSystem& fs, std::string_view relativePath, PathInfo& info);
void fsList(FileSystem& fs, std::string_view relativePath, DirListing& listing);
bool fsRemove(FileSystem& fs, std::string_view relativePath);
std::unique_ptr<ByteStream> fsOpen(FileSystem& fs, std::string_view relativePath, unsigned flags);
// True when the path is a directory afterwards (made, with permissions 0700, if missing).
bool fsEnsureDir(FileSystem& fs, std::string_view relativePath);
// Makes every directory of a relative path, outermost first; stops at the first failure.
bool fsMakeDirs(FileSystem& fs, std::string_view relativePath);
// Appends root + relativePath to `out`; appends nothing for the path "..".
void fsJoin(const FileSystem& fs, std::string_view relativePath, std::string& out);

// Absolute path with "/" separators; a directory ends in "/", a regular file does not. A path that
// cannot be examined keeps its form. Logs "Could not stat path %s" for a stat error other than
// "no such file".
void pathNormalize(std::string& path);
// Replaces `path` by the working directory (normalised, ending in "/"); false when it is unknown.
bool pathFromCwd(std::string& path);
bool pathIsAbsolute(std::string_view path);
// Up to and including the last "/"; empty without one.
std::string_view pathDirName(std::string_view path);
// After the last "/"; the whole path without one.
std::string_view pathBaseName(std::string_view path);
// The last "."-separated part of the base name (the whole base name when it has no ".").
std::string_view pathExtension(std::string_view path);

} // namespace loglathe
