#include "e2e/e2e_support.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
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

RunResult runLoglathe(const std::vector<std::string>& args, const RunOptions& options) {
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
