#include "app/parallel_run.h"

#include "app/command_line.h"
#include "app/tp_chain.h"
#include "input/file_converter.h"
#include "input/log_reader.h"
#include "output/output_writer.h"
#include "platform/diag_log.h"
#include "platform/diag_sequence.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace loglathe {

namespace {

// Enough of a log to read its header.
constexpr std::size_t kHeaderProbeBuffer = 4096;

// The header values that decide continuation and the output files.
struct HeaderKey {
    std::string loggerId;
    uint32_t session = 0;
    uint32_t split = 0;
};

// The header of a log file as the converter will read it: `key` is empty when the header is
// rejected (the converter then reports it). A file that cannot be opened or whose header cannot be
// read is `unreadable`: what a worker would find in it is unknown, so the walk reports it as the
// converter would and hands it to no worker. Writes no diagnostics.
struct Probe {
    std::optional<HeaderKey> key;
    bool unreadable = false;
    bool opened = false;
};

Probe probeHeader(FileSystem& inputRoot, const std::string& name) {
    std::string ignored;
    DiagCaptureScope quiet(&ignored);
    Probe probe;
    std::unique_ptr<ByteStream> stream = fsOpen(inputRoot, name, kFsRead);
    probe.opened = stream != nullptr;
    probe.unreadable = !probe.opened;
    if (!stream)
        return probe;
    stream = bufferedReaderCreate(std::move(stream), kHeaderProbeBuffer);
    if (!stream)
        return probe;
    if (std::unique_ptr<LogReader> reader = logReaderCreate(*stream)) {
        const LogHeader& header = reader->header();
        HeaderKey probed{header.loggerId.empty() ? "LOGGERID" : header.loggerId,
                         static_cast<uint32_t>(header.session), static_cast<uint32_t>(header.split)};
        if (probed.session != 0 && probed.split != 0)
            probe.key = std::move(probed);
    } else {
        probe.unreadable = streamFailed(stream.get());
    }
    streamClose(stream);
    return probe;
}

// Whether a file with header `next` continues one with header `previous`, failures aside: the
// converter then passes the sink's state on from one to the other.
bool headerContinues(const HeaderKey& previous, const HeaderKey& next) {
    return next.loggerId == previous.loggerId && next.session == previous.session &&
           (next.split == previous.split || next.split == previous.split + 1);
}

// Files with the same key may be written to the same output files.
std::string outputKeyOf(const HeaderKey& header) {
    return loggerFolderName(header.loggerId) + '/' + std::to_string(header.session);
}

struct FileJob {
    std::string name;
    std::string outputName;
    PathInfo info;
    DiagSequence::Slot slot = 0;
};

// A run of files that continue each other, in walk order; files are added while the walk goes on.
struct Unit {
    std::vector<FileJob> files; // guarded by the run's mutex
    bool closed = false;        // no more files will come; guarded by the run's mutex
    // Written by the worker, read after it has been joined.
    int result = kWalkOk;
    bool started = false;      // some file reached the sink
    uint64_t sessionsLeft = 0; // transport sessions still open after its last file
    std::size_t worker = 0;    // the worker converting it
};

// Sums the advances of the workers for one observer.
class AdvanceSum {
public:
    AdvanceSum(WalkObserver* target, std::size_t parts) : target_(target), parts_(parts) {}

    void report(std::size_t part, const WalkAdvance& advance) {
        std::lock_guard<std::mutex> lock(mutex_);
        parts_[part] = advance;
        WalkAdvance sum;
        for (const WalkAdvance& p : parts_) {
            sum.filesDone += p.filesDone;
            sum.records += p.records;
            sum.bytesDone += p.bytesDone;
        }
        target_->onWalkAdvance(sum);
    }

private:
    WalkObserver* target_;
    std::mutex mutex_;
    std::vector<WalkAdvance> parts_;
};

class WorkerObserver final : public WalkObserver {
public:
    WorkerObserver(AdvanceSum& sum, std::size_t part) : sum_(sum), part_(part) {}
    void onWalkAdvance(const WalkAdvance& advance) override { sum_.report(part_, advance); }

private:
    AdvanceSum& sum_;
    std::size_t part_;
};

struct Worker {
    // Released in the reverse order: the converter, the chain (which refers to the writer), the writer.
    std::unique_ptr<OutputWriter> writer;
    std::unique_ptr<TpChain> chain;
    std::unique_ptr<WorkerObserver> observer;
    std::unique_ptr<FileConverter> converter;
    std::deque<Unit*> queue;  // guarded by the run's mutex
    uint64_t outstanding = 0; // bytes handed to it and not yet converted; guarded by the run's mutex
    std::thread thread;
};

class Run final : public ParallelRun {
public:
    Run(const RunConfig& config, WalkObserver* observer, std::size_t jobs)
        : config_(config), sum_(observer, jobs), hasObserver_(observer != nullptr), threads_(jobs) {}
    ~Run() override;

    bool setUp(std::size_t jobs);
    int onLogFile(const std::string& name, const std::string& outputName, const PathInfo& info) override;
    bool catchUp(const PathInfo& info) override;
    uint64_t recordCount() const override;
    int finish() override;
    bool closeFiles() override;
    void addTotals(RunTotals& totals) override;

private:
    Unit& startUnit(const std::optional<HeaderKey>& header);
    std::size_t workerFor(const std::optional<HeaderKey>& header);
    void work(Worker& worker);
    void convertUnit(Worker& worker, Unit& unit);
    void captureMainLines();

    const RunConfig& config_;
    AdvanceSum sum_;
    bool hasObserver_;
    // Workers converting a unit and writers' row threads in use, against the number of workers: a
    // writer formats its rows on a second thread (OutputWriter::shareRows) only while a worker's
    // core would otherwise be idle, so that a long session uses two cores when no other unit needs
    // them.
    ThreadBudget threads_; // outlives the workers' writers
    std::vector<std::unique_ptr<Worker>> workers_;
    DiagSequence sequence_;
    DiagSequence::Slot mainSlot_ = 0; // the walk's own lines since the last file
    bool mainOpen_ = false;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool walkDone_ = false;     // guarded by mutex_
    uint64_t pendingFiles_ = 0; // handed out and not yet converted; guarded by mutex_

    // The walk's side.
    std::vector<std::unique_ptr<Unit>> units_; // in walk order
    Unit* current_ = nullptr;
    std::optional<HeaderKey> previous_; // the last file whose header was read
    std::map<std::string, std::size_t> workerOfKey_;
    std::set<std::pair<uint64_t, uint64_t>> handedOut_; // identities of the files handed out, with -d
    std::set<std::pair<uint64_t, uint64_t>> listed_;    // and of the folders listed, the root first
    bool finished_ = false;
};

bool Run::setUp(std::size_t jobs) {
    WriterOptions writerOptions = config_.writerOptions();
    writerOptions.openFileLimit = std::max<std::size_t>(writerDescriptorBudget() / jobs, 1);
    WalkerOptions walkerOptions = config_.walkerOptions();
    for (std::size_t i = 0; i < jobs; ++i) {
        auto worker = std::make_unique<Worker>();
        worker->writer = writerCreate(*config_.outputRoot(), config_.canDbs, config_.linDbs, writerOptions);
        if (!worker->writer)
            return false;
        worker->writer->shareRows(&threads_);
        {
            // Configuring the chains reports the same as for one chain; once is enough.
            std::string repeated;
            DiagCaptureScope quiet(i == 0 ? diagCapture() : &repeated);
            worker->chain = tpChainCreate(config_, *worker->writer);
        }
        if (!worker->chain)
            return false;
        worker->observer = std::make_unique<WorkerObserver>(sum_, i);
        walkerOptions.observer = hasObserver_ ? worker->observer.get() : nullptr;
        // Each worker reads and decodes its files on its own thread. The second core of a long
        // session goes to formatting its rows (the writer's row thread): reading ahead on a second
        // thread instead measured slower than one thread.
        worker->converter =
            std::make_unique<FileConverter>(*config_.inputRoot, walkerOptions, *worker->chain->walkerSink);
        workers_.push_back(std::move(worker));
    }
    for (auto& worker : workers_) {
        try {
            Worker* w = worker.get();
            worker->thread = std::thread([this, w] {
                try {
                    work(*w);
                } catch (const std::bad_alloc&) {
                    exitOutOfMemory();
                }
            });
        } catch (const std::system_error&) {
            return false;
        }
    }
    // The names on the command line are the root folder's entries, listed as the walk begins.
    PathInfo root;
    if (config_.deleteConverted && fsStat(*config_.inputRoot, "", root))
        catchUp(root);
    mainSlot_ = sequence_.open();
    mainOpen_ = true;
    captureMainLines();
    return true;
}

Run::~Run() {
    if (!finished_)
        finish();
}

void Run::captureMainLines() {
    diagCaptureTo(sequence_.lines(mainSlot_));
}

int Run::onLogFile(const std::string& name, const std::string& outputName, const PathInfo& info) {
    Probe probe = probeHeader(*config_.inputRoot, name);
    // A worker would have to learn its header first, when it may already write files another worker
    // owns; a failure here is the file's failure, reported in walk order as one thread reports it.
    if (probe.unreadable)
        return reportUnreadableLog(name, probe.opened);
    const std::optional<HeaderKey>& header = probe.key;
    // A file whose header is rejected changes nothing for the files after it, so it joins the unit
    // in progress.
    bool startsUnit = !current_ || (header && !(previous_ && headerContinues(*previous_, *header)));
    if (header)
        previous_ = header;

    diagCaptureTo(nullptr);
    sequence_.close(mainSlot_);
    FileJob job{name, outputName, info, sequence_.open()};
    if (config_.deleteConverted && (info.device != 0 || info.inode != 0))
        handedOut_.insert({info.device, info.inode});
    mainSlot_ = sequence_.open();
    captureMainLines();

    std::lock_guard<std::mutex> lock(mutex_);
    Unit& unit = startsUnit ? startUnit(header) : *current_;
    unit.files.push_back(std::move(job));
    workers_[unit.worker]->outstanding += info.size;
    ++pendingFiles_;
    changed_.notify_all();
    return kWalkOk;
}

// Called with mutex_ held.
Unit& Run::startUnit(const std::optional<HeaderKey>& header) {
    if (current_)
        current_->closed = true;
    units_.push_back(std::make_unique<Unit>());
    current_ = units_.back().get();
    current_->worker = workerFor(header);
    workers_[current_->worker]->queue.push_back(current_);
    return *current_;
}

// The worker that wrote the unit's output files before, else the one with the least work waiting.
// Called with mutex_ held.
std::size_t Run::workerFor(const std::optional<HeaderKey>& header) {
    std::string key = header ? outputKeyOf(*header) : std::string();
    if (header) {
        auto found = workerOfKey_.find(key);
        if (found != workerOfKey_.end())
            return found->second;
    }
    std::size_t best = 0;
    for (std::size_t i = 1; i < workers_.size(); ++i)
        if (workers_[i]->outstanding + workers_[i]->queue.size() <
            workers_[best]->outstanding + workers_[best]->queue.size())
            best = i;
    if (header)
        workerOfKey_.emplace(std::move(key), best);
    return best;
}

void Run::work(Worker& worker) {
    for (;;) {
        Unit* unit = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return !worker.queue.empty() || walkDone_; });
            if (worker.queue.empty())
                return;
            unit = worker.queue.front();
            worker.queue.pop_front();
        }
        threads_.enter();
        convertUnit(worker, *unit);
        threads_.leave();
    }
}

void Run::convertUnit(Worker& worker, Unit& unit) {
    // The unit's first file starts a new output session, as it would after any other file.
    worker.converter->forgetPrevious();
    const uint64_t startsBefore = worker.converter->sinkStarts();
    for (std::size_t next = 0;; ++next) {
        FileJob job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return next < unit.files.size() || unit.closed || walkDone_; });
            if (next >= unit.files.size())
                break;
            job = unit.files[next];
        }
        {
            DiagCaptureScope capture(sequence_.lines(job.slot));
            unit.result |= worker.converter->onLogFile(job.name, job.outputName, job.info);
        }
        sequence_.close(job.slot);
        std::lock_guard<std::mutex> lock(mutex_);
        worker.outstanding -= job.info.size;
        if (--pendingFiles_ == 0)
            changed_.notify_all();
    }
    unit.started = worker.converter->sinkStarts() != startsBefore;
    if (unit.started)
        unit.sessionsLeft = tpManagerSummary(*worker.chain->manager).unfinished;
}

// Only removal after conversion changes the inputs, so only then can a file handed out earlier be
// gone when the walk comes to it again: named twice, or in a folder reached along a second path.
// Such a folder is listed again only once every file handed out so far is done.
bool Run::catchUp(const PathInfo& info) {
    if (!config_.deleteConverted || (info.device == 0 && info.inode == 0))
        return false;
    std::pair<uint64_t, uint64_t> identity{info.device, info.inode};
    if (info.kind == PathKind::Directory) {
        if (listed_.insert(identity).second)
            return false;
    } else if (!handedOut_.count(identity)) {
        return false;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return pendingFiles_ == 0; });
    return true;
}

uint64_t Run::recordCount() const {
    uint64_t records = 0;
    for (const auto& worker : workers_)
        records += worker->converter->recordCount();
    return records;
}

int Run::finish() {
    finished_ = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        walkDone_ = true;
        if (current_)
            current_->closed = true;
    }
    changed_.notify_all();
    if (mainOpen_) {
        diagCaptureTo(nullptr);
        sequence_.close(mainSlot_);
        mainOpen_ = false;
    }
    for (auto& worker : workers_)
        if (worker->thread.joinable())
            worker->thread.join();
    int result = kWalkOk;
    for (const auto& unit : units_)
        result |= unit->result;
    return result;
}

bool Run::closeFiles() {
    bool ok = true;
    for (auto& worker : workers_)
        ok = worker->writer->closeFiles() && ok;
    return ok;
}

void Run::addTotals(RunTotals& totals) {
    totals.records = recordCount();
    totals.tpSuccessful = totals.tpFailed = totals.tpUnfinished = 0;
    totals.outFiles = totals.outMessages = totals.outSignals = 0;
    for (auto& worker : workers_) {
        TpSummary tp = tpManagerSummary(*worker->chain->manager);
        totals.tpSuccessful += tp.successful;
        totals.tpFailed += tp.failed;
        const WriterSummary& written = worker->writer->summary();
        totals.outFiles += written.files;
        totals.outMessages += written.messages;
        totals.outSignals += written.signals;
    }
    // Sessions are dropped at every unit's start, so only those of the last unit that reached the
    // sinks are still open at the end of a run on one thread.
    for (auto unit = units_.rbegin(); unit != units_.rend(); ++unit) {
        if ((*unit)->started) {
            totals.tpUnfinished = (*unit)->sessionsLeft;
            break;
        }
    }
}

} // namespace

std::unique_ptr<ParallelRun> parallelRunCreate(const RunConfig& config, int jobs, WalkObserver* observer) {
    auto count = static_cast<std::size_t>(jobs < 2 ? 2 : jobs);
    auto run = std::make_unique<Run>(config, observer, count);
    if (!run->setUp(count))
        return nullptr;
    return run;
}

} // namespace loglathe
