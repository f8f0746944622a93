#pragma once
// The database-options module: its command-line options, the loading of the DBC files they name
// (or that the working directory holds), the optional JSON dump, and the release of the databases.

#include "app/run_config.h"

namespace loglathe {

// Appends the switch pairs (concat, pgn-src-merge, pgn-dst-merge, dbdump) and "dbc-can*".
bool dbcAddOptions(RunConfig& config, OptionTable& table);
// Frees the option texts and both database tables.
void dbcReleaseOptions(RunConfig& config);

extern const RunConfigHooks kDbcOptionHooks;

} // namespace loglathe
