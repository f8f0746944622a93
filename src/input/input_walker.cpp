#include "input/input_walker.h"

#include "input/file_converter.h"
#include "platform/diag_log.h"

#include <algorithm>
#include <sys/types.h>

namespace loglathe {

namespace {

// Identity of a folder on the current descent path.
struct FolderId {
    uint64_t device;
    uint64_t inode;
};

// No letter outside ASCII lower-cases to "t" or "x", so an ASCII case-insensitive comparison selects
// the same names as lower-casing the whole extension first.
bool isLogExtension(std::string_view extension) {
    if (extension.size() != 3)
        return false;
    static const char kTxt[] = "txt";
    for (std::size_t i = 0; i < 3; ++i) {
        char c = extension[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != kTxt[i])
            return false;
    }
    return true;
}

// logs/x -> logs_out/x; logs -> logs_out
std::string outputNameOfFolder(const std::string& name) {
    std::string out = name;
    std::size_t slash = out.find('/');
    out.insert(slash == std::string::npos ? out.size() : slash, "_out");
    return out;
}

void appendChild(std::string& path, const std::string& entry) {
    if (!path.empty() && path.back() != '/')
        path.push_back('/');
    path.append(entry);
}

int nameLength(const std::string& name) {
    return static_cast<int>(name.size());
}

class Walker final : public InputWalker {
public:
    Walker(FileSystem& inputRoot, FileSystem& outputRoot, const WalkerOptions& options,
           LogFileHandler& handler, std::unique_ptr<FileConverter> owned = nullptr)
        : inputRoot_(inputRoot), outputRoot_(outputRoot), options_(options), owned_(std::move(owned)),
          handler_(handler) {}

    int run(const std::vector<std::string>& names) override;
    uint64_t fileCount() const override { return fileCount_; }
    uint64_t recordCount() const override { return handler_.recordCount(); }
    uint64_t byteCount() const override { return byteCount_; }
    bool abandoned() const override { return abandoned_; }

private:
    int walkPath(const std::string& name, const std::string& outputName, bool listed);
    int walkFolder(const std::string& name, const std::string& outputName, const PathInfo& info);
    int processFile(const std::string& name, const std::string& outputName, const PathInfo& info);

    FileSystem& inputRoot_;
    [[maybe_unused]] FileSystem& outputRoot_; // held for the run; nothing is made below it here
    const WalkerOptions options_;
    std::unique_ptr<FileConverter> owned_; // the converter of a walk that converts itself
    LogFileHandler& handler_;

    uint64_t fileCount_ = 0;
    uint64_t byteCount_ = 0;
    bool abandoned_ = false;
    std::vector<FolderId> descent_;
};

int Walker::run(const std::vector<std::string>& names) {
    int result = kWalkOk;
    for (const std::string& name : names) {
        std::string outputName = name;
        if (!options_.noAppendRoot) {
            PathInfo info;
            if (!fsStat(inputRoot_, name, info)) {
                diagLog(kDiagFatal, "Could not query %.*s for information", nameLength(name), name.data());
                abandoned_ = true;
                return kWalkQueryFailed;
            }
            if (info.kind == PathKind::Directory)
                outputName = outputNameOfFolder(name);
        }
        result |= walkPath(name, outputName, false);
    }
    return result;
}

// `listed`: the name comes from the listing of its folder, not from the command line.
int Walker::walkPath(const std::string& name, const std::string& outputName, bool listed) {
    PathInfo info;
    // An entry that cannot be queried is skipped, and the result says an input could not be queried.
    if (!fsStat(inputRoot_, name, info)) {
        diagLog(kDiagFatal, "Error during stat of %.*s, exiting", nameLength(name), name.data());
        return kWalkQueryFailed;
    }
    if (info.kind == PathKind::File && handler_.catchUp(info)) {
        if (!fsStat(inputRoot_, name, info)) {
            diagLog(kDiagFatal, "Error during stat of %.*s, exiting", nameLength(name), name.data());
            return kWalkQueryFailed;
        }
        // Removed after its conversion earlier in the walk: converting each file at once, the
        // listing of its folder would not have held it.
        if (listed && info.kind == PathKind::Missing)
            return kWalkOk;
    }
    switch (info.kind) {
    case PathKind::Missing:
        diagLog(kDiagWarning, "Could not find input file/folder %.*s", nameLength(name), name.data());
        return kWalkMissingInput;
    case PathKind::Directory:
        return walkFolder(name, outputName, info);
    case PathKind::File:
        return processFile(name, outputName, info);
    case PathKind::Other:
        break;
    }
    return kWalkQueryFailed;
}

// Depth-first, entries in byte order of their names. A folder already on the descent path (reached
// again through a link) is not entered, so that a link loop ends; a folder reached twice along
// different paths is walked twice.
int Walker::walkFolder(const std::string& name, const std::string& outputName, const PathInfo& info) {
    bool known = info.device != 0 || info.inode != 0;
    if (known) {
        for (const FolderId& id : descent_) {
            if (id.device == info.device && id.inode == info.inode) {
                diagLog(kDiagWarning, "Skipping folder %.*s: it leads back into a folder being walked",
                        nameLength(name), name.data());
                return kWalkOk;
            }
        }
        descent_.push_back({info.device, info.inode});
    }
    handler_.catchUp(info);
    DirListing listing;
    fsList(inputRoot_, name, listing);
    int result = kWalkOk;
    for (const auto& [entryName, entry] : listing) {
        std::string childName = name;
        appendChild(childName, entryName);
        std::string childOutput = outputName;
        appendChild(childOutput, entryName);
        result |= walkPath(childName, childOutput, true);
    }
    if (known)
        descent_.pop_back();
    return result;
}

int Walker::processFile(const std::string& name, const std::string& outputName, const PathInfo& info) {
    if (!isLogFileName(name))
        return kWalkOk;
    ++fileCount_;
    byteCount_ += info.size;
    return handler_.onLogFile(name, outputName, info);
}

} // namespace

bool isLogFileName(std::string_view name) {
    return isLogExtension(pathExtension(name));
}

std::unique_ptr<InputWalker> inputWalkerCreate(FileSystem& inputRoot, FileSystem& outputRoot,
                                               const WalkerOptions& options, MessageSink& sink) {
    auto converter = std::make_unique<FileConverter>(inputRoot, options, sink);
    LogFileHandler& handler = *converter;
    return std::make_unique<Walker>(inputRoot, outputRoot, options, handler, std::move(converter));
}

std::unique_ptr<InputWalker> inputWalkerCreate(FileSystem& inputRoot, FileSystem& outputRoot,
                                               const WalkerOptions& options, LogFileHandler& handler) {
    return std::make_unique<Walker>(inputRoot, outputRoot, options, handler);
}

} // namespace loglathe
