// The progress line: shown on a terminal, erased before the summaries, replaced by diagnostics
// lines, and never written where standard error is not a terminal or the user asked for none.

#include "e2e/e2e_databases.h"
#include "e2e/e2e_support.h"
#include "support/numbered_name.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

namespace loglathe::test {
namespace {

const std::string kErase = "\r\x1b[K";

// Two logs of one session with a few engine frames each, and the database for them.
struct ProgressTree {
    TempDir dir;
    std::string dbc = dir.write("powertrain.dbc", kCanDbc);
    std::string logs;
    std::size_t bytes = 0;

    ProgressTree() {
        for (int split = 1; split <= 2; ++split) {
            LogFile log;
            log.split = split;
            for (int i = 0; i < 50; ++i)
                log.lines.push_back(
                    frame(numberedName("31T12:00:", 10 + i) + ".000", 0x100, engineData(800 + i)));
            bytes += log.text().size();
            dir.write(numberedName("logs/", split) + ".txt", log.text());
        }
        logs = dir.path("logs");
    }
};

RunOptions onTerminal(const std::string& term = "xterm") {
    RunOptions options;
    options.stderrTerminal = true;
    options.environment = {"TERM=" + term};
    return options;
}

TEST(EndToEndProgress, ShownOnATerminalAndErasedBeforeTheSummaries) {
    ProgressTree tree;
    std::string out = tree.dir.mkdir("out");
    RunResult run = runLoglathe({"--dbc-can1=" + tree.dbc, "-O", out, tree.logs}, onTerminal());

    EXPECT_EQ(run.status, 0) << run.err;
    // The first state is drawn at once; the run is too short for a second redraw to be due, so the
    // line may be redrawn but always ends erased.
    char first[96];
    std::snprintf(first, sizeof first, "\rloglathe: 0/2 files, 0 B of %.1f KB, 0 frames/s, --:-- left\x1b[K",
                  static_cast<double>(tree.bytes) / 1024);
    EXPECT_EQ(run.err.rfind(first, 0), 0u) << run.err;
    EXPECT_NE(run.err.find(" left\x1b[K"), std::string::npos) << run.err;
    ASSERT_GE(run.err.size(), kErase.size());
    EXPECT_EQ(run.err.substr(run.err.size() - kErase.size()), kErase) << run.err;
    EXPECT_EQ(run.err.find('\n'), std::string::npos) << run.err;

    // Standard output and the files are those of a run without a terminal.
    std::string plainOut = tree.dir.mkdir("plain");
    RunResult plain = runLoglathe({"--dbc-can1=" + tree.dbc, "-O", plainOut, tree.logs});
    EXPECT_EQ(plain.err, "");
    ASSERT_TRUE(parseSummaries(run.out)) << run.out;
    EXPECT_EQ(parseSummaries(run.out), parseSummaries(plain.out));
    EXPECT_EQ(readTree(out), readTree(plainOut));
    EXPECT_EQ(readTree(out).size(), 1u);
}

TEST(EndToEndProgress, NeverWithNonInteractiveADumbTerminalOrWithoutATerminal) {
    ProgressTree tree;
    std::vector<std::string> args = {"--dbc-can1=" + tree.dbc, tree.logs};
    std::vector<std::string> quiet = {"--non-interactive", "--dbc-can1=" + tree.dbc, tree.logs};
    RunOptions unsetTerm = onTerminal();
    unsetTerm.environment = {"TERM="};

    for (const auto& [name, run] :
         {std::pair{"--non-interactive", runLoglathe(quiet, onTerminal())},
          std::pair{"TERM=dumb", runLoglathe(args, onTerminal("dumb"))},
          std::pair{"TERM empty", runLoglathe(args, unsetTerm)}, std::pair{"a file", runLoglathe(args)}}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_TRUE(parseSummaries(run.out)) << run.out;
    }
}

TEST(EndToEndProgress, ADiagnosticsLineReplacesTheLineInsteadOfContinuingIt) {
    ProgressTree tree;
    tree.dir.write("logs/3.txt", "no header\n");
    RunResult run = runLoglathe({"--dbc-can1=" + tree.dbc, tree.logs}, onTerminal());
    RunResult plain = runLoglathe({"--dbc-can1=" + tree.dbc, tree.logs});

    EXPECT_EQ(run.status, 8);
    EXPECT_EQ(plain.status, 8);
    std::vector<std::string> lines = splitLines(plain.err);
    ASSERT_EQ(lines.size(), 2u) << plain.err;
    for (const std::string& line : lines) // the same messages, after their time and process numbers
        EXPECT_EQ(countLines(run.err, line.substr(line.find(" E "))), 1) << run.err;
    // Both diagnostics lines start on a cleared line: the erase sequence comes right before each.
    auto count = [&](const std::string& pattern) {
        std::regex re(pattern);
        return std::distance(std::sregex_iterator(run.err.begin(), run.err.end(), re),
                             std::sregex_iterator());
    };
    EXPECT_EQ(count("\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} "), 2) << run.err;
    EXPECT_EQ(count("\r\x1b\\[K\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} "), 2) << run.err;
    EXPECT_EQ(parseSummaries(run.out), parseSummaries(plain.out));
}

} // namespace
} // namespace loglathe::test
