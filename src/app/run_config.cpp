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

void runConfigFree(std::unique_ptr<RunConfig>& config) {
    if (!config)
        return;
    if (config->hooks && config->hooks->release)
        config->hooks->release(*config);
    config->inputs.clear();
    config->outputDirs.clear();
    config->separateOutputRoot.reset();
    config->inputRoot.reset();
    config.reset();
}

} // namespace loglathe
