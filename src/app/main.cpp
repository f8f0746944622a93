// Entry point: parse the command line, build the chain of sinks, walk the inputs, print the
// summaries, and return the exit status; leaving the run releases everything in order.

#include "app/command_line.h"
#include "app/progress.h"
#include "app/run_config.h"
#include "app/run_summary.h"
#include "app/tp_chain.h"
#include "input/input_walker.h"
#include "output/output_writer.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <new>

using namespace loglathe;

namespace {

RunTotals collectTotals(const InputWalker& walker, TpManager& manager, const OutputWriter& writer) {
    RunTotals totals;
    totals.files = walker.fileCount();
    totals.records = walker.recordCount();
    totals.bytes = walker.byteCount();
    TpSummary tp = tpManagerSummary(manager);
    totals.tpSuccessful = tp.successful;
    totals.tpFailed = tp.failed;
    totals.tpUnfinished = tp.unfinished;
    const WriterSummary& written = writer.summary();
    totals.outFiles = written.files;
    totals.outMessages = written.messages;
    totals.outSignals = written.signals;
    return totals;
}

int run(int argc, char** argv) {
    // Declared in the reverse of their order of release, so that leaving on any path releases the
    // run state first, then the walker, the transport-protocol chain (the manager, which drops the
    // unfinished sessions, then the MUX transport) and last the writer, which closes its CSV files.
    // The walker and the writer refer to the file systems and databases of the run state, but their
    // destructors do not touch them.
    std::unique_ptr<OutputWriter> writer;
    std::unique_ptr<TpChain> chain;
    std::unique_ptr<Progress> progress; // the walker reports to it, so it outlives the walker
    std::unique_ptr<InputWalker> walker;
    std::unique_ptr<RunConfig> config = runConfigCreate();

    int status = kStatusSetup;
    if (!config || !parseCommandLine(*config, argc, argv, &status))
        return status;
    writer = writerCreate(*config->outputRoot(), config->canDbs, config->linDbs, config->writerOptions());
    if (!writer)
        return status;
    chain = tpChainCreate(*config, *writer);
    if (!chain)
        return kStatusSetup;
    WalkerOptions walkerOptions = config->walkerOptions();
    progress = progressCreate(walkerOptions.nonInteractive, *config->inputRoot, config->inputs);
    walkerOptions.observer = progress.get();
    walker = inputWalkerCreate(*config->inputRoot, *config->outputRoot(), walkerOptions, *chain->walkerSink);
    if (!walker)
        return status;

    const std::clock_t clockStart = std::clock();
    status = walker->run(config->inputs);
    const std::clock_t clockEnd = std::clock();
    if (progress)
        progress->finish(); // standard output gets the summaries on a clean line

    RunTotals totals = collectTotals(*walker, *chain->manager, *writer);
    totals.clockStart = clockStart;
    totals.clockEnd = clockEnd;
    printSummaries(stdout, totals);
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
