#pragma once
// The last sink of the chain: decodes each record against the databases of its channel and appends
// a CSV row to the file of the message, in a tree below the output root.

#include "db/message_db.h"
#include "input/message_sink.h"
#include "platform/file_system.h"

#include <cstdint>
#include <memory>

namespace loglathe {

struct WriterOptions {
    bool noAppendRoot = false; // no "_out" after the logger folder
    bool concat = true;        // continued input files go on into the same output files
    bool pgnSrcMerge = false;  // J1939 sources share one file
    bool pgnDstMerge = true;   // J1939 destinations share one file
};

struct WriterSummary {
    uint64_t files = 0;
    uint64_t messages = 0;
    uint64_t signals = 0;
};

class OutputWriter : public MessageSink {
public:
    virtual const WriterSummary& summary() const = 0;
};

// The file system and both tables must outlive the writer's use as a sink; its destruction (which
// closes every CSV file) does not touch them.
std::unique_ptr<OutputWriter> writerCreate(FileSystem& outputRoot, const DbChannelTable& canDbs,
                                           const DbChannelTable& linDbs, const WriterOptions& options);

} // namespace loglathe
