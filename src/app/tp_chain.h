#pragma once
// The middle of the chain of sinks: the MUX transport and the transport-protocol manager, configured
// from the CAN databases, and the choice of the sink the walker feeds.

#include "app/run_config.h"
#include "tp/mux_transport.h"
#include "tp/tp_manager.h"

#include <memory>

namespace loglathe {

// Releasing the chain releases the manager (dropping open sessions), then the MUX transport.
struct TpChain {
    std::unique_ptr<MuxTransport> mux;  // next sink: the writer; re-entry sink: the manager
    std::unique_ptr<TpManager> manager; // next sink: the MUX transport
    bool tpUsed = false;                // at least one transport protocol was configured
    MessageSink* walkerSink = nullptr;  // the manager when tpUsed, else the writer
};

// Null when a stage cannot be created or linked (what was created is released). The writer must
// outlive the chain.
std::unique_ptr<TpChain> tpChainCreate(const RunConfig& config, MessageSink& writer);

} // namespace loglathe
