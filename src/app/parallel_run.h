#pragma once
// Conversion on several worker threads, with the same outputs as converting on one.
//
// Every file start that does not continue the file before it (another logger or session, a split
// neither equal nor one higher) resets the whole conversion state: transport sessions are dropped and
// the output files closed. A run of continued files is therefore a unit of work of its own. The walk
// stays on the calling thread; it reads each file's header to cut the units and hands each unit to
// one worker, which converts its files in walk order on a thread of its own, with a writer and a
// transport-protocol chain of its own. While fewer units than workers are being converted, a
// worker's writer formats its rows on a second thread. The databases and options are shared
// read-only.
//
// Units whose files can land in the same output files (same logger folder and session) go to the
// same worker, in walk order, so that its writer appends to what an earlier unit wrote as one writer
// would. Diagnostics are held per file and written in walk order (DiagSequence), interleaved with
// the walk's own lines as on one thread. Results, counters and the transport sessions still open at
// the end are gathered so that the summaries and the exit status equal those of a run on one thread.

#include "app/run_config.h"
#include "app/run_summary.h"
#include "input/input_walker.h"

#include <memory>

namespace loglathe {

class ParallelRun : public LogFileHandler {
public:
    // Call once after the walk (also an abandoned one): waits for every file handed out and answers
    // the OR of their results. The diagnostics of all files are written by then.
    virtual int finish() = 0;
    // Closes every worker's output files after finish(); false (reported per file) when one failed.
    virtual bool closeFiles() = 0;
    // The counters of the summaries, after finish(): records, transport protocols and writer.
    virtual void addTotals(RunTotals& totals) = 0;
};

// `jobs` workers (at least 2) over the databases and file systems of `config`, which must outlive the
// run; `observer` (optional) receives the summed advance of all workers from their threads. The
// calling thread's diagnostics go in order with the workers' from here until finish(). Null, after
// what the setup reported, when a writer, a chain or a thread cannot be had.
std::unique_ptr<ParallelRun> parallelRunCreate(const RunConfig& config, int jobs, WalkObserver* observer);

} // namespace loglathe
