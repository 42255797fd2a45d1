// The quorvex program from outside: command line, start-up failures, the
// operator's console, and the ways it ends (quit, SIGINT, end of input).
#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "RegistryTestUtil.h"
#include "RtiVersion.h"

namespace {

using namespace regtest;
using testsupport::Process;

TEST(QuorvexStartup, AnythingButOnePortPrintsUsageAndExitsOne) {
    using Args = std::vector<std::string>;
    for (const Args& args : {Args{}, Args{"abc"}, Args{"70000"}, Args{"-5"}, Args{"9001x"},
                             Args{"0"}, Args{""}, Args{"9001", "9002"}}) {
        Process proc(testsupport::binPath("quorvex"), args);
        EXPECT_EQ(proc.wait(10s), 1) << ::testing::PrintToString(args);
        EXPECT_EQ(proc.stdoutText(), "ERR Usage: quorvex <portno>\n")
            << ::testing::PrintToString(args);
    }
}

// Asked alone, not as one argument among others.
TEST(QuorvexStartup, VersionAndHelpAreAnsweredAloneWithStatusZero) {
    Process version(testsupport::binPath("quorvex"), {"--version"});
    EXPECT_EQ(version.wait(10s), 0);
    EXPECT_EQ(version.stdoutText(), std::string("quorvex ") + RTI_VERSION + "\n");
    Process help(testsupport::binPath("quorvex"), {"--help"});
    EXPECT_EQ(help.wait(10s), 0);
    EXPECT_EQ(help.stdoutText().rfind("Usage: quorvex <portno>\n", 0), 0u) << help.stdoutText();
    Process notAlone(testsupport::binPath("quorvex"), {"--help", "9000"});
    EXPECT_EQ(notAlone.wait(10s), 1);
    EXPECT_EQ(notAlone.stdoutText(), "ERR Usage: quorvex <portno>\n");
}

TEST(QuorvexStartup, ListensOnlyOnTheBindAddressAndRefusesOneItCannotUse) {
    const uint16_t port = testsupport::freePort();
    Process::Options loopback;
    loopback.env = {"QUORVEX_BIND=127.0.0.1"};
    Process bound(testsupport::binPath("quorvex"), {std::to_string(port)}, loopback);
    ASSERT_TRUE(testsupport::waitForPort(port, 5s));
    EXPECT_EQ(testsupport::connectError(0x7f000002, port), ECONNREFUSED)
        << "127.0.0.2 reaches only a wildcard listener";
    bound.write("quit\n");
    EXPECT_EQ(bound.wait(10s), 0);

    Process::Options foreign;  // an address no computer here has (TEST-NET-1)
    foreign.env = {"QUORVEX_BIND=192.0.2.1"};
    Process unusable(testsupport::binPath("quorvex"), {std::to_string(port)}, foreign);
    EXPECT_EQ(unusable.wait(10s), 1);
    EXPECT_EQ(
        unusable.stdoutText(),
        "ERR QuorvexCommHandler::initialize acceptor failed: Cannot assign requested address\n"
        "ERR RTI::RTIinternalError [12001] QuorvexCommHandler::initialize acceptor failed: "
        "Cannot assign requested address\n");

    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo("nosuchhost.invalid", nullptr, nullptr, &found);
    if (found != nullptr) ::freeaddrinfo(found);
    if (rc == 0) GTEST_SKIP() << "this resolver answers for nosuchhost.invalid";
    Process::Options unknown;
    unknown.env = {"QUORVEX_BIND=nosuchhost.invalid"};
    Process unresolved(testsupport::binPath("quorvex"), {std::to_string(port)}, unknown);
    EXPECT_EQ(unresolved.wait(10s), 1);
    EXPECT_EQ(unresolved.stdoutText().rfind(
                  "ERR QUORVEX_BIND: cannot listen on 'nosuchhost.invalid': ", 0),
              0u)
        << unresolved.stdoutText();
}

TEST(QuorvexStartup, PortInUseReportsTheSystemErrorAndExitsOne) {
    // Hold the port with a listener of our own on all interfaces.
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    uint16_t port = 0;
    for (int attempt = 0; attempt < 10; ++attempt) {
        port = testsupport::freePort();
        addr.sin_port = htons(port);
        if (::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) break;
        port = 0;
    }
    ASSERT_NE(port, 0);
    ASSERT_EQ(::listen(holder, 1), 0);

    Process proc(testsupport::binPath("quorvex"), {std::to_string(port)});
    EXPECT_EQ(proc.wait(10s), 1);
    ::close(holder);
    EXPECT_EQ(proc.stdoutText(),
              "ERR QuorvexCommHandler::initialize acceptor failed: Address already in use\n"
              "ERR RTI::RTIinternalError [12001] QuorvexCommHandler::initialize acceptor failed: "
              "Address already in use\n");
}

TEST(QuorvexStartup, AnnouncesTheAcceptorAsAPointerValueThenWhereItListens) {
    Server server;
    const std::vector<std::string> lines = server.proc().stdoutLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("LOG Acceptor open on 0x", 0), 0u) << lines[0];
    // Then where it listens, for operators who must point clients at it.
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], "LOG Listening on 0.0.0.0:" + std::to_string(server.port()));
    server.quit();
}

TEST(QuorvexConsole, AnswersEveryCommandWithItsExactText) {
    Server server;
    auto client = server.client();
    client->reserve("pending");
    client->reserve("running");
    client->registerExecution("running", RTIP::Reference(4242, "exechost"));
    Process& proc = server.proc();
    ASSERT_NE(proc.waitStdout("LOG registering running"), "");
    const size_t before = proc.stdoutText().size();

    const char* input =
        "help\n"
        "list\n"
        "ref running\n"
        "ref pending\n"
        "ref\n"
        "remove\n"
        "remove ghost\n"
        "QUIT\n"
        "\n"
        "   \n"
        "frobnicate now\n"
        "remove pending\n"
        "list\n";
    ASSERT_TRUE(proc.write(input));
    ASSERT_NE(proc.waitStdout("LOG Federation pending removed", 5s), "");
    ASSERT_NE(proc.waitStdout("LIST END", 5s), "");  // the end of the second list
    EXPECT_EQ(proc.stdoutText().substr(before),
              "LOG help\nlist\nref <name>\nremove <name>\nquit\n"
              "LIST START\n"
              "LIST[0] pending\t(reserved)\n"
              "LIST[1] running\texechost:4242\n"
              "LIST END\n"
              "LOG Federation running has ref exechost:4242\n"
              "ERR QuorvexImpl::getMorvaByName: slot 0 for pending has state reserved\n"
              "ERR RTIP::MorvaReferenceNotInitialized [12105] QuorvexImpl::getMorvaByName: not "
              "registered\n"
              "ERR Console ref command: unrecognized name\"ref\"\n"
              "ERR Console remove command: unrecognized name\"remove\"\n"
              "ERR RTI::FederationExecutionDoesNotExist [12107] QuorvexImpl::remove\n"
              "ERR unrecognized console input verb: \"QUIT\"\n"
              "ERR Unrecognized console input: \"\"\n"
              "ERR Unrecognized console input: \"   \"\n"
              "ERR unrecognized console input verb: \"frobnicate\"\n"
              "LOG Federation pending removed \n"
              "LIST START\n"
              "LIST[1] running\texechost:4242\n"
              "LIST END\n");

    // The console removal is visible to clients: the name is free again.
    client->reserve("pending");
    server.quit();
}

TEST(QuorvexConsole, RemovingARegisteredExecutionMakesItUnknownToClients) {
    Server server;
    auto client = server.client();
    client->reserve("fed");
    client->registerExecution("fed", RTIP::Reference(1, "h"));
    ASSERT_TRUE(server.proc().write("remove fed\n"));
    ASSERT_NE(server.proc().waitStdout("LOG Federation fed removed ", 5s), "");
    try {
        client->lookup("fed");
        FAIL() << "lookup of a removed execution succeeded";
    } catch (const RTI::FederationExecutionDoesNotExist& e) {
        EXPECT_EQ(e.serial(), 12104u);
    }
    server.quit();
}

TEST(QuorvexShutdown, QuitEndsPromptlyWithStatusZero) {
    Server server;
    auto client = server.client();  // an open connection does not hold shutdown up
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(server.proc().write("quit\n"));
    EXPECT_EQ(server.proc().wait(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    const std::vector<std::string> lines = server.proc().stdoutLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "LOG Shutting down...");
}

TEST(QuorvexShutdown, SigintEndsWithStatusZero) {
    Server server;
    const auto start = std::chrono::steady_clock::now();
    server.proc().signal(SIGINT);
    EXPECT_EQ(server.proc().wait(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    const std::string out = server.proc().stdoutText();
    EXPECT_NE(out.find("LOG Got signal 2\nLOG Shutting down...\n"), std::string::npos) << out;
}

// CPU time (user + system, in clock ticks) the process has used so far.
long cpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
    long utime = 0, stime = 0;
    fields >> utime >> stime;
    return utime + stime;
}

TEST(QuorvexShutdown, EndOfStandardInputKeepsServingAndSigintStillEnds) {
    Server server(/*stdinDevNull=*/true);
    auto client = server.client();
    client->reserve("daemon-fed");
    const long before = cpuTicks(server.proc().pid());
    std::this_thread::sleep_for(1s);
    // A console stuck at end of input would spin: allow a small fraction of a second.
    EXPECT_LT(cpuTicks(server.proc().pid()) - before, sysconf(_SC_CLK_TCK) / 4);
    client->registerExecution("daemon-fed", RTIP::Reference(7, "d"));
    EXPECT_EQ(client->lookup("daemon-fed").port(), 7);

    server.proc().signal(SIGINT);
    EXPECT_EQ(server.proc().wait(5s), 0);
    EXPECT_NE(server.proc().stdoutText().find("LOG Got signal 2\nLOG Shutting down...\n"),
              std::string::npos);
}

}  // namespace
