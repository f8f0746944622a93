#include "app/progress.h"

#include "platform/diag_log.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

namespace loglathe {

namespace {

// Back to the start of the line and erase it; the same sequence goes in front of every diagnostics
// line while the progress line is shown.
constexpr const char* kEraseLine = "\r\x1b[K";

struct FolderId {
    uint64_t device;
    uint64_t inode;
};

void countFolder(FileSystem& root, const std::string& name, const PathInfo& info,
                 std::vector<FolderId>& descent, WalkTotals& totals);

void countEntry(FileSystem& root, const std::string& name, const PathInfo& info,
                std::vector<FolderId>& descent, WalkTotals& totals) {
    if (info.kind == PathKind::Directory) {
        countFolder(root, name, info, descent, totals);
    } else if (info.kind == PathKind::File && isLogFileName(name)) {
        ++totals.files;
        totals.bytes += info.size;
    }
}

void countFolder(FileSystem& root, const std::string& name, const PathInfo& info,
                 std::vector<FolderId>& descent, WalkTotals& totals) {
    bool known = info.device != 0 || info.inode != 0;
    if (known) {
        for (const FolderId& id : descent)
            if (id.device == info.device && id.inode == info.inode)
                return;
        descent.push_back({info.device, info.inode});
    }
    DirListing listing;
    fsList(root, name, listing);
    for (const auto& [entryName, entry] : listing) {
        std::string child = name;
        if (!child.empty() && child.back() != '/')
            child.push_back('/');
        child.append(entryName);
        countEntry(root, child, entry.info, descent, totals);
    }
    if (known)
        descent.pop_back();
}

double monotonicSeconds() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Binary multiples with the letters of the reader summary and of --buffer: 1 KB is 1024 bytes.
std::string byteText(uint64_t bytes) {
    static const char* const kUnits[] = {"KB", "MB", "GB", "TB"};
    char text[32];
    if (bytes < 1024) {
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
        return text;
    }
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(kUnits)) {
        value /= 1024;
        ++unit;
    }
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

std::string rateText(double perSecond) {
    char text[32];
    if (perSecond < 1000)
        std::snprintf(text, sizeof text, "%.0f", perSecond);
    else if (perSecond < 1e6)
        std::snprintf(text, sizeof text, "%.1fk", perSecond / 1e3);
    else
        std::snprintf(text, sizeof text, "%.2fM", perSecond / 1e6);
    return text;
}

// "m:ss" below an hour, "h:mm:ss" above.
std::string durationText(double seconds) {
    auto whole = static_cast<unsigned long long>(seconds + 0.5);
    char text[40];
    if (whole < 3600)
        std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60, whole % 60);
    return text;
}

int terminalColumns(int fd) {
    struct winsize size {};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

WalkTotals countLogFiles(FileSystem& root, const std::vector<std::string>& names) {
    WalkTotals totals;
    std::vector<FolderId> descent;
    for (const std::string& name : names) {
        PathInfo info;
        if (fsStat(root, name, info))
            countEntry(root, name, info, descent, totals);
    }
    return totals;
}

std::string progressText(const ProgressState& state, int columns) {
    const WalkAdvance& done = state.advance;
    uint64_t totalFiles = std::max(state.totals.files, done.filesDone);
    uint64_t totalBytes = std::max(state.totals.bytes, done.bytesDone);

    std::string left = "--:--";
    if (done.bytesDone >= totalBytes)
        left = durationText(0);
    else if (done.bytesDone > 0 && state.seconds >= 1)
        left = durationText(state.seconds * static_cast<double>(totalBytes - done.bytesDone) /
                            static_cast<double>(done.bytesDone));
    std::string rate = state.seconds > 0 ? rateText(static_cast<double>(done.records) / state.seconds) : "0";

    char head[64];
    std::snprintf(head, sizeof head, "loglathe: %llu/%llu files, ",
                  static_cast<unsigned long long>(done.filesDone),
                  static_cast<unsigned long long>(totalFiles));
    std::string text = head;
    text += byteText(done.bytesDone) + " of " + byteText(totalBytes) + ", ";
    text += rate + " frames/s, " + left + " left";
    std::size_t room = columns > 1 ? static_cast<std::size_t>(columns - 1) : 0;
    if (text.size() > room)
        text.resize(room);
    return text;
}

Progress::Progress(int fd, WalkTotals totals) : fd_(fd), totals_(totals), start_(monotonicSeconds()) {}

Progress::~Progress() {
    finish();
}

void Progress::onWalkAdvance(const WalkAdvance& advance) {
    if (finished_)
        return;
    double seconds = monotonicSeconds() - start_;
    if (lastDraw_ >= 0 && seconds - lastDraw_ < kRedrawSeconds)
        return;
    draw(advance, seconds);
}

void Progress::draw(const WalkAdvance& advance, double seconds) {
    lastDraw_ = seconds;
    std::string line = "\r";
    line += progressText({advance, totals_, seconds}, terminalColumns(fd_));
    // Erasing what follows the text, not the line first, keeps the line from flickering.
    line += "\x1b[K";
    writeAll(fd_, line);
    if (!shown_) {
        shown_ = true;
        diagSetLineLead(kEraseLine);
    }
}

void Progress::finish() {
    if (finished_)
        return;
    finished_ = true;
    if (!shown_)
        return;
    writeAll(fd_, kEraseLine);
    diagSetLineLead("");
}

bool progressWanted(int fd, bool nonInteractive) {
    if (nonInteractive || !::isatty(fd))
        return false;
    const char* term = std::getenv("TERM");
    return term && *term && std::strcmp(term, "dumb") != 0;
}

std::unique_ptr<Progress> progressCreate(bool nonInteractive, FileSystem& inputRoot,
                                         const std::vector<std::string>& names) {
    if (!progressWanted(2, nonInteractive))
        return nullptr;
    return std::make_unique<Progress>(2, countLogFiles(inputRoot, names));
}

} // namespace loglathe
