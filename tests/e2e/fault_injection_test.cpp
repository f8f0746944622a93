// The whole conversion run over a twin of the file system that fails one operation: for every kind
// of operation and every N up to the number of such operations in a fault-free run, the Nth one
// fails. After each run the failure must have been reported with a failing exit status (or have
// been overcome without a trace), no input may be gone whose rows did not all reach the disk, and
// every CSV file must be a header and complete rows that a fault-free run also writes.

#include "app/run_driver.h"
#include "e2e/e2e_databases.h"
#include "e2e/e2e_support.h"
#include "support/diag_capture.h"
#include "support/fault_file_system.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace loglathe::test {
namespace {

namespace fs = std::filesystem;

// 2024-01-31 12:00:00 UTC, the time of the data lines "31T12:00:00.000".
constexpr double kNoon = 1706702400.0;

std::string lineTime(double secondsAfterNoon) {
    int millis = static_cast<int>(secondsAfterNoon * 1000 + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "31T%02d:%02d:%02d.%03d", 12 + millis / 3600000, millis / 60000 % 60,
                  millis / 1000 % 60, millis % 1000);
    return text;
}

std::string hexByte(std::size_t value) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>(value & 0xFF));
    return hex;
}

// SensorMux with multiplexor value `index` (0 temperature, 1 humidity) and a 16-bit raw value.
std::string sensorMux(int index, int raw) {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%02X%02X%02X0000000000", index, raw & 0xFF, (raw >> 8) & 0xFF);
    return hex;
}

// EngineData and SensorMux frames every 100 ms from `start` seconds after noon.
void addPlainFrames(LogFile& log, double start, int count) {
    for (int i = 0; i < count; ++i) {
        double t = start + i * 0.1;
        log.lines.push_back(frame(lineTime(t), 0x100, engineData(600 + 0.25 * i)));
        if (i % 3 == 0)
            log.lines.push_back(frame(lineTime(t + 0.05), 0x300, sensorMux(i % 2, 1000 + i)));
    }
}

// An input file with the time range of its data lines, so that a row tells which input it came from.
struct Input {
    std::string path; // below the logs folder
    std::string loggerFolder;
    double first = 0, last = 0; // seconds after noon
    LogFile log;
    // The time of a row completed from frames of the input before: without that input it cannot be.
    double carriedOver = -1;
};

// Three loggers; one session in three continued splits carries transport-protocol transfers (ISO-TP,
// J1939 connection mode and broadcast across a split boundary, fast packets, a MUX container), and
// every logger sends plain and multiplexed messages. EngineData of the first session outgrows one
// write of a CSV file.
std::vector<Input> inputSet() {
    std::vector<Input> inputs;
    Input a1{"1A2B3C/00000001.txt", "1A2B3C_out", 0, 0, {}};
    a1.log.session = 3;
    a1.log.lines = {
        frame(lineTime(0.000), 0x7E8, "10146290F10F2700"),
        frame(lineTime(0.002), 0x7E0, "300000AAAAAAAAAA"),
        frame(lineTime(0.005), 0x7E8, "2100000000000000"),
        frame(lineTime(0.010), 0x7E8, "220000000000002A"),
        frame(lineTime(0.100), 0x18ECF900, "10140003FFEBFE00", true),
        frame(lineTime(0.105), 0x18EC00F9, "110301FFFFEBFE00", true),
        frame(lineTime(0.110), 0x18EBF900, "01E70715CD5B0700", true),
        frame(lineTime(0.111), 0x18EBF900, "0200000000000000", true),
        frame(lineTime(0.112), 0x18EBF900, "03000000000005FF", true),
        frame(lineTime(0.120), 0x18EC00F9, "13140003FFEBFE00", true),
        frame(lineTime(0.200), 0x0DF80502, "4012076027B11C00", true),
        frame(lineTime(0.201), 0x0DF80502, "4100000000000000", true),
        frame(lineTime(0.202), 0x0DF80502, "42000000000BFFFF", true),
    };
    // A MUX container over ISO-TP: EngineData at 800 and 900 rpm for channel 2, and an item whose
    // index is not forwarded.
    std::string container = "0C0100" + engineData(800) + "A8810055" + "2C0100" + engineData(900);
    std::vector<std::string> frames = {"10" + hexByte(container.size() / 2) + container.substr(0, 12)};
    for (std::size_t at = 12, sequence = 1; at < container.size(); at += 14, ++sequence) {
        std::string piece =
            "2" + std::string(1, "0123456789ABCDEF"[sequence & 0xF]) + container.substr(at, 14);
        frames.push_back(piece + std::string(16 - piece.size(), 'A'));
    }
    for (std::size_t i = 0; i < frames.size(); ++i)
        a1.log.lines.push_back(frame(lineTime(0.3 + 0.001 * static_cast<double>(i)), 0x600, frames[i]));
    addPlainFrames(a1.log, 1, 60);
    // The DM1 broadcast whose last packet is in the next split.
    a1.log.lines.push_back(frame(lineTime(9.000), 0x18ECFF00, "200E0002FFCAFE00", true));
    a1.log.lines.push_back(frame(lineTime(9.050), 0x18EBFF00, "0104FF6E00000000", true));
    a1.last = 9.05;
    inputs.push_back(a1);

    Input a2{"1A2B3C/00000002.txt", "1A2B3C_out", 60, 0, {}};
    a2.log.session = 3;
    a2.log.split = 2;
    a2.log.time = "20240131T120100";
    a2.log.lines.push_back(frame(lineTime(60.000), 0x18EBFF00, "0200000000000011", true));
    a2.carriedOver = 60.000;
    addPlainFrames(a2.log, 61, 60);
    a2.last = 61 + 59 * 0.1 + 0.05;
    inputs.push_back(a2);

    Input a3{"1A2B3C/00000003.txt", "1A2B3C_out", 120, 0, {}};
    a3.log.session = 3;
    a3.log.split = 3;
    a3.log.time = "20240131T120200";
    addPlainFrames(a3.log, 120, 15);
    a3.last = 120 + 14 * 0.1 + 0.05;
    inputs.push_back(a3);

    Input b{"4D5E6F.txt", "4D5E6F_out", 0, 0, {}};
    b.log.loggerId = "4D5E6F";
    b.log.lines = {
        frame(lineTime(0.000), 0x7E8, "10146290F10F2700"),
        frame(lineTime(0.005), 0x7E8, "2100000000000000"),
        frame(lineTime(0.010), 0x7E8, "220000000000002A"),
    };
    addPlainFrames(b.log, 1, 20);
    b.last = 1 + 19 * 0.1 + 0.05;
    inputs.push_back(b);

    Input c{"more/778899.txt", "778899_out", 3600, 0, {}};
    c.log.loggerId = "778899";
    c.log.session = 2;
    c.log.time = "20240131T130000";
    for (int i = 0; i < 12; ++i)
        c.log.lines.push_back(frame(lineTime(3600 + i * 0.2), 0x0CF00400, "00007D4038000000", true));
    addPlainFrames(c.log, 3603, 6);
    c.last = 3603 + 5 * 0.1 + 0.05;
    inputs.push_back(c);
    return inputs;
}

// Each run makes and removes some fifty files and folders; a folder in memory, where there is one,
// keeps the runs from waiting on the disk.
std::string scratchBase() {
    std::error_code error;
    if (fs::is_directory("/dev/shm", error) && ::access("/dev/shm", W_OK) == 0)
        return "/dev/shm";
    return fs::temp_directory_path().string();
}

struct Outcome {
    int status = -1;
    std::string diag;
    std::map<std::string, std::string> tree; // the CSV files below the output folder
    std::set<std::string> inputsLeft;
};

// A folder with the databases and pristine inputs, and a work folder each run starts afresh in.
class FaultInjection : public ::testing::Test {
protected:
    void SetUp() override {
        can = dir.write("dbc/powertrain.dbc", kCanDbc);
        j1939 = dir.write("dbc/j1939.dbc", kJ1939Dbc);
        inputs = inputSet();
        for (const Input& input : inputs)
            dir.write("pristine/" + input.path, input.log.text());
        summaries = std::tmpfile();
        ASSERT_TRUE(summaries);
    }
    void TearDown() override {
        if (summaries)
            std::fclose(summaries);
    }

    Outcome convert(FaultPlan& plan, int jobs) {
        fs::remove_all(dir.path("logs"));
        fs::remove_all(dir.path("out"));
        fs::copy(dir.path("pristine"), dir.path("logs"), fs::copy_options::recursive);
        std::string out = dir.mkdir("out");
        std::vector<std::string> args = {"loglathe",
                                         "--jobs=" + std::to_string(jobs),
                                         "--delete-converted",
                                         "--buffer=1024",
                                         "--dbc-can1=" + can,
                                         "--dbc-can1=" + j1939,
                                         "--dbc-can2=" + can,
                                         "-O",
                                         out,
                                         dir.path("logs")};
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);

        RunEnvironment environment;
        environment.makeFileSystem = [&plan](std::string_view root) { return faultFsCreate(root, plan); };
        environment.summaryOut = summaries;
        Outcome outcome;
        {
            DiagCapture diag(kDiagError);
            outcome.status = runConversion(static_cast<int>(args.size()), argv.data(), environment);
            outcome.diag = diag.text();
        }
        outcome.tree = readTree(out);
        for (const Input& input : inputs)
            if (fs::exists(dir.path("logs/" + input.path)))
                outcome.inputsLeft.insert(input.path);
        return outcome;
    }

    void checkEveryFault(int jobs, uint64_t step);

    TempDir dir{scratchBase()};
    std::string can, j1939;
    std::vector<Input> inputs;
    std::FILE* summaries = nullptr;
};

// The folder of a CSV file (message, multiplexor, addresses and day), which names what its rows are.
std::string folderOf(const std::string& path) {
    return std::string(path.substr(0, path.rfind('/')));
}

// Every data row of a fault-free run, by the folder of its file.
std::map<std::string, std::set<std::string>> rowsByFolder(const std::map<std::string, std::string>& tree) {
    std::map<std::string, std::set<std::string>> rows;
    for (const auto& [path, content] : tree) {
        std::vector<std::string> lines = splitLines(content);
        for (std::size_t i = 1; i < lines.size(); ++i)
            rows[folderOf(path)].insert(lines[i]);
    }
    return rows;
}

double rowTime(const std::string& row) {
    return std::strtod(row.c_str(), nullptr) - kNoon;
}

// Whether `lines` after the header are consecutive rows of `whole` (after its header).
bool isRunOfRows(const std::vector<std::string>& lines, const std::vector<std::string>& whole) {
    if (lines.size() < 2)
        return true;
    for (std::size_t start = 1; start + lines.size() - 1 <= whole.size(); ++start)
        if (std::equal(lines.begin() + 1, lines.end(), whole.begin() + static_cast<long>(start)))
            return true;
    return false;
}

// A file of a faulty run: empty, or the header of its message and complete rows of it. A file the
// fault-free run also wrote must be its beginning, cut at a line end. When the file could not be
// created at first (`lateStart`), the record that met the failure lost its row and a later record
// created the file, so its rows may start later: then they are consecutive rows of that file.
void expectWellFormed(const std::string& path, const std::string& content,
                      const std::map<std::string, std::string>& reference,
                      const std::map<std::string, std::set<std::string>>& referenceRows, bool lateStart) {
    SCOPED_TRACE(path);
    if (content.empty())
        return;
    EXPECT_EQ(content.back(), '\n') << "a cut row is left behind";
    auto same = reference.find(path);
    if (same != reference.end()) {
        if (same->second.compare(0, content.size(), content) == 0)
            return;
        std::vector<std::string> lines = splitLines(content);
        std::vector<std::string> whole = splitLines(same->second);
        EXPECT_TRUE(lateStart && lines[0] == whole[0] && isRunOfRows(lines, whole))
            << "neither the beginning of the fault-free file nor a run of its rows:\n"
            << content;
        return;
    }
    // A file that only this run wrote (a split that started its own files after a failed one).
    std::vector<std::string> lines = splitLines(content);
    std::string folder = folderOf(path);
    auto sibling = reference.lower_bound(folder + "/");
    ASSERT_TRUE(sibling != reference.end() && sibling->first.rfind(folder + "/", 0) == 0)
        << "a message folder the fault-free run has not";
    EXPECT_EQ(lines[0], splitLines(sibling->second)[0]);
    const std::set<std::string>& known = referenceRows.at(folder);
    for (std::size_t i = 1; i < lines.size(); ++i)
        EXPECT_TRUE(known.count(lines[i])) << "a row the fault-free run has not: " << lines[i];
}

// Every row that an input gives in the fault-free run is on disk, in a file of the same folder.
void expectAllRowsOf(const Input& input, bool previousLeft,
                     const std::map<std::string, std::string>& reference,
                     const std::map<std::string, std::set<std::string>>& written) {
    SCOPED_TRACE("deleted input " + input.path);
    for (const auto& [path, content] : reference) {
        if (path.rfind(input.loggerFolder + "/", 0) != 0)
            continue;
        std::vector<std::string> lines = splitLines(content);
        auto rows = written.find(folderOf(path));
        for (std::size_t i = 1; i < lines.size(); ++i) {
            double t = rowTime(lines[i]);
            if (t < input.first - 1e-6 || t > input.last + 1e-6)
                continue;
            if (previousLeft && std::abs(t - input.carriedOver) < 1e-6)
                continue;
            EXPECT_TRUE(rows != written.end() && rows->second.count(lines[i]))
                << path << " lost " << lines[i];
        }
    }
}

// The reports that name a failed operation of each kind, on an input or on an output file.
std::vector<const char*> reportsOf(FaultKind kind) {
    switch (kind) {
    case FaultKind::Open:
        return {" E Could not open input file ", " E Could not create output writer",
                " E Could not write output file "};
    case FaultKind::Read:
        return {" E Could not read input file ", " E Could not open log", " E Could not parse file header"};
    case FaultKind::Write:
    case FaultKind::ShortWrite:
        return {" E Could not write output file "};
    case FaultKind::Close:
        return {" E Could not close input file after conversion: ", " E Could not write output file "};
    case FaultKind::Remove:
        return {" E Could not remove input file after conversion: "};
    case FaultKind::MakeDir:
        return {" E Could not create output writer"};
    case FaultKind::Stat:
        return {" F Error during stat of ", " F Could not query ", " E Could not create output writer"};
    }
    return {};
}

// A few errors each operation meets on real disks; the Nth run of a kind takes the (N mod size)th.
std::vector<int> errorsOf(FaultKind kind) {
    switch (kind) {
    case FaultKind::Open:
        return {EACCES, EMFILE, EROFS, ENOSPC};
    case FaultKind::Read:
        return {EIO};
    case FaultKind::Write:
    case FaultKind::ShortWrite:
        return {ENOSPC, EIO, EROFS};
    case FaultKind::Close:
        return {EIO, ENOSPC};
    case FaultKind::Remove:
        return {EACCES, EROFS};
    case FaultKind::MakeDir:
        return {ENOSPC, EACCES, EROFS};
    case FaultKind::Stat:
        return {EACCES, EIO};
    }
    return {EIO};
}

// Fails every `step`th operation of each kind in turn, with `jobs` workers.
void FaultInjection::checkEveryFault(int jobs, uint64_t step) {
    const auto started = std::chrono::steady_clock::now();
    FaultPlan clean;
    Outcome reference = convert(clean, jobs);
    ASSERT_EQ(reference.status, 0) << reference.diag;
    ASSERT_EQ(reference.diag, "");
    ASSERT_TRUE(reference.inputsLeft.empty());
    ASSERT_GE(reference.tree.size(), 10u);
    const auto referenceRows = rowsByFolder(reference.tree);
    for (std::size_t k = 0; k < kFsOperationKinds; ++k)
        EXPECT_GT(clean.count(static_cast<FsOperation>(k)), 0u)
            << nameOf(static_cast<FsOperation>(k)) << " never happens";

    int runs = 0;
    for (FaultKind kind : {FaultKind::Open, FaultKind::Read, FaultKind::Write, FaultKind::ShortWrite,
                           FaultKind::Close, FaultKind::Remove, FaultKind::MakeDir, FaultKind::Stat}) {
        const std::vector<int> errors = errorsOf(kind);
        const uint64_t total = clean.count(operationOf(kind));
        for (uint64_t n = 1; n <= total; n += step) {
            FaultPlan plan;
            plan.kind = kind;
            plan.nth = n;
            plan.error = errors[n % errors.size()];
            Outcome outcome = convert(plan, jobs);
            ++runs;
            SCOPED_TRACE(std::string(nameOf(kind)) + " #" + std::to_string(n) + " (" + plan.firedAt +
                         ", errno " + std::to_string(plan.error) + ")\n" + outcome.diag);
            ASSERT_TRUE(plan.fired);

            if (outcome.status == 0) {
                // Overcome (a descriptor shortage) or harmless (an input that stays): nothing lost.
                EXPECT_EQ(outcome.tree, reference.tree);
                if (kind == FaultKind::Remove) {
                    EXPECT_EQ(outcome.inputsLeft.size(), 1u);
                    EXPECT_EQ(countLines(outcome.diag, " E Could not remove input file after conversion: "),
                              1);
                } else {
                    EXPECT_TRUE(outcome.inputsLeft.empty());
                    EXPECT_EQ(outcome.diag, "");
                }
                continue;
            }
            EXPECT_TRUE(outcome.status == 8 || outcome.status == 129 || outcome.status == (8 | 129))
                << outcome.status;
            int reports = 0;
            for (const char* message : reportsOf(kind))
                reports += countLines(outcome.diag, message);
            EXPECT_GT(reports, 0) << "a failure without its report";

            auto written = rowsByFolder(outcome.tree);
            const bool lateStart =
                kind == FaultKind::Open || kind == FaultKind::MakeDir || kind == FaultKind::Stat;
            for (const auto& [path, content] : outcome.tree)
                expectWellFormed(path, content, reference.tree, referenceRows, lateStart);
            for (std::size_t i = 0; i < inputs.size(); ++i) {
                bool previousLeft = i > 0 && outcome.inputsLeft.count(inputs[i - 1].path);
                if (!outcome.inputsLeft.count(inputs[i].path))
                    expectAllRowsOf(inputs[i], previousLeft, reference.tree, written);
            }
            if (::testing::Test::HasFailure())
                return;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("[ fault runs ] %d runs with %d worker(s) in %.1f s; operations of a fault-free run:", runs,
                jobs, seconds);
    for (std::size_t k = 0; k < kFsOperationKinds; ++k)
        std::printf(" %s %llu", nameOf(static_cast<FsOperation>(k)),
                    static_cast<unsigned long long>(clean.count(static_cast<FsOperation>(k))));
    std::printf("\n");
}

TEST_F(FaultInjection, EveryFailedOperationIsReportedAndLeavesCompleteRowsAndEveryUnwrittenInput) {
    checkEveryFault(1, 1);
}

// The same on workers, where the operations of the walk (which reads every header first), the
// workers and their row threads interleave: which one is the Nth changes from run to run, what must
// hold does not.
TEST_F(FaultInjection, OnWorkersEveryFailedOperationIsReportedAndLosesNothing) {
    checkEveryFault(2, 1);
}

} // namespace
} // namespace loglathe::test
