#include "app/command_line.h"

#include "app/version.h"
#include "platform/diag_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string_view>

namespace loglathe {

namespace {

constexpr const char* kProgramName = "loglathe";
constexpr int kMaxErrors = 20;

// Entries of the front end that parseCommandLine reads after parsing.
struct FrontEntries {
    arg_lit* help = nullptr;
    arg_lit* version = nullptr;
    arg_int* verbosity = nullptr;
    arg_lit* nonInteractive = nullptr;
    arg_lit* deleteConverted = nullptr;
    arg_lit* noAppendRoot = nullptr;
    arg_int* buffer = nullptr;
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
    table.entries = {front.help,           front.version,         front.verbosity,
                     front.nonInteractive, front.deleteConverted, front.noAppendRoot,
                     front.buffer};

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

// An error found by the pre-pass, at the position of its argument.
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
};

bool hasValue(const arg_hdr* hdr) {
    return hdr->flag & ARG_HASVALUE;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// Corrects what getopt_long gets wrong for this table before argtable2 sees the arguments:
// - a literal option written with a value (--non-interactive=1) is an invalid option;
// - --NAME=VALUE whose NAME starts with the wildcard prefix is rewritten so that the wildcard entry
//   receives the whole text after "--"; without "=" it is an invalid option, and so is an
//   abbreviation that could only reach the wildcard;
// - an argument after "--" or taken as an option's value is left alone.
PreparedArgs prepareArguments(int argc, char** argv, const OptionTable& table) {
    PreparedArgs out;
    std::string_view wildcardPrefix;
    const arg_hdr* wildcard = nullptr;
    std::vector<const arg_hdr*> named;
    for (void* entry : table.entries) {
        auto* hdr = static_cast<const arg_hdr*>(entry);
        if (hdr->flag & ARG_TERMINATOR)
            break;
        if (!hdr->longopts || !*hdr->longopts)
            continue;
        std::string_view name = hdr->longopts;
        if (name.back() == '*') {
            wildcard = hdr;
            wildcardPrefix = name.substr(0, name.size() - 1);
        } else {
            named.push_back(hdr);
        }
    }
    auto shortEntry = [&](char c) -> const arg_hdr* {
        for (void* entry : table.entries) {
            auto* hdr = static_cast<const arg_hdr*>(entry);
            if (hdr->flag & ARG_TERMINATOR)
                break;
            if (hdr->shortopts && std::strchr(hdr->shortopts, c))
                return hdr;
        }
        return nullptr;
    };
    auto keep = [&](int i, std::string text) {
        out.storage.push_back(std::move(text));
        out.origin.push_back(i);
    };

    keep(0, argc > 0 && argv[0] ? argv[0] : kProgramName);
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i] ? argv[i] : "";
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            keep(i, std::string(arg));
            continue;
        }
        if (arg == "--") {
            keep(i, std::string(arg));
            optionsEnded = true;
            continue;
        }
        if (arg[1] != '-') {
            // Short options, possibly clustered; a value-taking one consumes the rest or the next word.
            keep(i, std::string(arg));
            for (std::size_t k = 1; k < arg.size(); ++k) {
                const arg_hdr* hdr = shortEntry(arg[k]);
                if (hdr && hasValue(hdr)) {
                    if (k + 1 == arg.size() && i + 1 < argc) {
                        ++i;
                        keep(i, argv[i] ? argv[i] : "");
                    }
                    break;
                }
            }
            continue;
        }
        std::string_view body = arg.substr(2);
        std::size_t eq = body.find('=');
        std::string_view name = body.substr(0, eq);
        bool withValue = eq != std::string_view::npos;
        if (wildcard && startsWith(name, wildcardPrefix)) {
            if (withValue)
                keep(i, "--" + std::string(wildcard->longopts) + "=" + std::string(body));
            else
                out.errors.push_back({i, argv[i]});
            continue;
        }
        const arg_hdr* exact = nullptr;
        const arg_hdr* abbreviated = nullptr;
        int abbreviations = 0;
        for (const arg_hdr* hdr : named) {
            std::string_view longName = hdr->longopts;
            if (longName == name)
                exact = hdr;
            else if (startsWith(longName, name)) {
                abbreviated = hdr;
                ++abbreviations;
            }
        }
        bool reachesWildcard = wildcard && !name.empty() && startsWith(wildcardPrefix, name);
        const arg_hdr* chosen =
            exact ? exact : (abbreviations == 1 && !reachesWildcard ? abbreviated : nullptr);
        if (!chosen && reachesWildcard && abbreviations == 0) {
            out.errors.push_back({i, argv[i]});
            continue;
        }
        if (chosen && !hasValue(chosen) && withValue) {
            out.errors.push_back({i, argv[i]});
            continue;
        }
        keep(i, std::string(arg));
        if (chosen && hasValue(chosen) && !withValue && i + 1 < argc) {
            ++i;
            keep(i, argv[i] ? argv[i] : "");
        }
    }
    for (std::string& text : out.storage)
        out.argv.push_back(text.data());
    out.argv.push_back(nullptr);
    return out;
}

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

// Adds the pre-pass errors to those of argtable2, in the order of their arguments.
void mergeEarlyErrors(struct arg_end* end, const PreparedArgs& args, int argc) {
    if (args.errors.empty())
        return;
    struct Item {
        int position;
        int error;
        void* parent;
        const char* argval;
    };
    std::vector<Item> items;
    for (int k = 0; k < end->count; ++k)
        items.push_back(
            {errorPosition(args, end->argval[k], argc), end->error[k], end->parent[k], end->argval[k]});
    std::vector<Item> merged;
    std::size_t next = 0;
    for (const EarlyError& early : args.errors) {
        while (next < items.size() && items[next].position < early.argIndex)
            merged.push_back(items[next++]);
        merged.push_back({early.argIndex, ARG_ELONGOPT, end, early.text});
    }
    while (next < items.size())
        merged.push_back(items[next++]);
    int limit = end->hdr.maxcount;
    end->count = 0;
    for (const Item& item : merged) {
        if (end->count >= limit) {
            end->error[limit - 1] = ARG_ELIMIT;
            end->parent[limit - 1] = end;
            end->argval[limit - 1] = nullptr;
            break;
        }
        end->error[end->count] = item.error;
        end->parent[end->count] = item.parent;
        end->argval[end->count] = item.argval;
        ++end->count;
    }
}

// Parses with POSIXLY_CORRECT out of the way, so that options after the first path still count.
int parseArguments(PreparedArgs& args, OptionTable& table, FrontEntries& front, int argc) {
    const char* posix = std::getenv("POSIXLY_CORRECT");
    std::string savedPosix = posix ? posix : "";
    if (posix)
        unsetenv("POSIXLY_CORRECT");
    int errors = arg_parse(static_cast<int>(args.argv.size() - 1), args.argv.data(), table.entries.data());
    if (posix)
        setenv("POSIXLY_CORRECT", savedPosix.c_str(), 1);
    mergeEarlyErrors(front.end, args, argc);
    return errors + static_cast<int>(args.errors.size()) > 0 ? front.end->count : 0;
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

int parseErrorStatus(const OptionTable& table, struct arg_end* end) {
    int code = end->error[0];
    if (code == kBadValueCode && isTableEntry(table, end->parent[0]))
        return kStatusBadValue;
    if (code == ARG_EMISSARG)
        return kStatusMissingValue;
    arg_print_errors(stdout, end, kProgramName);
    return kStatusParseError;
}

// Output levels for the verbosity values 0..5.
constexpr int kVerbosityLevels[] = {kDiagNone, kDiagFatal, kDiagError, kDiagWarning, kDiagInfo, kDiagInfo};

bool createFileSystems(RunConfig& config) {
    config.inputRoot = fsCreate(config.commonRoot);
    if (!config.inputRoot)
        return false;
    if (config.outputDirs.size() == 1) {
        config.separateOutputRoot = fsCreate(config.outputDirs.front());
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
    int errors = parseArguments(args, table, front, argc);

    if (front.help->count > 0 || argc <= 1) {
        printUsage(table);
        return false;
    }
    if (front.version->count > 0) {
        printVersion();
        *status = kStatusOk;
        return false;
    }
    if (errors > 0) {
        *status = parseErrorStatus(table, front.end);
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
