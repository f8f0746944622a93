// Entry point: parse the command line, build the chain of sinks, walk the inputs, print the
// summaries, release everything in order, and return the exit status.

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

int run(int argc, char** argv) {
    int status = kStatusSetup;
    auto config = runConfigCreate();
    if (!config)
        return status;
    if (!parseCommandLine(*config, argc, argv, &status)) {
        runConfigFree(config);
        return status;
    }

    // The walker and the writer keep references to these option blocks for the whole run.
    const WriterOptions writerOptions = config->writerOptions();
    WalkerOptions walkerOptions = config->walkerOptions();
    auto writer = writerCreate(*config->outputRoot(), config->canDbs, config->linDbs, writerOptions);
    if (!writer) {
        runConfigFree(config);
        return status;
    }
    auto chain = tpChainCreate(*config, *writer);
    if (!chain) {
        runConfigFree(config);
        writer.reset();
        return kStatusSetup;
    }
    // Declared before the walker, which reports to it, so that it outlives the walker.
    auto progress = progressCreate(walkerOptions.nonInteractive, *config->inputRoot, config->inputs);
    walkerOptions.observer = progress.get();
    auto walker = inputWalkerCreate(*config->inputRoot, *config->outputRoot(), walkerOptions, *chain->walkerSink);
    if (!walker) {
        runConfigFree(config);
        tpChainFree(chain);
        writer.reset();
        return status;
    }

    RunTotals totals;
    totals.clockStart = std::clock();
    status = walker->run(config->inputs);
    totals.clockEnd = std::clock();
    if (progress)
        progress->finish(); // standard output gets the summaries on a clean line

    totals.files = walker->fileCount();
    totals.records = walker->recordCount();
    totals.bytes = walker->byteCount();
    TpSummary tp = tpManagerSummary(*chain->manager);
    totals.tpSuccessful = tp.successful;
    totals.tpFailed = tp.failed;
    totals.tpUnfinished = tp.unfinished;
    const WriterSummary& written = writer->summary();
    totals.outFiles = written.files;
    totals.outMessages = written.messages;
    totals.outSignals = written.signals;
    printSummaries(stdout, totals);

    // The run state goes first: the writer's release does not use the databases or file systems.
    runConfigFree(config);
    walker.reset();
    tpChainFree(chain);
    writer.reset();
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
