#include "app/dbc_options.h"

#include "db/db_dump.h"
#include "db/dbc_parser.h"
#include "pattern/pattern.h"
#include "platform/diag_log.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace loglathe {

namespace {

constexpr int kMaxDbcOptions = 99;

bool endsWithDbcIgnoringCase(std::string_view name) {
    if (name.size() < 4)
        return false;
    std::string_view tail = name.substr(name.size() - 4);
    return tail[0] == '.' && std::tolower(static_cast<unsigned char>(tail[1])) == 'd' &&
           std::tolower(static_cast<unsigned char>(tail[2])) == 'b' &&
           std::tolower(static_cast<unsigned char>(tail[3])) == 'c';
}

// With no DBC option, every "<bus><channel>-<anything>.dbc" file of the working directory stands for
// the option dbc-<bus><channel>=<that file>.
void discoverInWorkingDirectory(RunConfig& config) {
    auto fs = fsCreateAtWorkingDir();
    if (!fs)
        return;
    DirListing listing;
    fsList(*fs, "", listing);
    for (const auto& [name, entry] : listing) {
        std::size_t dash = name.find('-');
        if (entry.info.kind != PathKind::File || !endsWithDbcIgnoringCase(name) || dash == std::string::npos)
            continue;
        std::string text = "dbc-" + name.substr(0, dash) + "=";
        fsJoin(*fs, name, text);
        config.dbcArgs.push_back(std::move(text));
    }
}

// Writes the JSON dump of a database into the working directory, named after the DBC file.
void dumpDatabase(const MessageDb& db, const std::string& dbcPath) {
    std::string_view base = pathBaseName(dbcPath);
    if (base.size() <= 4 || base.substr(base.size() - 4) != ".dbc") {
        diagLog(kDiagError, "Could not dump %s", dbcPath.c_str());
        return;
    }
    std::string dumpName = std::string(base.substr(0, base.size() - 3)) + "json";
    diagLog(kDiagInfo, "Dumping DB %s to %s", dbcPath.c_str(), dumpName.c_str());
    std::string json = dbDumpJson(db);
    auto out = fileStreamOpen(dumpName.c_str(), FileStreamKind::Write);
    if (!out) {
        diagLog(kDiagError, "Could not open %s for output of DBC dump", dumpName.c_str());
        return;
    }
    if (streamWrite(out.get(), json.data(), json.size()) != static_cast<int64_t>(json.size()))
        diagLog(kDiagError, "Could not write DBC dump to %s", dumpName.c_str());
    if (streamClose(out) != 0)
        diagLog(kDiagError, "Could not write DBC dump to %s", dumpName.c_str());
}

// dbc-can1=/logs/vehicle.dbc
void loadOne(RunConfig& config, const Pattern& optionPattern, const std::string& text) {
    std::vector<std::string_view> groups;
    if (!optionPattern.match(text, groups)) {
        diagLog(kDiagError, "Invalid argument: %s", text.c_str());
        return;
    }
    DbChannelTable& table = groups[0] == "can" ? config.canDbs : config.linDbs;
    std::string digits(groups[1]);
    errno = 0;
    unsigned long channel = std::strtoul(digits.c_str(), nullptr, 10);
    if (errno != 0 || channel < 1 || channel > 255) {
        diagLog(kDiagError, "Invalid argument: %s", text.c_str());
        return;
    }
    std::string path(groups[2]);
    auto stream = fileStreamOpen(path.c_str(), FileStreamKind::Read);
    if (!stream) {
        diagLog(kDiagError, "Failed to open DBC file: %s", path.c_str());
        return;
    }
    std::unique_ptr<MessageDb> db = dbcParse(*stream);
    if (!db) {
        diagLog(kDiagError, "Failed to load DBC file: %s", path.c_str());
        streamClose(stream);
        return;
    }
    diagLog(kDiagInfo, "Successfully loaded DBC file: %s", path.c_str());
    const MessageDb& stored = *db;
    table.add(static_cast<uint8_t>(channel), std::move(db));
    if (config.dbDump)
        dumpDatabase(stored, path);
    streamClose(stream);
}

} // namespace

bool dbcAddOptions(RunConfig& config, OptionTable& table) {
    auto& e = table.entries;
    e.push_back(argSwitchPair("concat", "concatenate output when possible (default)", &config.concat, true));
    e.push_back(argSwitchPair("no-concat", "do not concatenate output", &config.concat, false));
    e.push_back(argSwitchPair("pgn-src-merge", "merge PGN source addresses", &config.pgnSrcMerge, true));
    e.push_back(argSwitchPair("no-pgn-src-merge", "do not merge PGN source addresses (default)",
                              &config.pgnSrcMerge, false));
    e.push_back(argSwitchPair("pgn-dst-merge", "merge PGN destination addresses (default)",
                              &config.pgnDstMerge, true));
    e.push_back(argSwitchPair("no-pgn-dst-merge", "do not merge PGN destination addresses",
                              &config.pgnDstMerge, false));
    e.push_back(argSwitchPair("dbdump", "dump DBs as json (in working dir)", &config.dbDump, true));
    e.push_back(argSwitchPair("no-dbdump", "do not dump DBs as json (default)", &config.dbDump, false));
    e.push_back(argWildcard("dbc-can*", "<string>",
                            "path to DBC file for CAN (e.g. for channel 1 --dbc-can1=<path>)", kMaxDbcOptions,
                            &config.dbcArgs));
    return true;
}

bool dbcLoadOptions(RunConfig& config) {
    if (config.dbcArgs.empty())
        discoverInWorkingDirectory(config);
    auto optionPattern = patternCompile("^dbc-(can|lin)(\\d+)=(.+\\.dbc)$");
    if (!optionPattern)
        return false;
    for (const std::string& text : config.dbcArgs)
        loadOne(config, *optionPattern, text);
    if (config.canDbs.empty() && config.linDbs.empty()) {
        diagLog(kDiagError, "No DBC files found");
        return false;
    }
    return true;
}

void dbcReleaseOptions(RunConfig& config) {
    config.dbcArgs.clear();
    config.canDbs = DbChannelTable();
    config.linDbs = DbChannelTable();
}

const RunConfigHooks kDbcOptionHooks = {dbcAddOptions, dbcLoadOptions, dbcReleaseOptions};

} // namespace loglathe
