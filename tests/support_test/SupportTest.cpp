// The helpers every black-box test relies on, exercised with /bin/sh.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "TestSupport.h"

using namespace std::chrono_literals;
using testsupport::Process;

namespace {

std::vector<std::string> shArgs(const std::string& script) { return {"-c", script}; }

}  // namespace

TEST(ProcessOutput, StreamsAreSeparateAndReadInOrder) {
    Process p("/bin/sh",
              shArgs("echo one; echo err-a >&2; echo two one; echo err-b >&2; printf tail"));
    EXPECT_EQ(p.waitStdout("one"), "one");
    // The read position moved past the first match, so the same needle finds the next line.
    EXPECT_EQ(p.waitStdout("one"), "two one");
    EXPECT_EQ(p.waitStderr("err-b"), "err-b");
    EXPECT_EQ(p.waitStderr("err-a", 200ms), "");  // already passed
    EXPECT_EQ(p.wait(), 0);
    // An unterminated last line still counts once the stream has ended.
    EXPECT_EQ(p.waitStdout("ta"), "tail");
    EXPECT_EQ(p.stdoutText(), "one\ntwo one\ntail");
    EXPECT_EQ(p.stdoutLines(), (std::vector<std::string>{"one", "two one"}));
    EXPECT_EQ(p.stderrLines(), (std::vector<std::string>{"err-a", "err-b"}));
}

TEST(ProcessOutput, WaitForMissingTextTimesOut) {
    Process p("/bin/sh", shArgs("echo hello; exec sleep 5"));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(p.waitStdout("absent", 300ms), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    EXPECT_EQ(p.waitStdout("hello"), "hello");
}

TEST(ProcessStatus, ExitCodesSignalsAndTimeouts) {
    {
        Process p("/bin/sh", shArgs("exit 3"));
        EXPECT_EQ(p.wait(), 3);
        EXPECT_FALSE(p.running());
        EXPECT_EQ(p.wait(), 3);  // asking again gives the same answer
    }
    {
        Process p("/bin/sh", shArgs("exec sleep 20"));
        EXPECT_EQ(p.wait(200ms), -1);
        EXPECT_TRUE(p.running());
        p.signal(SIGTERM);
        EXPECT_EQ(p.wait(), 128 + SIGTERM);
    }
    {
        Process p(
            "/bin/sh",
            shArgs("trap 'echo got-usr1; exit 7' USR1; echo ready; while :; do sleep 0.1; done"));
        ASSERT_EQ(p.waitStdout("ready"), "ready");
        p.signal(SIGUSR1);
        EXPECT_EQ(p.waitStdout("got-usr1"), "got-usr1");
        EXPECT_EQ(p.wait(), 7);
    }
}

TEST(ProcessInput, StdinRoundTripAndClose) {
    Process p("/bin/sh", shArgs("while read l; do echo \"got:$l\"; done; echo done"));
    ASSERT_TRUE(p.write("alpha\n"));
    EXPECT_EQ(p.waitStdout("got:"), "got:alpha");
    ASSERT_TRUE(p.write("beta gamma\n"));
    EXPECT_EQ(p.waitStdout("got:"), "got:beta gamma");
    p.closeStdin();
    EXPECT_EQ(p.waitStdout("done"), "done");
    EXPECT_EQ(p.wait(), 0);
    EXPECT_FALSE(p.write("late\n"));
}

TEST(ProcessInput, WritingToAGoneChildFailsWithoutKillingUs) {
    Process p("/bin/sh", shArgs("exec 0<&-; exit 0"));
    ASSERT_EQ(p.wait(), 0);
    std::string big(1 << 20, 'x');
    EXPECT_FALSE(p.write(big));
}

TEST(ProcessInput, StdinFromDevNull) {
    Process::Options opt;
    opt.stdinDevNull = true;
    Process p("/bin/sh", shArgs("cat; echo end"), opt);
    EXPECT_EQ(p.wait(), 0);
    EXPECT_EQ(p.stdoutText(), "end\n");
    EXPECT_FALSE(p.write("x\n"));
}

TEST(ProcessSetup, EnvironmentAndWorkDir) {
    ::setenv("SUPPORT_TEST_KEEP", "kept", 1);
    ::setenv("SUPPORT_TEST_DROP", "dropped", 1);
    ::setenv("SUPPORT_TEST_OVERRIDE", "old", 1);
    Process::Options opt;
    opt.env = {"SUPPORT_TEST_NEW=new value", "SUPPORT_TEST_OVERRIDE=new"};
    opt.unsetEnv = {"SUPPORT_TEST_DROP"};
    opt.workDir = "/tmp";
    Process p("/bin/sh",
              shArgs("echo \"$SUPPORT_TEST_KEEP|${SUPPORT_TEST_DROP-unset}|$SUPPORT_TEST_NEW|"
                     "$SUPPORT_TEST_OVERRIDE\"; env | grep -c '^SUPPORT_TEST_OVERRIDE='; pwd"),
              opt);
    EXPECT_EQ(p.wait(), 0);
    EXPECT_EQ(p.stdoutLines(), (std::vector<std::string>{"kept|unset|new value|new", "1", "/tmp"}));
}

TEST(ProcessSetup, ChildGetsOnlyTheStandardDescriptors) {
    // Deliberately without close-on-exec, and above the one ls opens itself.
    int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int leaky = ::fcntl(devNull, F_DUPFD, 50);
    ::close(devNull);
    ASSERT_GE(leaky, 50);
    Process p("/bin/sh", shArgs("exec ls /proc/self/fd"));
    EXPECT_EQ(p.wait(), 0);
    ::close(leaky);
    // ls itself holds one directory descriptor while listing.
    auto lines = p.stdoutLines();
    EXPECT_LE(lines.size(), 4u) << p.stdoutText();
    for (const auto& l : lines) EXPECT_NE(l, std::to_string(leaky));
}

TEST(ProcessSetup, DefaultSignalDispositionsInTheChild) {
    // We ignore SIGPIPE ourselves; the child must start with the default action and die of it.
    Process p("/bin/sh", shArgs("trap - PIPE; kill -PIPE $$; exec sleep 5"));
    EXPECT_EQ(p.wait(), 128 + SIGPIPE);
}

TEST(ProcessSetup, MissingProgramThrows) {
    EXPECT_THROW(Process("/nonexistent/program", {}), std::runtime_error);
}

TEST(ProcessLifetime, DestructorDoesNotHangOnAnInheritedPipe) {
    std::string grandchild;
    auto start = std::chrono::steady_clock::now();
    {
        Process p("/bin/sh", shArgs("sleep 8 & echo $!; wait"));
        grandchild = p.waitStdout("");
        ASSERT_FALSE(grandchild.empty());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    ::kill(std::stoi(grandchild), SIGKILL);
}

TEST(Network, FreePortAcceptsAfterListenAndWaitForPortSeesIt) {
    uint16_t port = testsupport::freePort();
    ASSERT_NE(port, 0);
    EXPECT_FALSE(testsupport::waitForPort(port, 200ms));

    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    EXPECT_TRUE(testsupport::waitForPort(port, 2s));
    ::close(fd);
}

TEST(Descriptors, CountsOpenDescriptorsOfAProcess) {
    int before = testsupport::openDescriptors(::getpid());
    ASSERT_GT(before, 2);
    int extra = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(testsupport::openDescriptors(::getpid()), before + 1);
    ::close(extra);

    // The shell may hold a descriptor of its own until it has replaced
    // itself with sleep: wait for that, then count the three standard ones.
    Process p("/bin/sh", shArgs("exec sleep 5"));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    int count = testsupport::openDescriptors(p.pid());
    while (count != 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
        count = testsupport::openDescriptors(p.pid());
    }
    EXPECT_EQ(count, 3);
    EXPECT_EQ(testsupport::openDescriptors(999999999), -1);
}

TEST(Paths, BinDirFollowsTheEnvironment) {
    EXPECT_EQ(testsupport::binPath("quorvex"), testsupport::binDir() + "/quorvex");
    ::setenv("RTI_BIN_DIR", "/some/where", 1);
    EXPECT_EQ(testsupport::binPath("x"), "/some/where/x");
    ::unsetenv("RTI_BIN_DIR");
    EXPECT_FALSE(testsupport::binDir().empty());
}
