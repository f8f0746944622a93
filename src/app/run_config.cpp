#include "app/run_config.h"

#include "app/dbc_options.h"

namespace loglathe {

WalkerOptions RunConfig::walkerOptions() const {
    WalkerOptions options;
    options.deleteConverted = deleteConverted;
    options.noAppendRoot = noAppendRoot;
    options.nonInteractive = nonInteractive;
    options.bufferSize = bufferSize;
    return options;
}

WriterOptions RunConfig::writerOptions() const {
    WriterOptions options;
    options.noAppendRoot = noAppendRoot;
    options.concat = concat;
    options.pgnSrcMerge = pgnSrcMerge;
    options.pgnDstMerge = pgnDstMerge;
    return options;
}

std::unique_ptr<RunConfig> runConfigCreate() {
    auto config = std::make_unique<RunConfig>();
    config->hooks = &kDbcOptionHooks;
    return config;
}

// The members are then released in the reverse of their declaration: the file systems after the
// strings, the separate output root before the input root.
RunConfig::~RunConfig() {
    if (hooks && hooks->release)
        hooks->release(*this);
}

} // namespace loglathe
