#pragma once
// The last sink of the chain: decodes each record against the databases of its channel and appends
// a CSV row to the file of the message, in a tree below the output root
// (<logger>_out/CAN1_<message>[_<mux>_Mxx][_Sxx][_Dxx]/YYYY/MM/DD/<session>_<split>.csv).
//
// Files stay open for the output session (continued input files with "concat") and the UTC day of
// the records. A path this run has already written is reopened for appending, never truncated; a
// file from an earlier run is truncated when first needed. When more files are needed than
// descriptors are available, the least recently written ones are closed and reopened on demand.
//
// onRecord and onFileStart always answer true. onFileEnd flushes every open file and answers false
// when a file of this input could not be created, or a header, row, flush or close failed (each
// reported once per file at level 5), so that an input whose rows did not all reach the disk is
// counted as failed.

#include "db/message_db.h"
#include "input/message_sink.h"
#include "output/row_thread.h"
#include "platform/file_system.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace loglathe {

struct WriterOptions {
    bool noAppendRoot = false; // no "_out" after the logger folder
    bool concat = true;        // continued input files go on into the same output files
    bool pgnSrcMerge = false;  // J1939 sources share one file
    bool pgnDstMerge = true;   // J1939 destinations share one file
    // Files kept open at once, at most; 0: what the descriptor limit of the process allows. Writers
    // working side by side share that allowance.
    std::size_t openFileLimit = 0;
};

struct WriterSummary {
    uint64_t files = 0;
    uint64_t messages = 0;
    uint64_t signals = 0;
};

class OutputWriter : public MessageSink {
public:
    virtual const WriterSummary& summary() const = 0;
    // Closes every open file once the inputs are done; false (reported per file) when one of them
    // failed on its last write or on closing.
    virtual bool closeFiles() = 0;
    // Format and write the rows on a second thread while `budget` has room for it (null: never, the
    // default). The writer takes its place in the budget at the start of an input and now and then
    // while it writes, and gives it back at the end of the input or as soon as the budget is
    // overdrawn. The files, the diagnostics and their order are the same either way. A writer that
    // cannot start the thread writes on the caller's. The budget must outlive the writer.
    virtual void shareRows(ThreadBudget* budget) = 0;
};

// The name of a logger's folder without its suffix: the ASCII letters and digits of the logger id,
// at most 15. Input files whose logger ids give the same name and that share a session number write
// into the same files.
std::string loggerFolderName(std::string_view loggerId);

// Descriptors a writer may keep open when the process runs alone: its limit less a reserve.
std::size_t writerDescriptorBudget();

// The file system and both tables must outlive the writer's use as a sink; its destruction (which
// closes every CSV file) does not touch them.
std::unique_ptr<OutputWriter> writerCreate(FileSystem& outputRoot, const DbChannelTable& canDbs,
                                           const DbChannelTable& linDbs, const WriterOptions& options);

} // namespace loglathe
