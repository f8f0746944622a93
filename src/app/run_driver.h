#pragma once
// The run: parse the command line, build the chain of sinks, walk the inputs, close the output files,
// print the summaries, and answer the exit status; leaving it releases everything in order.

#include "app/run_config.h"

#include <cstdio>

namespace loglathe {

// What a run reaches outside the conversion. The program runs on the disk and prints to standard
// output; a test may put the run on file systems of its own, for instance ones that fail on purpose.
struct RunEnvironment {
    FileSystemFactory makeFileSystem; // for the input root and the output folder; empty: fsCreate
    std::FILE* summaryOut = stdout;
};

// The program's whole run for its arguments; answers the exit status.
int runConversion(int argc, char** argv, const RunEnvironment& environment = {});

} // namespace loglathe
