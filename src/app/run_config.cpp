#include "app/run_config.h"

#include "app/dbc_options.h"

namespace loglathe {

WalkerOptions RunConfig::walkerOptions() const {
    return {.deleteConverted = deleteConverted,
            .noAppendRoot = noAppendRoot,
            .nonInteractive = nonInteractive,
            .bufferSize = bufferSize};
}

WriterOptions RunConfig::writerOptions() const {
    return {.noAppendRoot = noAppendRoot,
            .concat = concat,
            .pgnSrcMerge = pgnSrcMerge,
            .pgnDstMerge = pgnDstMerge};
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
