#pragma once
// The progress line on a terminal: one line on standard error, redrawn a few times per second while
// the inputs are converted (files done of total, bytes, frames per second, time left), and erased
// before the summaries. It is shown only when standard error is a terminal that understands the
// erase sequence and --non-interactive was not given; in a pipe, a file or CI nothing is written.

#include "input/input_walker.h"
#include "platform/file_system.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace loglathe {

// What the walk will read: the log files below the inputs and their sizes, counted before the run.
struct WalkTotals {
    uint64_t files = 0;
    uint64_t bytes = 0;
};

// Counts the log files the walker will take from `names` (relative to `root`), following its rules:
// depth-first through folders, a folder already on the descent path is not entered again, missing
// inputs count nothing. Writes no diagnostics.
WalkTotals countLogFiles(FileSystem& root, const std::vector<std::string>& names);

// One state of the line, as the walk reported it.
struct ProgressState {
    WalkAdvance advance;
    WalkTotals totals;
    double seconds = 0; // wall-clock time since the walk began
};

// The text of the line for a terminal `columns` wide (cut to columns - 1 characters, so that the
// cursor never wraps): "3/12 files, 1.2 GB of 4.0 GB, 850k frames/s, 1:23 left".
std::string progressText(const ProgressState& state, int columns);

class Progress : public WalkObserver {
public:
    // `fd` is the terminal; `totals` what the walk will read.
    Progress(int fd, WalkTotals totals);
    ~Progress() override;

    // Draws the first state at once, then at most once per kRedrawSeconds.
    void onWalkAdvance(const WalkAdvance& advance) override;
    // Erases the line if one is shown; nothing is drawn afterwards.
    void finish();

    static constexpr double kRedrawSeconds = 0.25;

private:
    void draw(const WalkAdvance& advance, double seconds);

    int fd_;
    WalkTotals totals_;
    double start_;
    double lastDraw_ = -1;
    bool shown_ = false;
    bool finished_ = false;
};

// True when a progress line may be shown on descriptor `fd`: it is a terminal and TERM names one
// that understands the erase sequence (set, not "dumb").
bool progressWanted(int fd, bool nonInteractive);

// The progress line for a run over `names`, or null when none is to be shown.
std::unique_ptr<Progress> progressCreate(bool nonInteractive, FileSystem& inputRoot,
                                         const std::vector<std::string>& names);

} // namespace loglathe
