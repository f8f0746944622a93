// Entry point: the run on the disk, with the summaries on standard output.

#include "app/command_line.h"
#include "app/run_driver.h"

#include <csignal>
#include <cstdio>
#include <new>

int main(int argc, char** argv) {
    // A file-size limit must show up as a write error, not end the process.
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        return loglathe::runConversion(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("loglathe: out of memory\n", stderr);
        return loglathe::kStatusSetup;
    }
}
