#include "app/command_line.h"

#include "app/dbc_options.h"

#include "platform/diag_log.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <sched.h>

namespace loglathe {
namespace {

using test::TempDir;

// The options of the database module without its loading step, so that no DBC file is needed.
const RunConfigHooks kHooksWithoutLoading = {dbcAddOptions, nullptr, dbcReleaseOptions};

// Runs parseCommandLine on the given arguments (the program name is added) and keeps what it left.
struct Parsed {
    bool ok = false;
    int status = 129;
    std::string out;
    std::unique_ptr<RunConfig> config;
};

class CommandLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedLevel_ = diagGetOutputLevel();
        input_ = dir_.write("d/x.txt", "");
        dir_.write("d/logs/y.txt", "");
        dir_.mkdir("out");
    }
    void TearDown() override { diagSetOutputLevel(savedLevel_); }

    Parsed parse(std::vector<std::string> args) {
        args.insert(args.begin(), "loglathe");
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        Parsed p;
        p.config = runConfigCreate();
        p.config->hooks = &kHooksWithoutLoading;
        ::testing::internal::CaptureStdout();
        p.ok = parseCommandLine(*p.config, static_cast<int>(args.size()), argv.data(), &p.status);
        p.out = ::testing::internal::GetCapturedStdout();
        diagSetOutputLevel(kDiagNone);
        return p;
    }

    TempDir dir_;
    std::string input_;
    int savedLevel_ = kDiagNone;
};

TEST_F(CommandLineTest, HelpAndVersionTakePrecedence) {
    Parsed none = parse({});
    EXPECT_FALSE(none.ok);
    EXPECT_EQ(none.status, 129);
    EXPECT_EQ(none.out.rfind("Usage: loglathe [--help] [-v|--version]", 0), 0u) << none.out;
    EXPECT_NE(none.out.find("  --no-concat                              do not concatenate output\n"),
              std::string::npos);

    Parsed help = parse({"--help", "--bogus"});
    EXPECT_EQ(help.status, 129);
    EXPECT_EQ(help.out.rfind("Usage: loglathe", 0), 0u);

    Parsed version = parse({"-v", "--bogus"});
    EXPECT_FALSE(version.ok);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("Version: ", 0), 0u);
    EXPECT_NE(version.out.find("\nBuild date: "), std::string::npos);
    EXPECT_NE(version.out.find("\nGIT SHA: "), std::string::npos);
}

TEST_F(CommandLineTest, ErrorStatuses) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* printed; // expected start of the output, or "" for nothing
    };
    const std::string in = input_;
    const Case cases[] = {
        {{"--verbosity=7", in}, 131, ""},
        {{"--verbosity=-1", in}, 131, ""},
        {{"--verbosity=abc", in}, 131, ""},
        {{in, "--buffer"}, 130, ""},
        {{"--concat"}, 134, "loglathe: missing option file(s)/folder(s)\n"},
        {{"--concat", "--concat", in}, 134, "loglathe: extraneous option --concat\n"},
        {{"--dbc-lin1=/d/l.dbc", in}, 134, "loglathe: invalid option \"--dbc-lin1=/d/l.dbc\"\n"},
        {{"--dbc-can1", "/d/a.dbc", in}, 134, "loglathe: invalid option \"--dbc-can1\"\n"},
        {{"--non-interactive=1", in}, 134, "loglathe: invalid option \"--non-interactive=1\"\n"},
        {{"--no-append-root=1", in}, 134, "loglathe: invalid option \"--no-append-root=1\"\n"},
        {{"--input-files=" + in, in}, 134, "loglathe: invalid option \"--input-files="},
        {{"--dbc=a.dbc", in}, 134, "loglathe: invalid option \"--dbc=a.dbc\"\n"},
        {{"--bogus", in}, 134, "loglathe: invalid option \"--bogus\"\n"},
        {{"--buffer=99999999999", in}, 134, "loglathe: "},
        {{"/x.txt"}, 132, ""},
        {{in, dir_.path("d/logs/y.txt")}, 132, ""},
        {{"-O", dir_.path("missing"), in}, 129, ""},
    };
    for (const Case& c : cases) {
        Parsed p = parse(c.args);
        EXPECT_FALSE(p.ok) << c.args[0];
        EXPECT_EQ(p.status, c.status) << c.args[0];
        if (*c.printed)
            EXPECT_EQ(p.out.rfind(c.printed, 0), 0u) << c.args[0] << " printed: " << p.out;
        else
            EXPECT_EQ(p.out, "") << c.args[0];
    }
}

TEST_F(CommandLineTest, OptionsAfterThePathAndUnderPosixlyCorrect) {
    setenv("POSIXLY_CORRECT", "1", 1);
    Parsed p = parse({input_, "--no-concat", "-d"});
    unsetenv("POSIXLY_CORRECT");
    ASSERT_TRUE(p.ok) << p.out;
    EXPECT_FALSE(p.config->concat);
    EXPECT_TRUE(p.config->deleteConverted);

    Parsed dashes = parse({"--", input_});
    ASSERT_TRUE(dashes.ok);
    EXPECT_EQ(dashes.config->inputs, std::vector<std::string>{"x.txt"});
}

TEST_F(CommandLineTest, SwitchPairsAndValues) {
    Parsed p = parse({"--no-concat", "--concat", "--no-pgn-dst-merge", "--pgn-src-merge", "--dbdump",
                      "--verbosity=5", "--buffer=1KB", "-X", "--non-interactive", input_});
    ASSERT_TRUE(p.ok) << p.out;
    EXPECT_FALSE(p.config->concat); // the "no-" form wins whatever the order
    EXPECT_TRUE(p.config->pgnSrcMerge);
    EXPECT_FALSE(p.config->pgnDstMerge);
    EXPECT_TRUE(p.config->dbDump);
    EXPECT_EQ(p.config->bufferSize, 1024);
    EXPECT_TRUE(p.config->noAppendRoot);
    EXPECT_TRUE(p.config->nonInteractive);
    EXPECT_FALSE(p.config->deleteConverted);

    Parsed defaults = parse({input_});
    ASSERT_TRUE(defaults.ok);
    EXPECT_TRUE(defaults.config->concat);
    EXPECT_FALSE(defaults.config->pgnSrcMerge);
    EXPECT_TRUE(defaults.config->pgnDstMerge);
    EXPECT_FALSE(defaults.config->dbDump);
    EXPECT_EQ(defaults.config->bufferSize, -1);

    EXPECT_EQ(parse({"--buffer=0x10", input_}).config->bufferSize, 16);
    EXPECT_EQ(parse({"-b", "-5", input_}).config->bufferSize, -5);
}

TEST_F(CommandLineTest, VerbosityMapsToOutputLevels) {
    // parse() resets the level afterwards, so read it from a parse that keeps it.
    auto levelAfter = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "loglathe");
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        auto config = runConfigCreate();
        config->hooks = &kHooksWithoutLoading;
        int status = 129;
        EXPECT_TRUE(parseCommandLine(*config, static_cast<int>(argv.size()), argv.data(), &status));
        return diagGetOutputLevel();
    };
    const std::pair<const char*, int> cases[] = {{"0", kDiagNone},    {"1", kDiagFatal}, {"2", kDiagError},
                                                 {"3", kDiagWarning}, {"4", kDiagInfo},  {"5", kDiagInfo}};
    for (const auto& [value, level] : cases)
        EXPECT_EQ(levelAfter({std::string("--verbosity=") + value, input_}), level) << value;
    EXPECT_EQ(levelAfter({input_}), kDiagError);
}

TEST_F(CommandLineTest, JobsDefaultToTheCpusTheProcessMayUseAndRejectCountsBelowOne) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    Parsed defaults = parse({input_});
    ASSERT_TRUE(defaults.ok);
    EXPECT_EQ(defaults.config->jobs, CPU_COUNT(&allowed));
    EXPECT_EQ(parse({"-j", "3", input_}).config->jobs, 3);
    EXPECT_EQ(parse({"--jobs=1", input_}).config->jobs, 1);
    for (const char* bad : {"--jobs=0", "--jobs=-1", "--jobs=x", "--jobs=1KB"}) {
        Parsed p = parse({bad, input_});
        EXPECT_FALSE(p.ok) << bad;
        EXPECT_EQ(p.status, 131) << bad;
    }
    EXPECT_EQ(parse({"--jobs", input_}).status, 131) << "the path is no number of jobs";
}

TEST_F(CommandLineTest, WildcardKeepsWholeOptionTexts) {
    Parsed p = parse({"--dbc-can1=/d/a.dbc", "--dbc-can2=/d/b.dbc", "--dbc-can12=x=y", input_});
    ASSERT_TRUE(p.ok) << p.out;
    EXPECT_EQ(p.config->dbcArgs,
              (std::vector<std::string>{"dbc-can1=/d/a.dbc", "dbc-can2=/d/b.dbc", "dbc-can12=x=y"}));

    std::vector<std::string> many;
    for (int i = 0; i < 100; ++i)
        many.push_back("--dbc-can1=/d/a.dbc");
    many.push_back(input_);
    Parsed excess = parse(many);
    EXPECT_EQ(excess.status, 134);
    EXPECT_EQ(excess.out.rfind("loglathe: excess option --dbc-can*=<string>", 0), 0u) << excess.out;
}

TEST_F(CommandLineTest, RootDetectionAndOutputDirectory) {
    Parsed folder = parse({dir_.path("d/logs")});
    ASSERT_TRUE(folder.ok);
    EXPECT_EQ(folder.config->commonRoot, dir_.path("d/"));
    EXPECT_EQ(folder.config->inputs, std::vector<std::string>{"logs/"});
    EXPECT_EQ(folder.config->outputRoot(), folder.config->inputRoot.get());

    Parsed same = parse({"-i", input_, input_, dir_.path("d/logs/")});
    ASSERT_TRUE(same.ok);
    EXPECT_EQ(same.config->inputs, (std::vector<std::string>{"x.txt", "x.txt", "logs/"}));

    for (auto form : {std::vector<std::string>{"--output-directory=" + dir_.path("out"), input_},
                      std::vector<std::string>{"--output-directory", dir_.path("out"), input_},
                      std::vector<std::string>{"-O", dir_.path("out"), input_}}) {
        Parsed p = parse(form);
        ASSERT_TRUE(p.ok) << form[0];
        EXPECT_EQ(p.config->outputRoot()->root(), dir_.path("out/"));
        EXPECT_NE(p.config->outputRoot(), p.config->inputRoot.get());
    }
}

TEST_F(CommandLineTest, OddArgumentsNeitherCrashNorHang) {
    std::string spaced = dir_.write("d/with space.txt", "");
    std::string latin1 = dir_.write("d/caf\xe9.txt", "");
    Parsed p = parse({spaced, latin1, input_});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.config->inputs, (std::vector<std::string>{"with space.txt", "caf\xe9.txt", "x.txt"}));

    EXPECT_EQ(parse({""}).ok, true); // the working directory's parent is the root

    std::string longName(3000, 'a');
    Parsed longPath = parse({dir_.path("d/" + longName)});
    ASSERT_TRUE(longPath.ok); // cannot be examined, so it keeps its form
    EXPECT_EQ(longPath.config->inputs, std::vector<std::string>{longName});

    std::vector<std::string> thousand(1000, input_);
    Parsed many = parse(thousand);
    ASSERT_TRUE(many.ok);
    EXPECT_EQ(many.config->inputs.size(), 1000u);
}

} // namespace
} // namespace loglathe
