#include "app/dbc_options.h"

namespace loglathe {

namespace {
constexpr int kMaxDbcOptions = 99;
}

bool dbcAddOptions(RunConfig& config, OptionTable& table) {
    auto& e = table.entries;
    e.push_back(argSwitchPair("concat", "concatenate output when possible (default)", &config.concat, true));
    e.push_back(argSwitchPair("no-concat", "do not concatenate output", &config.concat, false));
    e.push_back(argSwitchPair("pgn-src-merge", "merge PGN source addresses", &config.pgnSrcMerge, true));
    e.push_back(argSwitchPair("no-pgn-src-merge", "do not merge PGN source addresses (default)",
                              &config.pgnSrcMerge, false));
    e.push_back(argSwitchPair("pgn-dst-merge", "merge PGN destination addresses (default)", &config.pgnDstMerge,
                              true));
    e.push_back(argSwitchPair("no-pgn-dst-merge", "do not merge PGN destination addresses", &config.pgnDstMerge,
                              false));
    e.push_back(argSwitchPair("dbdump", "dump DBs as json (in working dir)", &config.dbDump, true));
    e.push_back(argSwitchPair("no-dbdump", "do not dump DBs as json (default)", &config.dbDump, false));
    e.push_back(argWildcard("dbc-can*", "<string>", "path to DBC file for CAN (e.g. for channel 1 --dbc-can1=<path>)",
                            kMaxDbcOptions, &config.dbcArgs));
    return true;
}

void dbcReleaseOptions(RunConfig& config) {
    config.dbcArgs.clear();
    config.canDbs = DbChannelTable();
    config.linDbs = DbChannelTable();
}

const RunConfigHooks kDbcOptionHooks = {dbcAddOptions, nullptr, dbcReleaseOptions};

} // namespace loglathe
