#include "e2e/e2e_support.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <pty.h>
#include <regex>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace loglathe::test {

namespace {

const char* kSetpriv = "/usr/bin/setpriv";

} // namespace

bool canDropDacOverride() {
    static int answer = -1;
    if (answer < 0)
        answer = ::access(kSetpriv, X_OK) == 0 &&
                 std::system("/usr/bin/setpriv --bounding-set=-dac_override,-dac_read_search true "
                             ">/dev/null 2>&1") == 0;
    return answer == 1;
}

namespace {

// The environment of a run: the inherited one with TZ and the entries of `extra` replaced.
std::vector<std::string> runEnvironment(const RunOptions& options) {
    std::vector<std::string> replace = options.environment;
    replace.push_back("TZ=" + options.tz);
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=') + 1); };
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const std::string& r : replace)
            replaced = replaced || nameOf(entry) == nameOf(r);
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), replace.begin(), replace.end());
    return env;
}

// Opens a pseudo-terminal in raw mode, 100 columns wide. False when none can be had.
bool openRawTerminal(int& master, int& slave) {
    struct winsize size {};
    size.ws_row = 24;
    size.ws_col = 100;
    if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0)
        return false;
    struct termios mode {};
    ::tcgetattr(slave, &mode);
    ::cfmakeraw(&mode);
    ::tcsetattr(slave, TCSANOW, &mode);
    return true;
}

// Everything written to the terminal until its last writer has closed it.
std::string drainTerminal(int master) {
    std::string text;
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(master, chunk, sizeof chunk);
        if (n > 0)
            text.append(chunk, static_cast<std::size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return text; // EIO once the program has ended
    }
}

} // namespace

namespace {

RunResult runOnce(const std::vector<std::string>& args, const RunOptions& options) {
    TempDir capture;
    std::string outPath = capture.path("stdout");
    std::string errPath = capture.path("stderr");

    std::vector<std::string> argv;
    if (options.withoutDacOverride) {
        argv = {kSetpriv, "--bounding-set=-dac_override,-dac_read_search", "--"};
    }
    argv.push_back(LOGLATHE_BINARY);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argp;
    for (std::string& a : argv)
        argp.push_back(a.data());
    argp.push_back(nullptr);

    std::vector<std::string> env = runEnvironment(options);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int master = -1, slave = -1;
    if (options.stderrTerminal && !openRawTerminal(master, slave))
        return RunResult{};
    pid_t pid = ::fork();
    if (pid == 0) {
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = slave >= 0 ? slave : ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (master >= 0)
            ::close(master);
        if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0)
            ::_exit(250);
        if (options.fileSizeLimit >= 0) {
            // The program must cope with the limit itself: it starts with the default action of
            // SIGXFSZ (termination) whatever this test process does with the signal.
            ::signal(SIGXFSZ, SIG_DFL);
            struct rlimit limit = {static_cast<rlim_t>(options.fileSizeLimit),
                                   static_cast<rlim_t>(options.fileSizeLimit)};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (options.openFilesLimit >= 0) {
            struct rlimit limit = {static_cast<rlim_t>(options.openFilesLimit),
                                   static_cast<rlim_t>(options.openFilesLimit)};
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
        // A pending alarm survives execve: a program that hangs ends the test instead of stalling it.
        ::alarm(options.timeoutSeconds);
        ::execve(argp[0], argp.data(), envp.data());
        ::_exit(251);
    }
    RunResult result;
    if (master >= 0) {
        ::close(slave);
        result.err = drainTerminal(master);
        ::close(master);
    }
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 1000 + WTERMSIG(wstatus);
    result.out = readFile(outPath);
    if (master < 0)
        result.err = readFile(errPath);
    return result;
}

// The test folder (a TempDir, "/tmp/loglathe-XXXXXX") that holds a path, or "" for none.
std::string testFolderOf(const std::string& path) {
    std::size_t at = path.find("/loglathe-");
    if (at == std::string::npos || path.front() != '/')
        return "";
    std::size_t end = path.find('/', at + 1);
    return path.substr(0, end == std::string::npos ? path.size() : end);
}

// The one test folder that the run's paths and working directory lie in; "" when there is none
// or there are several.
std::string worldOf(const std::vector<std::string>& args, const RunOptions& options) {
    std::string world;
    std::vector<std::string> paths = args;
    paths.push_back(options.cwd.empty() ? std::filesystem::current_path().string() : options.cwd);
    for (const std::string& arg : paths) {
        std::string value = arg.substr(arg.find('=') == std::string::npos ? 0 : arg.find('=') + 1);
        std::string folder = value.empty() ? "" : testFolderOf(value);
        if (folder.empty())
            continue;
        if (!world.empty() && folder != world)
            return "";
        world = folder;
    }
    return world;
}

bool choosesJobs(const std::vector<std::string>& args) {
    for (const std::string& arg : args)
        if (arg == "-j" || arg.rfind("--jobs", 0) == 0 || (arg.size() > 2 && arg.rfind("-j", 0) == 0))
            return true;
    return false;
}

// Standard output without the processor time, which differs from run to run.
std::string withoutExecutionTime(const std::string& out) {
    static const std::regex time("Execution time: \\d+ s\n");
    return std::regex_replace(out, time, "");
}

// Diagnostics lines without their clock stamps and process and thread ids (also those of the
// sanitizers' own lines in sanitizer builds, "==1234==WARNING: ...").
std::string withoutStamps(const std::string& err) {
    static const std::regex stamp("(^|\n)\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} +\\d+ +\\d+ ");
    static const std::regex sanitizerPid("(^|\n)==\\d+==");
    return std::regex_replace(std::regex_replace(err, stamp, "$1"), sanitizerPid, "$1==");
}

// A copy with links, special files, modes and holes kept (a test may leave a terabyte-sized sparse
// file in its folder).
void copyWorld(const std::string& from, const std::string& to) {
    std::filesystem::remove_all(to);
    std::string command = "cp -a --sparse=always '" + from + "' '" + to + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
}

// What the user finds in a folder: each entry by path, with the content of regular files (the size
// alone of very large ones), the target of links and the kind of anything else.
std::map<std::string, std::string> worldState(const std::string& root) {
    constexpr std::uintmax_t kContentMax = 64u << 20;
    std::map<std::string, std::string> state;
    namespace fs = std::filesystem;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::end(it);
         it.increment(error)) {
        const fs::directory_entry& entry = *it;
        std::string path = fs::relative(entry.path(), root).string();
        if (entry.is_symlink())
            state[path] = "link to " + fs::read_symlink(entry.path()).string();
        else if (entry.is_directory())
            state[path] = "folder";
        else if (entry.is_regular_file() && entry.file_size() > kContentMax)
            state[path] = "file of " + std::to_string(entry.file_size()) + " bytes";
        else if (entry.is_regular_file())
            state[path] = readFile(entry.path().string());
        else
            state[path] = "special file";
    }
    return state;
}

} // namespace

// A conversion in a test folder runs twice from the same state of that folder: on four workers and
// on one. Everything the user sees must be the same: exit status, standard output (the processor
// time aside), the diagnostics lines in their order (clock stamps aside) and every file in the
// folder (the CSV tree, JSON dumps, inputs deleted or kept). The folder is left as the run on one
// worker left it, and that run's result is answered.
RunResult runLoglathe(const std::vector<std::string>& args, const RunOptions& options) {
    const std::string world = worldOf(args, options);
    if (args.empty() || world.empty() || options.stderrTerminal || choosesJobs(args))
        return runOnce(args, options);

    const std::string before = world + ".before";
    copyWorld(world, before);
    std::vector<std::string> parallelArgs = {"--jobs=4"};
    parallelArgs.insert(parallelArgs.end(), args.begin(), args.end());
    RunResult parallel = runOnce(parallelArgs, options);
    std::map<std::string, std::string> parallelTree = worldState(world);

    copyWorld(before, world);
    std::filesystem::remove_all(before);
    std::vector<std::string> sequentialArgs = {"--jobs=1"};
    sequentialArgs.insert(sequentialArgs.end(), args.begin(), args.end());
    RunResult sequential = runOnce(sequentialArgs, options);

    EXPECT_EQ(parallel.status, sequential.status) << "with --jobs=4 and --jobs=1";
    EXPECT_EQ(withoutExecutionTime(parallel.out), withoutExecutionTime(sequential.out))
        << "standard output with --jobs=4 and --jobs=1";
    EXPECT_EQ(withoutStamps(parallel.err), withoutStamps(sequential.err))
        << "diagnostics with --jobs=4 and --jobs=1";
    std::map<std::string, std::string> sequentialTree = worldState(world);
    std::string differing;
    for (const auto& [path, content] : sequentialTree) {
        auto other = parallelTree.find(path);
        if (other == parallelTree.end() || other->second != content)
            differing += " " + path;
    }
    for (const auto& [path, content] : parallelTree)
        if (!sequentialTree.count(path))
            differing += " " + path;
    EXPECT_EQ(differing, "") << "files in " << world << " that differ with --jobs=4 and --jobs=1";
    return sequential;
}

std::map<std::string, std::string> readTree(const std::string& root) {
    std::map<std::string, std::string> files;
    if (!std::filesystem::exists(root))
        return files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files[std::filesystem::relative(entry.path(), root).string()] = readFile(entry.path().string());
    return files;
}

std::string LogFile::text() const {
    std::ostringstream t;
    t << "# Logger type: VantorixB\n"
      << "# HW rev: 01.0\n"
      << "# FW rev: 01.07\n"
      << "# Logger ID: " << loggerId << "\n"
      << "# Session No.: " << session << "\n"
      << "# Split No.: " << split << "\n"
      << "# Time: " << time << "\n"
      << "# Value separator: \";\"\n"
      << "# Time format: " << timeFormat << "\n"
      << "# Time separator: \":\"\n"
      << "# Time separator ms: \".\"\n"
      << "# Date separator: \"/\"\n"
      << "# Time and date separator: \"T\"\n"
      << "# Bit-rate: 500000\n"
      << "# Silent mode: false\n"
      << "# Cyclic mode: false\n"
      << "Timestamp;Type;ID;Length;Data\n";
    for (const std::string& line : lines)
        t << line << "\n";
    return t.str();
}

std::string frame(const std::string& time, uint32_t id, const std::string& hexData, bool extended) {
    char fields[48];
    std::snprintf(fields, sizeof fields, ";%d;%X;%zu;", extended ? 1 : 0, id, hexData.size() / 2);
    return time + fields + hexData;
}

std::string frame(const std::string& time, uint32_t id, const std::vector<uint8_t>& data, bool extended) {
    std::string hex;
    char digits[3];
    for (uint8_t byte : data) {
        std::snprintf(digits, sizeof digits, "%02X", byte);
        hex += digits;
    }
    return frame(time, id, hex, extended);
}

std::ostream& operator<<(std::ostream& out, const Summaries& s) {
    return out << "{reader " << s.readerFiles << " files, " << s.readerMessages << " messages, "
               << s.readerMegabytes << " MB; tp " << s.tpSuccessful << " successful, " << s.tpFailed
               << " failed, " << s.tpUnfinished << " unfinished; writer " << s.writerFiles << " files, "
               << s.writerMessages << " messages, " << s.writerSignals << " signals}";
}

std::optional<Summaries> parseSummaries(const std::string& out) {
    static const std::string separator(79, '-');
    static const std::regex layout(
        separator + "\nReader summary\n- Files: (\\d+)\n- Messages: (\\d+)\n- Size: (\\d+) MB\n" + separator +
        "\nTransport protocol summary\n- Successful sessions: (\\d+)\n"
        "- Failed sessions: (\\d+)\n- Unfinished sessions: (\\d+)\n" +
        separator + "\nWriter summary\n- Files: (\\d+)\n- Messages: (\\d+)\n- Signals: (\\d+)\n" + separator +
        "\nExecution time: \\d+ s\n" + separator + "\n");
    std::smatch match;
    if (!std::regex_match(out, match, layout))
        return std::nullopt;
    auto number = [&](int group) { return std::stoull(match[group].str()); };
    return Summaries{number(1), number(2), number(3), number(4), number(5),
                     number(6), number(7), number(8), number(9)};
}

} // namespace loglathe::test
