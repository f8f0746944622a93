#pragma once
// The command line: builds the option table, parses the arguments into the run state, answers help
// and version, sets the diagnostics output level, finds the common root of the inputs, creates the
// two file systems and runs the after-parse hook (which loads the databases).

#include "app/run_config.h"

#include <string>
#include <vector>

namespace loglathe {

// Exit statuses of the command line.
enum CommandLineStatus : int {
    kStatusOk = 0,
    kStatusSetup = 129, // help, no arguments, set-up failures
    kStatusMissingValue = 130,
    kStatusBadValue = 131, // invalid integer, unexpected argument, verbosity out of range
    kStatusNoCommonRoot = 132,
    kStatusParseError = 128 + 6, // any other command-line error (printed)
};

// True when the conversion is to run. On false, *status holds the exit status (129 unless the
// version option, a command-line error or root detection set another).
bool parseCommandLine(RunConfig& config, int argc, char** argv, int* status);

// Finds the one parent folder of all (absolute) inputs, stores it in commonRoot and makes the inputs
// relative to it. Logs and answers false when an input has no parent or the parents differ.
bool detectCommonRoot(RunConfig& config);

} // namespace loglathe
