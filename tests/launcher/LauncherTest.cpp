// The morvalauncher program driven from outside: what reaches the
// interpreter, what a real shell does with it, and every refusal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "RtiVersion.h"
#include "TestSupport.h"

using namespace std::chrono_literals;
using testsupport::Process;
namespace fs = std::filesystem;

namespace {

using V = std::vector<std::string>;

const std::string kUsage =
    "Invalid Command Line: Usage: morvalauncher <federation name> <quorvex host> <quorvex port> "
    "<timeout in sec>\n"
    "(Got: ";

// A fresh directory below /tmp, removed with everything in it.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "launcher_test.XXXXXX").string();
        if (!::mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

void writeScript(const std::string& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body;
    ::chmod(path.c_str(), 0755);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The argument vector written by the recording interpreter.
V recordedArgv(const std::string& path) {
    std::string text = readFile(path);
    V argv;
    size_t begin = 0;
    for (size_t nul; (nul = text.find('\0', begin)) != std::string::npos; begin = nul + 1)
        argv.push_back(text.substr(begin, nul - begin));
    return argv;
}

// Starts the launcher with only the given interpreter/installation variables
// set; none of ComSpec, SHELL and RTI_HOME leaks in from our environment.
Process::Options launcherEnv(const V& env, bool stdinDevNull = true) {
    Process::Options opt;
    opt.unsetEnv = {"ComSpec", "SHELL", "RTI_HOME", "ARGV_RECORD_FILE"};
    opt.env = env;
    opt.stdinDevNull = stdinDevNull;
    return opt;
}

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome runLauncher(const V& args, const V& env) {
    Process p(testsupport::binPath("morvalauncher"), args, launcherEnv(env));
    int status = p.wait();
    return {status, p.stdoutText(), p.stderrText()};
}

// Puts a fake executive at RTI_HOME/bin/morva that prints its arguments,
// each in brackets so empty ones show, and writes them to `args` as well.
void installFakeMorva(const TempDir& home) {
    fs::create_directories(home.path() / "bin");
    writeScript(home / "bin/morva", "for a in \"$@\"; do printf '[%s]' \"$a\"; done > \"" +
                                        home / "args" +
                                        "\"\n"
                                        "echo \"morva ran: $(cat \"" +
                                        home / "args" + "\")\"\n");
}

}  // namespace

class LauncherWithRecorder : public ::testing::Test {
  protected:
    TempDir dir_;
    std::string record_ = dir_ / "argv";
    V env_ = {std::string("ComSpec=") + ARGV_RECORDER, "RTI_HOME=/opt/rti",
              "ARGV_RECORD_FILE=" + record_};

    V launch(const V& args) {
        Outcome o = runLauncher(args, env_);
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.out + o.err, "");
        return recordedArgv(record_);
    }
};

TEST_F(LauncherWithRecorder, InterpreterGetsScriptProgramAndTheFourFields) {
    V argv = launch({"fed1", "hostA", "9000", "30"});
    ASSERT_EQ(argv.size(), 8u);
    EXPECT_EQ(argv[0], ARGV_RECORDER);
    EXPECT_EQ(argv[1], "-c");
    EXPECT_FALSE(argv[2].empty());
    EXPECT_EQ(V(argv.begin() + 3, argv.end()),
              (V{"/opt/rti/bin/morva", "fed1", "hostA", "9000", "30"}));
}

TEST_F(LauncherWithRecorder, FieldsArePassedVerbatimAndNeverIntoTheScript) {
    V argv = launch({"fed1", "", "hostA", "9000"});
    ASSERT_EQ(argv.size(), 8u);
    EXPECT_EQ(V(argv.begin() + 4, argv.end()), (V{"fed1", "", "hostA", "9000"}));

    // The command line is text: one argument holding the blanks splits the same way.
    argv = launch({"a;touch X  $(id)"});
    ASSERT_EQ(argv.size(), 8u);
    EXPECT_EQ(V(argv.begin() + 4, argv.end()), (V{"a;touch", "X", "", "$(id)"}));
    EXPECT_EQ(argv[2].find("touch"), std::string::npos) << argv[2];
    EXPECT_EQ(argv[2].find("$(id)"), std::string::npos) << argv[2];
}

TEST_F(LauncherWithRecorder, ShellIsTheInterpreterWithoutComSpecAndComSpecWinsOverIt) {
    env_ = {std::string("SHELL=") + ARGV_RECORDER, "RTI_HOME=/opt/rti",
            "ARGV_RECORD_FILE=" + record_};
    V argv = launch({"fed1", "hostA", "9000", "30"});
    ASSERT_FALSE(argv.empty());
    EXPECT_EQ(argv[0], ARGV_RECORDER);

    env_ = {std::string("ComSpec=") + ARGV_RECORDER, "SHELL=/bin/false", "RTI_HOME=/opt/rti",
            "ARGV_RECORD_FILE=" + record_};
    ::unlink(record_.c_str());
    argv = launch({"fed1", "hostA", "9000", "30"});
    ASSERT_FALSE(argv.empty());
    EXPECT_EQ(argv[0], ARGV_RECORDER);
}

TEST(LauncherErrors, RefusalsPrintCaptionAndTextAndEndWith255) {
    TempDir dir;
    std::string record = dir / "argv";
    V good = {std::string("ComSpec=") + ARGV_RECORDER, "RTI_HOME=/opt/rti",
              "ARGV_RECORD_FILE=" + record};
    struct Case {
        V args;
        V env;
        std::string err;
    };
    const std::string noInterpreter =
        "Run-Time Error: 'ComSpec' and 'SHELL' environment variables not set.\n";
    const std::string noHome = "Run-Time Error: 'RTI_HOME' environment variable not set.\n";
    const Case cases[] = {
        // The interpreter is checked first: nothing else matters without one.
        {{"fed1", "hostA", "9000", "30"},
         {"RTI_HOME=/opt/rti", "ARGV_RECORD_FILE=" + record},
         noInterpreter},
        {{}, {"ARGV_RECORD_FILE=" + record}, noInterpreter},
        // Then the installation root, before the command line.
        {{}, {std::string("ComSpec=") + ARGV_RECORDER, "ARGV_RECORD_FILE=" + record}, noHome},
        {{"fed1", "hostA", "9000", "30"},
         {std::string("SHELL=") + ARGV_RECORDER, "ARGV_RECORD_FILE=" + record},
         noHome},
        // Then the four fields; the usage shows the command line as received.
        {{}, good, kUsage + ")\n"},
        {{""}, good, kUsage + ")\n"},
        {{"fed1", "hostA", "9000"}, good, kUsage + "fed1 hostA 9000)\n"},
        {{"fed1", "hostA", "9000", "30", ""}, good, kUsage + "fed1 hostA 9000 30 )\n"},
        {{"fed1", "hostA", "9000", "30", "extra"}, good, kUsage + "fed1 hostA 9000 30 extra)\n"},
        {{"fed1 hostA", "9000 3 0"}, good, kUsage + "fed1 hostA 9000 3 0)\n"},
    };
    for (const auto& c : cases) {
        std::string label = "args:";
        for (const auto& a : c.args) label += " [" + a + "]";
        Outcome o = runLauncher(c.args, c.env);
        EXPECT_EQ(o.status, 255) << label;
        EXPECT_EQ(o.err, c.err) << label;
        EXPECT_EQ(o.out, "") << label;
        EXPECT_FALSE(fs::exists(record)) << label << ": the interpreter must not run";
    }
}

// Asked alone and before the environment is looked at, so they answer where
// nothing is set up yet; with other fields they are fields like any other.
TEST(LauncherCommandLine, VersionAndHelpAloneNeedNoEnvironment) {
    Outcome version = runLauncher({"--version"}, {});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("morvalauncher ") + RTI_VERSION + "\n");
    EXPECT_EQ(version.err, "");
    Outcome help = runLauncher({"--help"}, {});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: morvalauncher <federation name> <quorvex host> <quorvex port> "
                             "<timeout in sec>\n",
                             0),
              0u)
        << help.out;
    Outcome notAlone = runLauncher({"--version", "x"}, {"SHELL=/bin/sh", "RTI_HOME=/opt/rti"});
    EXPECT_EQ(notAlone.status, 255);
    EXPECT_EQ(notAlone.err, kUsage + "--version x)\n");
}

TEST(LauncherErrors, InterpreterThatCannotStartIsReportedWith255) {
    TempDir dir;
    const std::string notRunnable = dir / "not-runnable";
    std::ofstream(notRunnable) << "#!/bin/sh\n";
    ::chmod(notRunnable.c_str(), 0644);
    struct Case {
        V env;
        std::string interpreter;
        int error;
    };
    const Case cases[] = {
        {{"ComSpec=" + dir / "no-such-interpreter"}, dir / "no-such-interpreter", ENOENT},
        {{"ComSpec=", "SHELL=/bin/sh"}, "", ENOENT},
        {{"SHELL=" + dir.path().string()}, dir.path().string(), EACCES},
        {{"SHELL=" + notRunnable}, notRunnable, EACCES},
    };
    for (const auto& c : cases) {
        V env = c.env;
        env.push_back("RTI_HOME=/opt/rti");
        Outcome o = runLauncher({"fed1", "hostA", "9000", "30"}, env);
        EXPECT_EQ(o.status, 255) << env[0];
        EXPECT_EQ(o.err, "Run-Time Error: cannot start the interpreter '" + c.interpreter +
                             "': " + std::strerror(c.error) + "\n")
            << env[0];
        EXPECT_EQ(o.out, "") << env[0];
    }
}

// With a real shell: the executive runs with its four arguments, a field
// with shell syntax stays a plain argument, and the shell stays open.
class LauncherWithShell : public ::testing::Test {
  protected:
    TempDir home_;
    TempDir work_;

    void SetUp() override { installFakeMorva(home_); }
    V env(const std::string& interpreterVar, const std::string& interpreter) {
        return {interpreterVar + "=" + interpreter, "RTI_HOME=" + home_.path().string()};
    }
};

TEST_F(LauncherWithShell, ExecutiveGetsTheFieldsAndNothingIsExecuted) {
    Process::Options opt = launcherEnv(env("ComSpec", "/bin/sh"));
    opt.workDir = work_.path().string();
    Process p(testsupport::binPath("morvalauncher"),
              {"a;touch${IFS}X", "", "$(touch\tY)", "`touch\tZ`>W"}, opt);
    EXPECT_EQ(p.wait(), 0) << p.stderrText();
    EXPECT_EQ(readFile(home_ / "args"), "[a;touch${IFS}X][][$(touch\tY)][`touch\tZ`>W]");
    EXPECT_NE(p.waitStdout("morva ran:"), "");
    EXPECT_TRUE(fs::is_empty(work_.path())) << "a field was executed as shell code";
}

TEST_F(LauncherWithShell, InterpreterStaysOpenAfterTheExecutive) {
    Process p(testsupport::binPath("morvalauncher"), {"fed1", "hostA", "9000", "30"},
              launcherEnv(env("SHELL", "/bin/sh"), false));
    ASSERT_EQ(p.waitStdout("morva ran:"), "morva ran: [fed1][hostA][9000][30]");
    ASSERT_TRUE(p.write("echo still-here $((6*7))\n"));
    EXPECT_EQ(p.waitStdout("still-here"), "still-here 42");
    ASSERT_TRUE(p.write("exit 5\n"));
    EXPECT_EQ(p.wait(), 5);
}

TEST_F(LauncherWithShell, TheInterpreterThatStaysOpenIsTheOneThatWasStarted) {
    // A wrapper around sh that notes how it is started each time.
    std::string wrapper = home_ / "wrapper";
    std::string log = home_ / "wrapper.log";
    writeScript(wrapper, "echo \"$1\" >> \"" + log + "\"\nexec /bin/sh \"$@\"\n");

    for (const V& vars : {V{"ComSpec=" + wrapper, "SHELL=/bin/false"}, V{"SHELL=" + wrapper}}) {
        ::unlink(log.c_str());
        V e = vars;
        e.push_back("RTI_HOME=" + home_.path().string());
        Process p(testsupport::binPath("morvalauncher"), {"fed1", "hostA", "9000", "30"},
                  launcherEnv(e));
        EXPECT_EQ(p.wait(), 0) << vars[0] << ": " << p.stderrText();
        EXPECT_NE(p.waitStdout("morva ran:"), "") << vars[0];
        EXPECT_EQ(readFile(log), "-c\n-i\n") << vars[0];
    }
}
