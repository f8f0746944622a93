// Fuzz target: the command line and path normalisation.
//
// Input: the arguments, separated by NUL bytes (at most 64 of them); the program name is added in
// front. Each argument is first normalised as a path on its own, then all of them are parsed as the
// command line of a run, with the database-options module installed as in the product.
//
// Each input runs in a scratch folder of its own (made once, removed at exit) holding a small log
// tree, an output folder and a DBC file that the working-directory discovery loads, so that relative
// paths, dumps and loaded databases stay inside it. Standard output (usage, errors) is discarded, and
// so are the diagnostics lines while the command line runs; sanitizer reports still reach the
// original standard error.
//
// Checks: normalised paths use "/" only and split into folder and base name; the common root of
// absolute paths is a prefix of each; the exit status of a refused command line is one of the
// documented ones; an accepted one has the file system of its common root.

#include "app/command_line.h"
#include "app/run_config.h"
#include "fuzz_support.h"
#include "platform/diag_log.h"
#include "platform/file_system.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace loglathe;

extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

namespace {

constexpr std::size_t kMaxArguments = 64;

constexpr const char* kDbcText = R"(VERSION ""
BU_: ECU GW
BO_ 256 EngineData: 8 ECU
 SG_ EngineSpeed : 0|16@1+ (0.25,0) [0|16383.75] "rpm" GW
BA_DEF_  "BusType" STRING ;
BA_ "BusType" "CAN";
)";

struct Workspace {
    std::filesystem::path root;
    int savedStderr = -1;
    int discard = -1;
    int caller = -1; // the working directory to return to after each input
};

void removeWorkspace();

Workspace& workspace() {
    static Workspace w = [] {
        Workspace made;
        std::string templ = (std::filesystem::temp_directory_path() / "loglathe-fuzz-XXXXXX").string();
        FUZZ_CHECK(::mkdtemp(templ.data()) != nullptr);
        made.root = templ;
        std::filesystem::create_directories(made.root / "d" / "logs");
        std::filesystem::create_directories(made.root / "out");
        std::ofstream(made.root / "d" / "x.txt") << "";
        std::ofstream(made.root / "d" / "logs" / "y.txt") << "";
        std::ofstream(made.root / "can1-vehicle.dbc") << kDbcText;
        made.caller = ::open(".", O_RDONLY | O_DIRECTORY);
        FUZZ_CHECK(made.caller >= 0);
        made.discard = ::open("/dev/null", O_WRONLY);
        FUZZ_CHECK(made.discard >= 0);
        std::fflush(stdout);
        ::dup2(made.discard, 1);
        made.savedStderr = ::dup(2);
        if (__sanitizer_set_report_fd)
            __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(made.savedStderr)));
        std::atexit(removeWorkspace);
        return made;
    }();
    return w;
}

void removeWorkspace() {
    std::error_code ignored;
    std::filesystem::remove_all(workspace().root, ignored);
}

std::vector<std::string> splitArguments(const uint8_t* data, std::size_t size) {
    std::vector<std::string> words;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    while (words.size() < kMaxArguments && !text.empty()) {
        std::size_t end = text.find('\0');
        words.emplace_back(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
    return words;
}

void checkNormalized(const std::string& word) {
    std::string path = word;
    pathNormalize(path);
    FUZZ_CHECK(path.find('\\') == std::string::npos);
    std::string_view dir = pathDirName(path);
    std::string_view base = pathBaseName(path);
    FUZZ_CHECK(std::string(dir) + std::string(base) == path);
    std::string_view extension = pathExtension(path);
    FUZZ_CHECK(extension.size() <= base.size() && base.ends_with(extension));
}

void checkCommonRoot(const std::vector<std::string>& words) {
    RunConfig config;
    for (const std::string& word : words)
        if (pathIsAbsolute(word))
            config.inputs.push_back(word);
    std::vector<std::string> originals = config.inputs;
    if (!detectCommonRoot(config))
        return;
    FUZZ_CHECK(!config.commonRoot.empty() && config.commonRoot.back() == '/');
    for (std::size_t i = 0; i < originals.size(); ++i)
        FUZZ_CHECK(config.commonRoot + config.inputs[i] == originals[i]);
}

void checkParse(std::vector<std::string>& words, Workspace& w) {
    std::vector<char*> argv;
    std::string program = "loglathe";
    argv.push_back(program.data());
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    std::unique_ptr<RunConfig> config = runConfigCreate();
    int status = kStatusSetup;
    ::dup2(w.discard, 2);
    bool accepted = parseCommandLine(*config, int(argv.size() - 1), argv.data(), &status);
    std::fflush(stdout);
    diagSetOutputLevel(kDiagNone);
    ::dup2(w.savedStderr, 2);

    if (accepted) {
        FUZZ_CHECK(config->inputRoot != nullptr && !config->inputs.empty());
        FUZZ_CHECK(config->inputRoot->root() == config->commonRoot);
    } else {
        FUZZ_CHECK(status == kStatusOk || status == kStatusSetup || status == kStatusMissingValue ||
                   status == kStatusBadValue || status == kStatusNoCommonRoot || status == kStatusParseError);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Workspace& w = workspace();
    std::vector<std::string> words = splitArguments(data, size);
    // Inside the scratch folder only while the input runs: the fuzzer reads and writes its files
    // relative to its own working directory.
    FUZZ_CHECK(::chdir(w.root.c_str()) == 0);
    for (const std::string& word : words)
        checkNormalized(word);
    checkCommonRoot(words);
    checkParse(words, w);
    FUZZ_CHECK(::fchdir(w.caller) == 0);
    return 0;
}
