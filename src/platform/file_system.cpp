#include "platform/file_system.h"

#include "platform/diag_log.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace loglathe {

namespace {

// The operating system wants NUL-terminated paths; views are copied once per call.
std::string terminated(std::string_view path) {
    return std::string(path);
}

std::string fullPathOf(const FileSystem& fs, std::string_view relativePath) {
    std::string full;
    full.reserve(fs.root().size() + relativePath.size());
    full.append(fs.root()).append(relativePath);
    return full;
}

} // namespace

bool DiskFileSystem::stat(std::string_view fullPath, PathInfo& info) {
    struct stat st {};
    if (::stat(terminated(fullPath).c_str(), &st) != 0) {
        if (errno != ENOENT)
            return false;
        info = {PathKind::Missing, 0};
        return true;
    }
    if (S_ISREG(st.st_mode))
        info = {PathKind::File, static_cast<uint64_t>(st.st_size)};
    else if (S_ISDIR(st.st_mode))
        info = {PathKind::Directory, 0};
    else
        info = {PathKind::Other, 0};
    info.device = static_cast<uint64_t>(st.st_dev);
    info.inode = static_cast<uint64_t>(st.st_ino);
    return true;
}

void DiskFileSystem::list(std::string_view fullPath, DirListing& listing) {
    std::string dirPath = terminated(fullPath);
    DIR* dir = ::opendir(dirPath.c_str());
    if (!dir)
        return;
    std::string entryPath;
    while (struct dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        entryPath.assign(dirPath).append("/").append(name);
        PathInfo info;
        if (!DiskFileSystem::stat(entryPath, info)) // the disk's own answer, also in derived test doubles
            continue;
        if (info.kind != PathKind::File && info.kind != PathKind::Directory)
            continue;
        listing[std::string(name)] = DirEntry{std::string(name), info};
    }
    ::closedir(dir);
}

bool DiskFileSystem::makeDir(std::string_view fullPath) {
    return ::mkdir(terminated(fullPath).c_str(), 0700) == 0;
}

bool DiskFileSystem::remove(std::string_view fullPath) {
    return std::remove(terminated(fullPath).c_str()) == 0;
}

std::unique_ptr<ByteStream> DiskFileSystem::open(std::string_view fullPath, unsigned flags) {
    bool read = flags & kFsRead;
    bool write = flags & kFsWrite;
    if (!read && !write)
        return nullptr;
    FileStreamKind kind = read && write              ? FileStreamKind::ReadWrite
                          : read                     ? FileStreamKind::Read
                          : (flags & kFsAppend) != 0 ? FileStreamKind::Append
                                                     : FileStreamKind::Write;
    return fileStreamOpen(terminated(fullPath).c_str(), kind);
}

bool FileSystem::stat(std::string_view, PathInfo&) {
    return false;
}
void FileSystem::list(std::string_view, DirListing&) {}
bool FileSystem::makeDir(std::string_view) {
    return false;
}
bool FileSystem::remove(std::string_view) {
    return false;
}
std::unique_ptr<ByteStream> FileSystem::open(std::string_view, unsigned) {
    return nullptr;
}

std::unique_ptr<FileSystem> fsCreate(std::string_view path) {
    if (path.empty() || path.back() != '/')
        return nullptr;
    auto fs = std::make_unique<DiskFileSystem>(std::string(path));
    PathInfo info;
    if (!fsStat(*fs, "", info) || info.kind != PathKind::Directory)
        return nullptr;
    return fs;
}

bool fsStat(FileSystem& fs, std::string_view relativePath, PathInfo& info) {
    return fs.stat(fullPathOf(fs, relativePath), info);
}

void fsList(FileSystem& fs, std::string_view relativePath, DirListing& listing) {
    fs.list(fullPathOf(fs, relativePath), listing);
}

bool fsRemove(FileSystem& fs, std::string_view relativePath) {
    return fs.remove(fullPathOf(fs, relativePath));
}

std::unique_ptr<ByteStream> fsOpen(FileSystem& fs, std::string_view relativePath, unsigned flags) {
    return fs.open(fullPathOf(fs, relativePath), flags);
}

bool fsEnsureDir(FileSystem& fs, std::string_view relativePath) {
    std::string full = fullPathOf(fs, relativePath);
    PathInfo info;
    if (!fs.stat(full, info))
        return false;
    if (info.kind == PathKind::Directory)
        return true;
    if (info.kind != PathKind::Missing)
        return false;
    if (fs.makeDir(full))
        return true;
    // Another writer of the same run may have made it in the meantime; then it is there as wanted.
    int error = errno;
    bool madeMeanwhile = error == EEXIST && fs.stat(full, info) && info.kind == PathKind::Directory;
    errno = error;
    return madeMeanwhile;
}

bool fsMakeDirs(FileSystem& fs, std::string_view relativePath) {
    std::string accumulated;
    std::size_t pos = 0;
    while (pos < relativePath.size()) {
        std::size_t end = relativePath.find('/', pos);
        if (end == std::string_view::npos)
            end = relativePath.size();
        if (end > pos) {
            accumulated.append("/").append(relativePath.substr(pos, end - pos));
            if (!fsEnsureDir(fs, accumulated))
                return false;
        }
        pos = end + 1;
    }
    return true;
}

void fsJoin(const FileSystem& fs, std::string_view relativePath, std::string& out) {
    if (relativePath == "..")
        return;
    out.append(fs.root()).append(relativePath);
}

std::unique_ptr<FileSystem> fsCreateAtWorkingDir() {
    std::string cwd;
    if (!pathFromCwd(cwd))
        return nullptr;
    return fsCreate(cwd);
}

bool pathIsAbsolute(std::string_view path) {
    return !path.empty() && path.front() == '/';
}

bool pathFromCwd(std::string& path) {
    char buffer[2048];
    if (!::getcwd(buffer, sizeof buffer))
        return false;
    path.assign(buffer);
    if (path.empty() || path.back() != '/')
        path.push_back('/');
    pathNormalize(path);
    return true;
}

void pathNormalize(std::string& path) {
    for (char& c : path)
        if (c == '\\')
            c = '/';

    // One left-to-right pass over non-overlapping "//"; the result is not scanned again.
    std::string collapsed;
    collapsed.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        collapsed.push_back(path[i]);
        if (path[i] == '/' && i + 1 < path.size() && path[i + 1] == '/')
            ++i;
    }
    path.swap(collapsed);

    if (!pathIsAbsolute(path)) {
        auto cwdFs = fsCreateAtWorkingDir();
        if (!cwdFs)
            return;
        std::string joined;
        fsJoin(*cwdFs, path, joined);
        path.swap(joined);
    }

    // A file written with a trailing "/" is still found: the separator is dropped for the query.
    std::string query = path;
    while (query.size() > 1 && query.back() == '/')
        query.pop_back();
    struct stat st {};
    if (::stat(query.c_str(), &st) != 0) {
        if (errno != ENOENT)
            diagLog(kDiagError, "Could not stat path %s", path.c_str());
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        if (path.empty() || path.back() != '/')
            path.push_back('/');
    } else if (S_ISREG(st.st_mode)) {
        if (!path.empty() && path.back() == '/')
            path.pop_back();
    }
}

std::string_view pathDirName(std::string_view path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view{} : path.substr(0, slash + 1);
}

std::string_view pathBaseName(std::string_view path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view pathExtension(std::string_view path) {
    std::string_view base = pathBaseName(path);
    std::size_t dot = base.rfind('.');
    return dot == std::string_view::npos ? base : base.substr(dot + 1);
}

} // namespace loglathe
