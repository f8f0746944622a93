#include "output/output_writer.h"

#include "db/signal_decode.h"
#include "db/walk_stack.h"
#include "output/output_file.h"
#include "platform/diag_log.h"

#include <array>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <list>
#include <new>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <unordered_map>
#include <vector>

namespace loglathe {

namespace {

const double kQuietNaN = std::bit_cast<double>(uint64_t{0x7FF8000000000000});

// Descriptors kept free for everything else the process opens (the input log, standard streams).
constexpr rlim_t kReservedDescriptors = 32;
// Time stamps beyond this many seconds from 1970 cannot be broken down into a calendar day.
constexpr double kMaxDaySeconds = 1e15;
constexpr int64_t kSecondsPerDay = 86400;
constexpr std::size_t kLoggerIdMax = 15;
// Payloads up to this length (CAN FD frames) are decoded from a zero-padded copy.
constexpr std::size_t kPaddedPayload = 64;

// Only the ASCII letters and digits of a text, walking it by UTF-8 sequences so that the bytes of a
// multi-byte character are dropped together.
std::string alnumOnly(std::string_view text) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        bool letterOrDigit =
            (lead >= '0' && lead <= '9') || (lead >= 'A' && lead <= 'Z') || (lead >= 'a' && lead <= 'z');
        if (length == 1 && letterOrDigit)
            out.push_back(static_cast<char>(lead));
        i += length;
    }
    return out;
}

// The multiplexor group that a decoded multiplexor value selects for its file: the value truncated
// toward zero, its low 32 bits, in the first group holding them. It names the file's folder and sets
// its columns, so that both always agree. Null for a value without a 64-bit integer part (NaN,
// infinities, beyond +-2^63), for a value no group holds, and for a signal that is no multiplexor.
const MuxGroup* fileMuxGroup(const DecodedSignal& decoded) {
    double value = decoded.value;
    if (!decoded.isMultiplexor || !(value > -9.2e18 && value < 9.2e18))
        return nullptr;
    uint32_t selector = static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(value)));
    return findMuxGroup(decoded.signal->muxGroups, selector);
}

// Whether a value is written as it is: within its limits, or the limits are both 0 (none given).
bool valueInRange(double v, double minimum, double maximum) {
    return (minimum <= v && v <= maximum) || (minimum == 0 && maximum == 0);
}

// What decides a file besides the logger, session and day: the message and its signal list, where
// it came from, and the J1939 addresses that are not merged.
struct MessageKey {
    int32_t bus = 0;
    uint8_t channel = 0;
    DbMsgKey key = 0;
    uint8_t source = 0;
    bool hasSource = false;
    uint8_t destination = 0;
    bool hasDestination = false;
};

// One CSV file this run has created, kept for the whole run so that a path needed again is appended
// to rather than truncated.
struct FileEntry {
    std::unique_ptr<OutputFile> file;
    std::list<FileEntry*>::iterator openPosition; // valid while the file's handle is open
    bool failureReported = false;
    bool droppedValueWarned = false;
    // The file's failed() as this thread last saw it: rows queued on the row thread may fail it
    // unseen until the next drain.
    bool failed = false;
};

// How the value list of one file identity lands in the columns of its file. Identities that share a
// path (a partly decoded message, two databases) may have other signals than the file's header.
struct Binding {
    FileEntry* entry = nullptr;
    bool direct = true;            // the values are the file's columns, in order
    std::vector<int32_t> columnOf; // otherwise: the column of each value, or -1 to drop it
};

// What the writer keeps of a message key of one database once a record has had it: the message, and
// for a flat message (see decodesFlat) the signals that become values and the binding its complete
// frames go to. A complete frame of a flat message always decodes the same signals, so its identity,
// and with it the binding, is known without decoding a list or building the identity again.
struct MessagePlan {
    const DbMessage* message = nullptr;
    bool flat = false;
    std::size_t neededBytes = 0;
    std::vector<const DbSignal*> valueSignals; // the non-ignored signals, in order
    Binding* binding = nullptr;                // valid while bindingGeneration is the writer's
    uint64_t bindingGeneration = 0;
};

struct PlanKey {
    const MessageDb* db = nullptr;
    MessageKey key;

    bool operator==(const PlanKey& other) const {
        const MessageKey& a = key;
        const MessageKey& b = other.key;
        return db == other.db && a.key == b.key && a.bus == b.bus && a.channel == b.channel &&
               a.source == b.source && a.hasSource == b.hasSource && a.destination == b.destination &&
               a.hasDestination == b.hasDestination;
    }
};

struct PlanKeyHash {
    std::size_t operator()(const PlanKey& p) const {
        const MessageKey& k = p.key;
        uint64_t fields = uint64_t{k.key} << 32 ^ uint64_t { k.channel } << 24 ^ uint64_t { k.source } << 16 ^
                          uint64_t { k.destination } << 8 ^ uint64_t(k.hasSource) << 4 ^
                          uint64_t(k.hasDestination) << 5 ^ static_cast<uint64_t>(k.bus);
        uint64_t mixed = (fields ^ reinterpret_cast<uintptr_t>(p.db)) * 0x9E3779B97F4A7C15ull;
        return static_cast<std::size_t>(mixed ^ mixed >> 29);
    }
};

struct RecentPlan {
    PlanKey key;
    MessagePlan* plan = nullptr;
};

struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

// The columns of a message's file: the non-ignored signals of the message, in decoding order, and
// below each decoded multiplexor those of the group its file is named by. A frame too short for some
// signals thus creates a file whose header still holds them (NaN in its own row), and the complete
// frames after it lose nothing. For a complete frame of whole-numbered multiplexor values these are
// exactly the decoded signals.
void completeColumns(const DbMessage& message, const std::vector<DecodedSignal>& decoded,
                     std::vector<std::string>& columns) {
    struct Level {
        const std::vector<DbSignal>* signals;
        std::size_t index;
    };
    std::unordered_map<const DbSignal*, const DecodedSignal*> decodedOf;
    for (const DecodedSignal& value : decoded)
        if (value.isMultiplexor)
            decodedOf.emplace(value.signal, &value);
    WalkStack<Level> stack;
    stack.push({&message.signals, 0});
    while (!stack.empty()) {
        Level& level = stack.top();
        if (level.index >= level.signals->size()) {
            stack.pop();
            continue;
        }
        const DbSignal& signal = (*level.signals)[level.index++];
        if (!signal.ignored)
            columns.emplace_back(signal.name);
        auto found = decodedOf.find(&signal);
        if (found == decodedOf.end())
            continue;
        if (const MuxGroup* group = fileMuxGroup(*found->second))
            stack.push({&group->signals, 0});
    }
}

template <typename T> void appendBytes(std::string& out, const T& value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

} // namespace

std::size_t writerDescriptorBudget() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 4096;
    rlim_t soft = limit.rlim_cur;
    rlim_t budget = soft > 2 * kReservedDescriptors ? soft - kReservedDescriptors : soft / 2;
    if (budget > (1u << 20))
        budget = 1u << 20;
    return budget ? static_cast<std::size_t>(budget) : 1;
}

std::string loggerFolderName(std::string_view loggerId) {
    std::string name = alnumOnly(loggerId);
    if (name.size() > kLoggerIdMax)
        name.resize(kLoggerIdMax);
    return name;
}

namespace {

class Writer final : public OutputWriter {
public:
    Writer(FileSystem& outputRoot, const DbChannelTable& canDbs, const DbChannelTable& linDbs,
           const WriterOptions& options)
        : root_(outputRoot), canDbs_(canDbs), linDbs_(linDbs), options_(options),
          folderSuffix_(options.noAppendRoot ? "" : "_out"),
          openLimit_(options.openFileLimit ? options.openFileLimit : writerDescriptorBudget()) {}

    ~Writer() override {
        stopSharing();
        closeAll();
    }

    const WriterSummary& summary() const override { return summary_; }

    bool closeFiles() override {
        inputFailed_ = false;
        closeAll();
        return !inputFailed_;
    }

    void shareRows(ThreadBudget* budget) override { budget_ = budget; }

    bool onFileStart(const FileInfo& info, bool continuation) override {
        inputFailed_ = false;
        if (!continuation || !options_.concat) {
            closeAll();
            loggerId_ = loggerFolderName(info.loggerId);
            session_ = info.session;
            split_ = info.split;
        }
        startSharing();
        return true;
    }

    // Rows of this input must be on their way to the disk before the walker may delete the input.
    bool onFileEnd(const FileInfo&) override {
        stopSharing();
        for (FileEntry* entry : openFiles_)
            if (!entry->file->flush())
                reportWriteFailure(*entry);
        return !inputFailed_;
    }

    bool onRecord(LogRecord& record) override {
        const DbChannelTable* table = record.bus == kBusCan   ? &canDbs_
                                      : record.bus == kBusLin ? &linDbs_
                                                              : nullptr;
        if (!table)
            return true;
        for (const auto& db : table->channel(record.channel))
            writeForDatabase(*db, record);
        return true;
    }

private:
    void writeForDatabase(const MessageDb& db, const LogRecord& record);
    // Inline, so that the key stays in registers: a key stored field by field and loaded whole
    // waits for the stores.
    MessagePlan* planFor(const MessageDb& db, const MessageKey& key) {
        PlanKey planKey{&db, key};
        RecentPlan& recent = recentPlans_[PlanKeyHash{}(planKey) % kRecentPlans];
        if (recent.plan && recent.key == planKey)
            return recent.plan;
        return findPlan(planKey, recent);
    }
    MessagePlan* findPlan(const PlanKey& planKey, RecentPlan& recent);
    bool writeFlat(MessagePlan& plan, std::span<const uint8_t> payload, double timestamp);
    MessageKey keyFor(const MessageDb& db, const LogRecord& record) const;
    void checkDate(double timestamp);
    bool buildValues();
    bool pushValue(double value, double minimum, double maximum);
    Binding* bindingFor(const MessageKey& key);
    void buildRelativePath(const MessageKey& key);
    FileEntry* fileFor(const std::string& relativePath);
    Binding bind(FileEntry& entry);
    void writeRow(Binding& binding, double timestamp);

    bool ensureOpen(FileEntry& entry);
    void makeRoomForOneMore();
    bool evictLeastRecentlyUsed();
    void markOpen(FileEntry& entry);
    void closeEntry(FileEntry& entry);
    void closeAll();
    void reportWriteFailure(FileEntry& entry);

    void startSharing();
    void stopSharing();
    void queueRow(FileEntry& entry, std::span<const double> row, double timestamp);
    void drainRows();
    FileEntry* entryOf(const OutputFile* file);

    FileSystem& root_;
    const DbChannelTable& canDbs_;
    const DbChannelTable& linDbs_;
    WriterOptions options_;
    std::string folderSuffix_;

    // The current output session.
    std::string loggerId_; // letters and digits only, at most 15
    uint32_t session_ = 0;
    uint32_t split_ = 0;

    // The UTC day of the open files, and its range in whole seconds so that most records need no
    // calendar breakdown.
    int year_ = 0;
    int month_ = 0;
    int day_ = 0;
    bool haveDay_ = false;
    int64_t dayStart_ = 0;
    int64_t dayEnd_ = 0;

    WriterSummary summary_;
    bool inputFailed_ = false; // a row of the current input could not be written

    // Every file created this run, by path relative to the output root.
    std::unordered_map<std::string, std::unique_ptr<FileEntry>> filesByPath_;
    // File identity (see identity_) to file, for the current output session and day.
    std::unordered_map<std::string, Binding, TextHash, std::equal_to<>> bindings_;
    // Counts the clearings of bindings_, so that a plan can tell whether its binding still exists.
    uint64_t bindingGeneration_ = 1;
    // Message keys seen this run, by database (only those the database has).
    std::unordered_map<PlanKey, MessagePlan, PlanKeyHash> plans_;
    // The plans last found, by their hash's low bits: most logs repeat a few hundred keys, which are
    // then found without the map's bucket arithmetic. Plans are never removed, so the pointers stay.
    static constexpr std::size_t kRecentPlans = 512;
    std::array<RecentPlan, kRecentPlans> recentPlans_{};
    // Files with an open handle, most recently written first.
    std::list<FileEntry*> openFiles_;
    std::size_t openLimit_;

    // Reused on every record.
    DecodedMessage decoded_;
    std::vector<double> values_;
    std::vector<double> row_;
    std::string identity_;
    std::string path_;

    // Rows on a second thread (see shareRows). While an input shares them, this thread's diagnostics
    // are held, each marked with the rows queued before it, so that a write failure found on the row
    // thread is reported among them where a write on this thread would have reported it.
    struct LineMark {
        uint64_t row = 0;    // rows queued before the line
        std::size_t end = 0; // end of the line in heldLines_
    };
    // Rows between looks at the budget: whether it is overdrawn while sharing, whether it has room
    // again while not.
    static constexpr uint32_t kBudgetCheckRows = 4096;
    ThreadBudget* budget_ = nullptr;
    uint32_t rowsToBudgetCheck_ = kBudgetCheckRows;
    std::unique_ptr<RowThread> rowThread_;
    RowThread* rows_ = nullptr;         // the row thread, while the current input shares rows
    std::string* outerLines_ = nullptr; // the capture in force when the input started
    std::string heldLines_;
    std::vector<LineMark> lineMarks_;
    std::vector<RowThread::Failure> rowFailures_;
};

MessageKey Writer::keyFor(const MessageDb& db, const LogRecord& record) const {
    MessageKey key;
    key.bus = record.bus;
    key.channel = record.channel;
    uint32_t id = record.identifier;
    switch (db.busType) {
    case BusType::J1939:
        if (!record.extended) {
            key.key = canKey(id, false);
            break;
        }
        key.key = j1939Key(id, true);
        key.source = static_cast<uint8_t>(id & 0xFF);
        key.hasSource = true;
        // PDU1 (PF up to 0xEF) carries a destination address.
        if (((id >> 16) & 0xFF) <= 0xEF) {
            key.destination = static_cast<uint8_t>((id >> 8) & 0xFF);
            key.hasDestination = true;
        }
        break;
    case BusType::Lin:
        key.key = linKey(id);
        break;
    default:
        key.key = canKey(id, record.extended);
        break;
    }
    return key;
}

void Writer::writeForDatabase(const MessageDb& db, const LogRecord& record) {
    // The addresses are derived afresh for every database: a J1939 database's source and destination
    // never reach the file of a CAN database tried after it.
    MessageKey key = keyFor(db, record);
    MessagePlan* plan = planFor(db, key);
    if (!plan || plan->message->ignored)
        return;
    std::span<const uint8_t> payload(record.payload);
    const bool complete = plan->flat && payload.size() >= plan->neededBytes;
    if (complete && writeFlat(*plan, payload, record.timestamp))
        return;

    if (!dbDecode(&db, key.key, payload, decoded_))
        return;
    if (decoded_.values.empty())
        return;
    checkDate(record.timestamp);
    if (!buildValues())
        return;
    ++summary_.messages;
    Binding* binding = bindingFor(key);
    if (!binding)
        return;
    if (complete) {
        plan->binding = binding;
        plan->bindingGeneration = bindingGeneration_;
    }
    writeRow(*binding, record.timestamp);
}

MessagePlan* Writer::findPlan(const PlanKey& planKey, RecentPlan& recent) {
    auto found = plans_.find(planKey);
    if (found != plans_.end()) {
        recent = {planKey, &found->second};
        return &found->second;
    }
    // Keys the database does not have are not kept: a log may hold any number of them.
    const DbMessage* message = dbFind(planKey.db, planKey.key.key);
    if (!message)
        return nullptr;
    MessagePlan plan;
    plan.message = message;
    plan.flat = decodesFlat(*message, plan.neededBytes);
    if (plan.flat)
        for (const DbSignal& signal : message->signals)
            if (!signal.ignored)
                plan.valueSignals.push_back(&signal);
    MessagePlan* stored = &plans_.emplace(planKey, std::move(plan)).first->second;
    recent = {planKey, stored};
    return stored;
}

// The row of a complete frame of a flat message whose binding is known: the same values, counts and
// row as the decoding path below gives it. False, having done nothing that path does not do again,
// when the binding is not known for the current output session and day.
bool Writer::writeFlat(MessagePlan& plan, std::span<const uint8_t> payload, double timestamp) {
    if (plan.bindingGeneration != bindingGeneration_)
        return false;
    checkDate(timestamp);
    if (plan.bindingGeneration != bindingGeneration_) // a new day closed the files
        return false;
    // A payload of up to 64 bytes is read from a copy followed by eight zeros, so that every signal
    // takes one full eight-byte load; the zeros are what a shorter load fills in.
    uint8_t padded[kPaddedPayload + 8];
    std::span<const uint8_t> bits = payload;
    if (payload.size() <= kPaddedPayload) {
        std::memcpy(padded, payload.data(), payload.size());
        std::memset(padded + payload.size(), 0, 8);
        bits = std::span<const uint8_t>(padded, payload.size() + 8);
    }
    values_.clear();
    bool anyValid = false;
    for (const DbSignal* signal : plan.valueSignals) {
        const SignalLayout& layout = signal->layout;
        anyValid |=
            pushValue(fittedSignalValue(bits, signal->extraction, layout), layout.minimum, layout.maximum);
    }
    if (!anyValid)
        return true;
    ++summary_.messages;
    writeRow(*plan.binding, timestamp);
    return true;
}

void Writer::checkDate(double timestamp) {
    // A stamp without a calendar day keeps the current day.
    if (!(timestamp > -kMaxDaySeconds && timestamp < kMaxDaySeconds))
        return;
    int64_t seconds = static_cast<int64_t>(timestamp); // toward zero
    if (haveDay_ && seconds >= dayStart_ && seconds < dayEnd_)
        return;
    time_t whole = static_cast<time_t>(seconds);
    struct tm utc {};
    if (!gmtime_r(&whole, &utc))
        return;
    haveDay_ = true;
    dayStart_ = seconds - (utc.tm_hour * 3600 + utc.tm_min * 60 + utc.tm_sec);
    dayEnd_ = dayStart_ + kSecondsPerDay;
    int year = utc.tm_year + 1900;
    int month = utc.tm_mon + 1;
    if (year == year_ && month == month_ && utc.tm_mday == day_)
        return;
    closeAll();
    year_ = year;
    month_ = month;
    day_ = utc.tm_mday;
}

// Values of the non-ignored signals; a value outside its limits becomes NaN unless both limits are
// 0. True when at least one value is within its limits.
bool Writer::buildValues() {
    values_.clear();
    bool anyValid = false;
    for (const DecodedSignal& signal : decoded_.values) {
        if (!signal.ignored)
            anyValid |= pushValue(signal.value, signal.minimum, signal.maximum);
    }
    return anyValid;
}

// Appends one value of the row, NaN when it is outside its limits; true when it is within them.
bool Writer::pushValue(double value, double minimum, double maximum) {
    if (!valueInRange(value, minimum, maximum)) {
        values_.push_back(kQuietNaN);
        return false;
    }
    values_.push_back(value);
    ++summary_.signals;
    return true;
}

Binding* Writer::bindingFor(const MessageKey& key) {
    identity_.clear();
    appendBytes(identity_, decoded_.message->nameHash);
    appendBytes(identity_, key.bus);
    appendBytes(identity_, key.channel);
    appendBytes(identity_, key.key);
    uint8_t addresses[4] = {static_cast<uint8_t>(options_.pgnSrcMerge ? 0 : key.source), key.hasSource,
                            static_cast<uint8_t>(options_.pgnDstMerge ? 0 : key.destination),
                            key.hasDestination};
    appendBytes(identity_, addresses);
    for (const DecodedSignal& signal : decoded_.values) {
        appendBytes(identity_, signal.nameHash);
        // The path depends on each multiplexor's file group; so must the identity, or a short frame
        // of one group would follow another group's file.
        if (signal.isMultiplexor)
            appendBytes(identity_, fileMuxGroup(signal));
    }

    auto found = bindings_.find(std::string_view(identity_));
    if (found != bindings_.end())
        return &found->second;

    buildRelativePath(key);
    FileEntry* entry = fileFor(path_);
    if (!entry)
        return nullptr;
    return &bindings_.emplace(identity_, bind(*entry)).first->second;
}

void Writer::buildRelativePath(const MessageKey& key) {
    char number[96];
    path_.clear();
    path_.append(loggerId_).append(folderSuffix_).append("/");
    std::snprintf(number, sizeof number, "%s%u", key.bus == kBusCan ? "CAN" : "LIN", key.channel);
    path_.append(number).append("_").append(alnumOnly(decoded_.message->name));
    for (const DecodedSignal& signal : decoded_.values) {
        const MuxGroup* group = fileMuxGroup(signal);
        if (!group)
            continue;
        std::snprintf(number, sizeof number, "_M%02X", group->from);
        path_.append("_").append(alnumOnly(signal.name)).append(number);
    }
    if (key.hasSource && !options_.pgnSrcMerge) {
        std::snprintf(number, sizeof number, "_S%02X", key.source);
        path_.append(number);
    }
    if (key.hasDestination && !options_.pgnDstMerge) {
        std::snprintf(number, sizeof number, "_D%02X", key.destination);
        path_.append(number);
    }
    std::snprintf(number, sizeof number, "/%04i/%02i/%02i/%08u_%08u", year_, month_, day_, session_, split_);
    path_.append(number);
}

FileEntry* Writer::fileFor(const std::string& relativePath) {
    auto found = filesByPath_.find(relativePath);
    if (found != filesByPath_.end())
        return found->second.get();

    // Its result shows in the creation below.
    fsMakeDirs(root_, pathDirName(relativePath));
    std::vector<std::string> columns;
    completeColumns(*decoded_.message, decoded_.values, columns);

    makeRoomForOneMore();
    std::unique_ptr<OutputFile> file;
    for (;;) {
        file = outputFileCreate(root_, relativePath, columns);
        if (file || (errno != EMFILE && errno != ENFILE) || !evictLeastRecentlyUsed())
            break;
    }
    if (!file) {
        diagLog(kDiagError, "Could not create output writer");
        inputFailed_ = true;
        return nullptr;
    }
    ++summary_.files;
    auto entry = std::make_unique<FileEntry>();
    entry->file = std::move(file);
    FileEntry& stored = *filesByPath_.emplace(relativePath, std::move(entry)).first->second;
    markOpen(stored);
    if (stored.file->failed())
        reportWriteFailure(stored);
    return &stored;
}

Binding Writer::bind(FileEntry& entry) {
    Binding binding;
    binding.entry = &entry;
    const std::vector<std::string>& columns = entry.file->columns();
    std::size_t valueIndex = 0;
    bool same = values_.size() == columns.size();
    for (const DecodedSignal& signal : decoded_.values) {
        if (signal.ignored)
            continue;
        same = same && columns[valueIndex] == signal.name;
        ++valueIndex;
    }
    if (same)
        return binding;

    // Map by name: each value goes to the first column of its name not taken yet.
    binding.direct = false;
    std::vector<bool> taken(columns.size(), false);
    for (const DecodedSignal& signal : decoded_.values) {
        if (signal.ignored)
            continue;
        int32_t column = -1;
        for (std::size_t c = 0; c < columns.size() && column < 0; ++c)
            if (!taken[c] && columns[c] == signal.name)
                column = static_cast<int32_t>(c);
        if (column >= 0) {
            taken[static_cast<std::size_t>(column)] = true;
        } else if (!entry.droppedValueWarned) {
            entry.droppedValueWarned = true;
            diagLog(kDiagWarning, "Output file %s has no column \"%.*s\"; its values are dropped",
                    entry.file->path().c_str(), static_cast<int>(signal.name.size()), signal.name.data());
        }
        binding.columnOf.push_back(column);
    }
    return binding;
}

void Writer::writeRow(Binding& binding, double timestamp) {
    FileEntry& entry = *binding.entry;
    // A failed file ends with its last complete row; rows behind a gap would not be the file's own.
    if (entry.failed || !ensureOpen(entry)) {
        reportWriteFailure(entry);
        return;
    }
    std::span<const double> row(values_);
    if (!binding.direct) {
        row_.assign(entry.file->columnCount(), kQuietNaN);
        for (std::size_t i = 0; i < binding.columnOf.size(); ++i)
            if (binding.columnOf[i] >= 0)
                row_[static_cast<std::size_t>(binding.columnOf[i])] = values_[i];
        row = row_;
    }
    if (rows_)
        queueRow(entry, row, timestamp);
    else if (!entry.file->writeRow(row, timestamp))
        reportWriteFailure(entry);
    if (budget_ && --rowsToBudgetCheck_ == 0) {
        rowsToBudgetCheck_ = kBudgetCheckRows;
        if (rows_ && budget_->overdrawn())
            stopSharing();
        else if (!rows_)
            startSharing();
    }
}

bool Writer::ensureOpen(FileEntry& entry) {
    if (entry.file->isOpen()) {
        if (openFiles_.begin() != entry.openPosition)
            openFiles_.splice(openFiles_.begin(), openFiles_, entry.openPosition);
        return true;
    }
    makeRoomForOneMore();
    for (;;) {
        if (entry.file->reopen())
            break;
        if ((errno != EMFILE && errno != ENFILE) || !evictLeastRecentlyUsed())
            return false;
    }
    markOpen(entry);
    return true;
}

void Writer::makeRoomForOneMore() {
    while (openFiles_.size() >= openLimit_ && evictLeastRecentlyUsed()) {
    }
}

bool Writer::evictLeastRecentlyUsed() {
    if (openFiles_.empty())
        return false;
    closeEntry(*openFiles_.back());
    return true;
}

void Writer::markOpen(FileEntry& entry) {
    openFiles_.push_front(&entry);
    entry.openPosition = openFiles_.begin();
}

void Writer::closeEntry(FileEntry& entry) {
    drainRows();
    // A file whose failure is already reported lost its rows to the input that saw it fail; closing
    // it again reveals nothing new.
    if (!entry.file->close() && !entry.failureReported)
        reportWriteFailure(entry);
    entry.failed = entry.file->failed();
    openFiles_.erase(entry.openPosition);
    entry.openPosition = openFiles_.end();
}

void Writer::closeAll() {
    while (!openFiles_.empty())
        closeEntry(*openFiles_.front());
    bindings_.clear();
    ++bindingGeneration_;
}

void Writer::reportWriteFailure(FileEntry& entry) {
    inputFailed_ = true;
    entry.failed = entry.file->failed();
    if (entry.failureReported)
        return;
    entry.failureReported = true;
    diagLog(kDiagError, "Could not write output file %s", entry.file->path().c_str());
}

void Writer::startSharing() {
    if (!budget_ || rows_ || !budget_->tryEnter())
        return;
    if (!rowThread_)
        rowThread_ = RowThread::create();
    rows_ = rowThread_.get();
    if (!rows_) {
        budget_->leave();
        return;
    }
    outerLines_ = diagCapture();
    diagCaptureTo(&heldLines_);
}

void Writer::stopSharing() {
    if (!rows_)
        return;
    drainRows();
    diagCaptureTo(outerLines_);
    rows_ = nullptr;
    budget_->leave();
}

void Writer::queueRow(FileEntry& entry, std::span<const double> row, double timestamp) {
    if (heldLines_.size() != (lineMarks_.empty() ? 0 : lineMarks_.back().end))
        lineMarks_.push_back({rows_->rowsQueued(), heldLines_.size()});
    rows_->push(*entry.file, row, timestamp);
}

// Waits for the queued rows and hands on the held lines, with a report of each failed file in front
// of the first line made after its failed row was queued.
void Writer::drainRows() {
    if (!rows_ || (rows_->rowsQueued() == 0 && heldLines_.empty()))
        return;
    std::vector<RowThread::Failure>& failures = rowFailures_;
    rows_->drain(failures);
    diagCaptureTo(outerLines_);
    std::string_view held(heldLines_);
    std::size_t handedOn = 0;
    std::size_t mark = 0;
    for (const RowThread::Failure& failure : failures) {
        while (mark < lineMarks_.size() && lineMarks_[mark].row <= failure.row)
            ++mark;
        std::size_t end = mark ? lineMarks_[mark - 1].end : 0;
        diagWriteCaptured(held.substr(handedOn, end - handedOn));
        handedOn = end;
        if (FileEntry* entry = entryOf(failure.file))
            reportWriteFailure(*entry);
    }
    diagWriteCaptured(held.substr(handedOn));
    heldLines_.clear();
    lineMarks_.clear();
    diagCaptureTo(&heldLines_);
}

FileEntry* Writer::entryOf(const OutputFile* file) {
    for (auto& [path, entry] : filesByPath_)
        if (entry->file.get() == file)
            return entry.get();
    return nullptr;
}

} // namespace

std::unique_ptr<OutputWriter> writerCreate(FileSystem& outputRoot, const DbChannelTable& canDbs,
                                           const DbChannelTable& linDbs, const WriterOptions& options) {
    return std::unique_ptr<OutputWriter>(new (std::nothrow) Writer(outputRoot, canDbs, linDbs, options));
}

} // namespace loglathe
