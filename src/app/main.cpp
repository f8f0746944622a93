// Entry point: parse the command line, build the chain of sinks, walk the inputs, print the
// summaries, release everything in order, and return the exit status.

#include "app/command_line.h"
#include "app/run_config.h"
#include "app/run_summary.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <new>

using namespace loglathe;

namespace {

int run(int argc, char** argv) {
    int status = kStatusSetup;
    auto config = runConfigCreate();
    if (!config)
        return status;
    if (!parseCommandLine(*config, argc, argv, &status)) {
        runConfigFree(config);
        return status;
    }

    RunTotals totals;
    totals.clockStart = std::clock();
    status = 0;
    totals.clockEnd = std::clock();
    printSummaries(stdout, totals);
    runConfigFree(config);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    // A file-size limit must show up as a write error, not end the process.
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("loglathe: out of memory\n", stderr);
        return kStatusSetup;
    }
}
