#include "app/command_line.h"

#include "app/version.h"
#include "platform/diag_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <set>
#include <string_view>

namespace loglathe {

namespace {

constexpr const char* kProgramName = "loglathe";
constexpr int kMaxErrors = 20;
// Each job has its own thread, writer and transport sessions; more than this would only
// share the descriptors and memory thinner.
constexpr int kMaxJobs = 256;

// Entries of the front end that parseCommandLine reads after parsing.
struct FrontEntries {
    arg_lit* help = nullptr;
    arg_lit* version = nullptr;
    arg_int* verbosity = nullptr;
    arg_lit* nonInteractive = nullptr;
    arg_lit* deleteConverted = nullptr;
    arg_lit* noAppendRoot = nullptr;
    arg_int* buffer = nullptr;
    arg_int* jobs = nullptr;
    struct arg_end* end = nullptr;
};

// Frees the table however parseCommandLine leaves.
struct TableGuard {
    OptionTable& table;
    ~TableGuard() {
        if (!table.entries.empty())
            arg_freetable(table.entries.data(), table.entries.size());
    }
};

bool buildTable(RunConfig& config, int argc, OptionTable& table, FrontEntries& front) {
    front.help = arg_lit0(nullptr, "help", "display this help and exit");
    front.version = arg_lit0("v", "version", "display tool version and exit");
    front.verbosity =
        arg_int0(nullptr, "verbosity", "<n>", "verbosity level (0 to 4, 0=disable, 4=verbose, default=2)");
    front.nonInteractive = arg_lit0(nullptr, "non-interactive", "does not print any progress output");
    front.deleteConverted = arg_lit0("d", "delete-converted", "deletes files after conversion if specified");
    front.noAppendRoot = arg_lit0("X", "no-append-root", "do not add \"_out\" when converting folders");
    front.buffer =
        arg_int0("b", "buffer", "<n>", "buffer size in bytes. 0 disables and -1 takes entire file");
    front.jobs = arg_int0("j", "jobs", "<n>", "worker threads (default: the number of CPUs available)");
    table.entries = {
        front.help,         front.version, front.verbosity, front.nonInteractive, front.deleteConverted,
        front.noAppendRoot, front.buffer,  front.jobs};

    if (config.hooks && config.hooks->addOptions && !config.hooks->addOptions(config, table))
        return false;

    table.entries.push_back(argFileCollector("O", "output-directory", "<file>", "path to output files", 0, 1,
                                             &config.outputDirs));
    table.entries.push_back(arg_lit0("i", "input-files=<file(s)/folder(s)>",
                                     "paths to input files/folders (must have common root)"));
    table.entries.push_back(argFileCollector(nullptr, nullptr, "file(s)/folder(s)", nullptr, 1,
                                             argc > 1 ? argc - 1 : 1, &config.inputs));
    front.end = arg_end(kMaxErrors);
    table.entries.push_back(front.end);
    return arg_nullcheck(table.entries.data()) == 0;
}

// The CPUs this process may run on; 1 when that cannot be told.
int availableCpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    int count = CPU_COUNT(&set);
    return count > 0 ? count : 1;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// What the pre-pass needs to know of the option table.
struct OptionIndex {
    struct LongName {
        std::string_view name;
        bool takesValue;
    };
    std::vector<LongName> longNames; // every named long option except the wildcard
    std::string_view wildcard;       // the wildcard's declared name ("dbc-can*"), empty without one
    std::string_view wildcardPrefix; // the same without the "*"
    std::string valueShorts;         // short names whose (first) entry takes a value
    std::string otherShorts;         // short names whose (first) entry takes none
};

OptionIndex indexOptions(const OptionTable& table) {
    OptionIndex index;
    for (void* entry : table.entries) {
        auto* hdr = static_cast<const arg_hdr*>(entry);
        if (hdr->flag & ARG_TERMINATOR)
            break;
        const bool takesValue = hdr->flag & ARG_HASVALUE;
        for (const char* c = hdr->shortopts; c && *c; ++c)
            if (index.valueShorts.find(*c) == std::string::npos &&
                index.otherShorts.find(*c) == std::string::npos)
                (takesValue ? index.valueShorts : index.otherShorts).push_back(*c);
        std::string_view name = hdr->longopts ? hdr->longopts : "";
        if (!name.empty() && name.back() == '*') {
            index.wildcard = name;
            index.wildcardPrefix = name.substr(0, name.size() - 1);
        } else if (!name.empty()) {
            index.longNames.push_back({name, takesValue});
        }
    }
    return index;
}

// What the pre-pass does with one long option.
enum class LongAction {
    Keep,         // as written; argtable2 handles it (also unknown and ambiguous names)
    KeepAndValue, // as written, and the next argument is its value
    Wildcard,     // hand the whole text after "--" to the wildcard entry
    Invalid,      // an invalid option that getopt_long would take for something else
};

// --NAME or --NAME=VALUE. getopt_long gets three cases wrong for this table: a literal written with
// a value (--non-interactive=1), a wildcard name without "=" (--dbc-can1 /d/a.dbc), and an
// abbreviation that could only reach the wildcard (--dbc).
LongAction classifyLong(const OptionIndex& index, std::string_view name, bool withValue) {
    if (!index.wildcard.empty() && startsWith(name, index.wildcardPrefix))
        return withValue ? LongAction::Wildcard : LongAction::Invalid;
    const OptionIndex::LongName* exact = nullptr;
    const OptionIndex::LongName* abbreviated = nullptr;
    int abbreviations = 0;
    for (const auto& candidate : index.longNames) {
        if (candidate.name == name) {
            exact = &candidate;
        } else if (startsWith(candidate.name, name)) {
            abbreviated = &candidate;
            ++abbreviations;
        }
    }
    const bool reachesWildcard =
        !index.wildcard.empty() && !name.empty() && startsWith(index.wildcardPrefix, name);
    const auto* chosen = exact ? exact : (abbreviations == 1 && !reachesWildcard ? abbreviated : nullptr);
    if (!chosen)
        return reachesWildcard && abbreviations == 0 ? LongAction::Invalid : LongAction::Keep;
    if (!chosen->takesValue)
        return withValue ? LongAction::Invalid : LongAction::Keep;
    return withValue ? LongAction::Keep : LongAction::KeepAndValue;
}

// -abc: a cluster of short options; the first one that takes a value takes the rest of the word, or
// the next argument when it is the last letter.
bool shortClusterTakesNext(const OptionIndex& index, std::string_view arg) {
    for (std::size_t k = 1; k < arg.size(); ++k)
        if (index.valueShorts.find(arg[k]) != std::string::npos)
            return k + 1 == arg.size();
    return false;
}

// An error the pre-pass found: an invalid option at an argument's position.
struct EarlyError {
    int argIndex;
    const char* text;
};

// The argument vector as argtable2 is to see it, with the index of each argument in the original.
struct PreparedArgs {
    std::vector<std::string> storage;
    std::vector<int> origin;
    std::vector<EarlyError> errors;
    std::vector<char*> argv;

    void keep(int index, std::string_view text) {
        storage.emplace_back(text);
        origin.push_back(index);
    }
};

// Answers whether the next argument is the option's value.
bool prepareLong(const OptionIndex& index, int i, std::string_view arg, PreparedArgs& out) {
    std::string_view body = arg.substr(2);
    const std::size_t eq = body.find('=');
    switch (classifyLong(index, body.substr(0, eq), eq != std::string_view::npos)) {
    case LongAction::Wildcard:
        out.keep(i, "--" + std::string(index.wildcard) + "=" + std::string(body));
        return false;
    case LongAction::Invalid:
        out.errors.push_back({i, arg.data()});
        return false;
    case LongAction::KeepAndValue:
        out.keep(i, arg);
        return true;
    case LongAction::Keep:
        break;
    }
    out.keep(i, arg);
    return false;
}

// Rewrites the arguments for argtable2 and notes the errors getopt_long would not find. Arguments
// after "--", plain words and the values taken by options are left alone.
PreparedArgs prepareArguments(int argc, char** argv, const OptionTable& table) {
    const OptionIndex index = indexOptions(table);
    auto argText = [&](int i) { return std::string_view(argv[i] ? argv[i] : ""); };
    PreparedArgs out;
    out.keep(0, argc > 0 && argv[0] ? argv[0] : kProgramName);
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argText(i);
        bool takesNext = false;
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            out.keep(i, arg);
        } else if (arg == "--") {
            out.keep(i, arg);
            optionsEnded = true;
        } else if (arg[1] != '-') {
            out.keep(i, arg);
            takesNext = shortClusterTakesNext(index, arg);
        } else {
            takesNext = prepareLong(index, i, arg, out);
        }
        if (takesNext && i + 1 < argc) {
            ++i;
            out.keep(i, argText(i));
        }
    }
    for (std::string& text : out.storage)
        out.argv.push_back(text.data());
    out.argv.push_back(nullptr);
    return out;
}

// One parse error as the library records it, with the original position of its argument.
struct ParseError {
    int position;
    int code;
    void* parent; // the table entry whose error function prints it
    const char* argval;
};

// Original argument index of an error's text, or argc for errors not tied to an argument.
int errorPosition(const PreparedArgs& args, const char* argval, int argc) {
    if (!argval)
        return argc;
    for (std::size_t k = 0; k < args.storage.size(); ++k) {
        const std::string& text = args.storage[k];
        if (argval >= text.data() && argval <= text.data() + text.size())
            return args.origin[k];
    }
    return argc;
}

// The library's errors and those of the pre-pass in the order of their arguments, cut at the end
// marker's limit the way the library cuts its own list.
std::vector<ParseError> collectErrors(struct arg_end& end, const PreparedArgs& args, int argc) {
    std::vector<ParseError> library;
    for (int k = 0; k < end.count; ++k)
        library.push_back(
            {errorPosition(args, end.argval[k], argc), end.error[k], end.parent[k], end.argval[k]});
    std::vector<ParseError> errors;
    std::size_t next = 0;
    for (const EarlyError& early : args.errors) {
        while (next < library.size() && library[next].position < early.argIndex)
            errors.push_back(library[next++]);
        errors.push_back({early.argIndex, ARG_ELONGOPT, &end, early.text});
    }
    errors.insert(errors.end(), library.begin() + static_cast<std::ptrdiff_t>(next), library.end());
    const auto limit = static_cast<std::size_t>(end.hdr.maxcount);
    if (errors.size() > limit) {
        errors.resize(limit);
        errors.back() = {argc, ARG_ELIMIT, &end, nullptr};
    }
    return errors;
}

// Parses with POSIXLY_CORRECT out of the way, so that options after the first path still count.
std::vector<ParseError> parseArguments(PreparedArgs& args, OptionTable& table, FrontEntries& front,
                                       int argc) {
    const char* posix = std::getenv("POSIXLY_CORRECT");
    std::string savedPosix = posix ? posix : "";
    if (posix)
        unsetenv("POSIXLY_CORRECT");
    arg_parse(static_cast<int>(args.argv.size() - 1), args.argv.data(), table.entries.data());
    if (posix)
        setenv("POSIXLY_CORRECT", savedPosix.c_str(), 1);
    return collectErrors(*front.end, args, argc);
}

void printUsage(OptionTable& table) {
    std::printf("Usage: %s", kProgramName);
    arg_print_syntaxv(stdout, table.entries.data(), "\n\n");
    arg_print_glossary(stdout, table.entries.data(), "  %-40s %s\n");
}

void printVersion() {
    std::printf("Version: %s\n", kVersionText);
    std::printf("Build date: %s\n", kBuildDateText);
    std::printf("GIT SHA: %s%s\n", kGitShaText, kGitShaSuffixText);
}

bool isTableEntry(const OptionTable& table, const void* parent) {
    for (void* entry : table.entries)
        if (entry == parent)
            return true;
    return false;
}

// argtable2 reports an invalid integer (the integer entry's own code) and an unexpected argument
// (ARG_ENOMATCH) with the same number, 3.
constexpr int kBadValueCode = ARG_ENOMATCH;

// Prints every error through the error function of the entry it belongs to.
void printErrors(const std::vector<ParseError>& errors) {
    for (const ParseError& error : errors) {
        auto* hdr = static_cast<const arg_hdr*>(error.parent);
        if (hdr->errorfn)
            hdr->errorfn(error.parent, stdout, error.code, error.argval, kProgramName);
    }
}

int parseErrorStatus(const OptionTable& table, const std::vector<ParseError>& errors) {
    const ParseError& first = errors.front();
    if (first.code == kBadValueCode && isTableEntry(table, first.parent))
        return kStatusBadValue;
    if (first.code == ARG_EMISSARG)
        return kStatusMissingValue;
    printErrors(errors);
    return kStatusParseError;
}

// Output levels for the verbosity values 0..5.
constexpr int kVerbosityLevels[] = {kDiagNone, kDiagFatal, kDiagError, kDiagWarning, kDiagInfo, kDiagInfo};

bool createFileSystems(RunConfig& config) {
    auto make = [&config](std::string_view root) {
        return config.makeFileSystem ? config.makeFileSystem(root) : fsCreate(root);
    };
    config.inputRoot = make(config.commonRoot);
    if (!config.inputRoot)
        return false;
    if (config.outputDirs.size() == 1) {
        config.separateOutputRoot = make(config.outputDirs.front());
        if (!config.separateOutputRoot) {
            diagLog(kDiagError, "Invalid output path: %s", config.outputDirs.front().c_str());
            return false;
        }
    }
    return true;
}

// The parent folder of an absolute path, including its "/"; empty when it has none.
bool findRoot(const std::string& path, std::string& root) {
    std::size_t n = path.size();
    if (n == 0)
        return false;
    std::size_t start;
    if (path.back() == '/') {
        if (n == 1)
            return false;
        start = n - 2;
    } else {
        start = n - 1;
    }
    for (std::size_t i = start; i >= 1; --i) {
        if (path[i] == '/') {
            root = path.substr(0, i + 1);
            return true;
        }
    }
    return false;
}

} // namespace

bool detectCommonRoot(RunConfig& config) {
    std::set<std::string> roots;
    for (const std::string& input : config.inputs) {
        std::string root;
        if (!findRoot(input, root)) {
            diagLog(kDiagFatal, "Could not find root for %.*s", static_cast<int>(input.size()), input.data());
            return false;
        }
        roots.insert(std::move(root));
    }
    if (roots.empty())
        return false;
    if (roots.size() > 1) {
        diagLog(kDiagFatal, "No common root detected for all inputs");
        return false;
    }
    config.commonRoot = *roots.begin();
    for (std::string& input : config.inputs)
        input.erase(0, std::min(config.commonRoot.size(), input.size()));
    return true;
}

bool parseCommandLine(RunConfig& config, int argc, char** argv, int* status) {
    OptionTable table;
    TableGuard guard{table};
    FrontEntries front;
    if (!buildTable(config, argc, table, front))
        return false;

    PreparedArgs args = prepareArguments(argc, argv, table);
    const std::vector<ParseError> errors = parseArguments(args, table, front, argc);

    if (front.help->count > 0 || argc <= 1) {
        printUsage(table);
        return false;
    }
    if (front.version->count > 0) {
        printVersion();
        *status = kStatusOk;
        return false;
    }
    if (!errors.empty()) {
        *status = parseErrorStatus(table, errors);
        return false;
    }

    int level = kDiagError;
    if (front.verbosity->count > 0) {
        int verbosity = front.verbosity->ival[0];
        if (verbosity < 0 || verbosity > 5) {
            *status = kStatusBadValue;
            return false;
        }
        level = kVerbosityLevels[verbosity];
    }
    diagSetOutputLevel(level);

    config.deleteConverted = front.deleteConverted->count == 1;
    config.noAppendRoot = front.noAppendRoot->count == 1;
    config.nonInteractive = front.nonInteractive->count == 1;
    config.bufferSize = front.buffer->count > 0 ? static_cast<int64_t>(front.buffer->ival[0]) : -1;
    config.jobs = front.jobs->count > 0 ? front.jobs->ival[0] : availableCpus();
    if (config.jobs < 1 || config.jobs > kMaxJobs) {
        diagLog(kDiagError, "Invalid number of jobs: %d (1 to %d)", config.jobs, kMaxJobs);
        *status = kStatusBadValue;
        return false;
    }

    if (!detectCommonRoot(config)) {
        *status = kStatusNoCommonRoot;
        return false;
    }
    if (!createFileSystems(config))
        return false;
    if (config.hooks && config.hooks->afterParse)
        return config.hooks->afterParse(config);
    return true;
}

} // namespace loglathe
