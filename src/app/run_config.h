#pragma once
// The run state: option values, inputs, the two file systems and the loaded databases.

#include "app/option_types.h"
#include "db/message_db.h"
#include "input/input_walker.h"
#include "output/output_writer.h"
#include "platform/file_system.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace loglathe {

struct RunConfig;

// Makes the file system of a root folder (a path ending in "/"); null when it is no folder.
using FileSystemFactory = std::function<std::unique_ptr<FileSystem>(std::string_view root)>;

// Operations through which the database-options module takes part in the command line without the
// front end knowing its options. Any of them may be null.
struct RunConfigHooks {
    // Appends option entries while the table is built; false abandons the command line.
    bool (*addOptions)(RunConfig& config, OptionTable& table);
    // Runs after parsing, root detection and creation of the file systems; its answer is the
    // answer of the command line.
    bool (*afterParse)(RunConfig& config);
    // First step of releasing the run state.
    void (*release)(RunConfig& config);
};

// Owns the option values, the inputs, both file systems and both database tables; the writer and the
// transport-protocol manager only refer to them. Destroying it calls the release hook first.
struct RunConfig {
    RunConfig() = default;
    ~RunConfig();
    RunConfig(const RunConfig&) = delete;
    RunConfig& operator=(const RunConfig&) = delete;

    const RunConfigHooks* hooks = nullptr;
    bool deleteConverted = false;
    bool noAppendRoot = false;
    bool nonInteractive = false;
    int64_t bufferSize = -1;
    int jobs = 1;                    // log files converted side by side; from "jobs", else the CPUs available
    std::string commonRoot;          // ends in "/"
    std::vector<std::string> inputs; // relative to commonRoot after root detection
    std::vector<std::string> outputDirs;
    std::unique_ptr<FileSystem> inputRoot;
    std::unique_ptr<FileSystem> separateOutputRoot; // set only when an output directory was given
    DbChannelTable canDbs;
    DbChannelTable linDbs;
    std::vector<std::string> dbcArgs;
    bool concat = true;
    bool pgnSrcMerge = false;
    bool pgnDstMerge = true;
    bool dbDump = false;
    // Makes inputRoot and separateOutputRoot; empty: fsCreate, the disk.
    FileSystemFactory makeFileSystem;

    // The output directory's file system, or the input root when none was given.
    FileSystem* outputRoot() const { return separateOutputRoot ? separateOutputRoot.get() : inputRoot.get(); }
    WalkerOptions walkerOptions() const;
    WriterOptions writerOptions() const;
};

// A fresh run state with the database-options hooks installed.
std::unique_ptr<RunConfig> runConfigCreate();

} // namespace loglathe
