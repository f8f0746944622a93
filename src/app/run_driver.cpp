#include "app/run_driver.h"

#include "app/command_line.h"
#include "app/parallel_run.h"
#include "app/progress.h"
#include "app/run_summary.h"
#include "app/tp_chain.h"
#include "input/input_walker.h"
#include "output/output_writer.h"

#include <ctime>

namespace loglathe {

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

// The conversion on `config.jobs` workers; the same outputs as runSequential.
int runParallel(const RunConfig& config, const RunEnvironment& environment) {
    // The walker reports to the run, the run's workers to the progress line, so the progress line
    // outlives the run and the run the walker.
    WalkerOptions walkerOptions = config.walkerOptions();
    std::unique_ptr<Progress> progress =
        progressCreate(walkerOptions.nonInteractive, *config.inputRoot, config.inputs);
    std::unique_ptr<ParallelRun> run = parallelRunCreate(config, config.jobs, progress.get());
    if (!run)
        return kStatusSetup;
    walkerOptions.observer = nullptr; // the workers report the advance
    std::unique_ptr<InputWalker> walker =
        inputWalkerCreate(*config.inputRoot, *config.outputRoot(), walkerOptions, *run);

    const std::clock_t clockStart = std::clock();
    int status = walker->run(config.inputs);
    int converted = run->finish();
    // An abandoned walk answers that alone, as on one thread.
    if (!walker->abandoned())
        status |= converted;
    if (!run->closeFiles())
        status |= kWalkFileFailed;
    const std::clock_t clockEnd = std::clock();
    if (progress)
        progress->finish();

    RunTotals totals;
    totals.files = walker->fileCount();
    totals.bytes = walker->byteCount();
    run->addTotals(totals);
    totals.clockStart = clockStart;
    totals.clockEnd = clockEnd;
    printSummaries(environment.summaryOut, totals);
    return status;
}

} // namespace

int runConversion(int argc, char** argv, const RunEnvironment& environment) {
    // Declared in the reverse of their order of release, so that leaving on any path releases the
    // run state first, then the walker, the transport-protocol chain (the manager, which drops the
    // unfinished sessions, then the MUX transport) and last the writer. The walker and the writer
    // refer to the file systems and databases of the run state, but their destructors do not touch
    // them.
    std::unique_ptr<OutputWriter> writer;
    std::unique_ptr<TpChain> chain;
    std::unique_ptr<Progress> progress; // the walker reports to it, so it outlives the walker
    std::unique_ptr<InputWalker> walker;
    std::unique_ptr<RunConfig> config = runConfigCreate();

    int status = kStatusSetup;
    if (!config)
        return status;
    config->makeFileSystem = environment.makeFileSystem;
    if (!parseCommandLine(*config, argc, argv, &status))
        return status;
    if (config->jobs > 1)
        return runParallel(*config, environment);
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
    // No row comes after the walk, so the files are closed now, while a failure can still reach the
    // exit status (the inputs were judged when their rows were written).
    if (!writer->closeFiles())
        status |= kWalkFileFailed;
    const std::clock_t clockEnd = std::clock();
    if (progress)
        progress->finish(); // the summaries start on a clean line

    RunTotals totals = collectTotals(*walker, *chain->manager, *writer);
    totals.clockStart = clockStart;
    totals.clockEnd = clockEnd;
    printSummaries(environment.summaryOut, totals);
    return status;
}

} // namespace loglathe
