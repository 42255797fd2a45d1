// morva's command line, registration and the ways it ends, against the real
// quorvex or a fake registry.
#include <gtest/gtest.h>
#include <netdb.h>
#include <signal.h>

#include "MorvaHarness.h"
#include "RtiVersion.h"

using namespace morvatest;
using testsupport::Process;

namespace {

Frame exceptionFrame(uint32_t type) {
    return Frame{type, concat({u32(1), counted("odd"), counted("RTI::RTIinternalError")})};
}

// A name no resolver should know (the reserved top-level domain).
constexpr const char* kUnknownHost = "nosuchhost.invalid";

// The resolver's error for kUnknownHost, or 0 when this resolver answers for
// it after all (or fails for some other reason), so the case cannot be told.
int unknownHostError() {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(kUnknownHost, nullptr, &hints, &found);
    if (found != nullptr) ::freeaddrinfo(found);
    return rc == EAI_SYSTEM ? 0 : rc;
}

// A port is 1 to 65535 and the timeout a whole number of seconds, at least
// one; nothing else is read as some other number.
TEST(MorvaStartupTest, BadCommandLinePrintsUsageAndExitsOne) {
    using Args = std::vector<std::string>;
    const std::string port = std::to_string(testsupport::freePort());
    for (const Args& args :
         {Args{"a", "b", "c"}, Args{"a", "b", "c", "d", "e"}, Args{"fed", "127.0.0.1", "abc", "30"},
          Args{"fed", "127.0.0.1", "0", "30"}, Args{"fed", "127.0.0.1", "70000", "30"},
          Args{"fed", "127.0.0.1", "9000x", "30"}, Args{"fed", "127.0.0.1", port, "abc"},
          Args{"fed", "127.0.0.1", port, "0"}, Args{"fed", "127.0.0.1", port, "-1"}}) {
        Process p(testsupport::binPath("morva"), args);
        EXPECT_EQ(p.wait(), 1) << ::testing::PrintToString(args);
        EXPECT_EQ(p.stderrText(),
                  "Usage: morva <morvaName> <QuorvexHost> <QuorvexPort> <timeout in sec>\n")
            << ::testing::PrintToString(args);
        EXPECT_EQ(p.stdoutText(), "");
    }
}

// Asked alone; with other arguments the command line stays as strict as ever.
TEST(MorvaStartupTest, VersionAndHelpAreAnsweredAloneWithStatusZero) {
    Process version(testsupport::binPath("morva"), {"--version"});
    EXPECT_EQ(version.wait(), 0);
    EXPECT_EQ(version.stdoutText(), std::string("morva ") + RTI_VERSION + "\n");
    Process help(testsupport::binPath("morva"), {"--help"});
    EXPECT_EQ(help.wait(), 0);
    EXPECT_EQ(help.stdoutText().rfind(
                  "Usage: morva <morvaName> <QuorvexHost> <QuorvexPort> <timeout in sec>\n", 0),
              0u)
        << help.stdoutText();
    Process notAlone(testsupport::binPath("morva"), {"--version", "x"});
    EXPECT_EQ(notAlone.wait(), 1);
    EXPECT_EQ(notAlone.stderrText(),
              "Usage: morva <morvaName> <QuorvexHost> <QuorvexPort> <timeout in sec>\n");
}

// A bind address that does not resolve ends start-up before the registry is
// asked anything; one that is not this computer's, when the acceptor opens.
TEST(MorvaStartupTest, UnusableBindAddressEndsStartUpWithStatusOne) {
    Registry registry;
    registry.reserve("fed");
    Process::Options foreign;  // TEST-NET-1: no computer here has it
    foreign.env = {"MORVA_BIND=192.0.2.1"};
    Process notHere(testsupport::binPath("morva"),
                    {"fed", "127.0.0.1", std::to_string(registry.port()), "30"}, foreign);
    EXPECT_EQ(notHere.wait(), 1);
    EXPECT_EQ(
        notHere.stderrText(),
        "acceptor failed: Cannot assign requested address\n"
        "ERR RTI::RTIinternalError [23701] RTIMorvaCommHandler::initialize: acceptor failed\n");
    EXPECT_FALSE(registry.isRegistered("fed"));

    const int rc = unknownHostError();
    if (rc == 0) GTEST_SKIP() << "this resolver answers for " << kUnknownHost;
    const char* host = kUnknownHost;
    Process::Options unknown;
    unknown.env = {std::string("MORVA_BIND=") + host};
    // Port 1 on loopback: any attempt to reach a registry there would say so.
    Process unresolved(testsupport::binPath("morva"), {"fed", "127.0.0.1", "1", "30"}, unknown);
    EXPECT_EQ(unresolved.wait(), 1);
    EXPECT_EQ(unresolved.stderrText(), std::string("ERR MORVA_BIND: cannot listen on '") + host +
                                           "': " + ::gai_strerror(rc) + "\n");
    EXPECT_EQ(unresolved.stdoutText(), "");
}

TEST(MorvaStartupTest, UnreachableOrUnknownRegistryEndsWithOneErrorLineAndStatusOne) {
    const uint16_t nobody = testsupport::freePort();
    auto p = startMorva("fed", nobody);
    EXPECT_EQ(p->wait(25s), 1);
    EXPECT_EQ(p->stderrText(),
              "ERR RTI::RTIinternalError [23820] RTIMorvaImpl::joinQuorvex: Can't connect to "
              "Quorvex: Connection refused\n");

    // A host name that does not resolve is reported as such, in the
    // resolver's words.
    const int rc = unknownHostError();
    if (rc == 0) GTEST_SKIP() << "this resolver answers for " << kUnknownHost;
    const char* host = kUnknownHost;
    Process unknown(testsupport::binPath("morva"), {"fed", host, std::to_string(nobody), "30"});
    EXPECT_EQ(unknown.wait(25s), 1);
    EXPECT_EQ(unknown.stderrText(),
              std::string("ERR RTI::RTIinternalError [23820] RTIMorvaImpl::joinQuorvex: Can't "
                          "connect to Quorvex: ") +
                  host + ": " + ::gai_strerror(rc) + "\n");
}

TEST(MorvaStartupTest, NameNotReservedIsRefusedByTheRegistry) {
    Registry registry;
    auto p = startMorva("nobody-reserved-me", registry.port());
    EXPECT_EQ(p->wait(), 1);
    EXPECT_NE(p->stderrText().find("ERR RTI::FederationExecutionDoesNotExist [12102] "
                                   "QuorvexImpl::registerFederationExecution: not reserved\n"),
              std::string::npos)
        << p->stderrText();
    EXPECT_EQ(p->stdoutText().find("LOG Morva started"), std::string::npos);
}

TEST(MorvaStartupTest, SecondExecutiveForARegisteredNameIsRefused) {
    Execution first;
    auto second = startMorva(first.name, first.registry.port());
    EXPECT_EQ(second->wait(), 1);
    EXPECT_NE(second->stderrText().find("ERR RTI::FederationExecutionAlreadyExists [12103] "
                                        "QuorvexImpl::registerFederationExecution: already "
                                        "registered\n"),
              std::string::npos)
        << second->stderrText();
    // The first one still serves.
    auto fed = first.connect();
    EXPECT_EQ(fed->join("a"), 1);
}

TEST(MorvaStartupTest, RegistryThatNeverAnswersTimesOutAfterFiveSeconds) {
    auto silent = fakeRegistry(std::nullopt);
    const auto start = std::chrono::steady_clock::now();
    auto p = startMorva("fed", silent->port());
    EXPECT_EQ(p->wait(20s), 1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 4s);
    EXPECT_NE(p->stderrText().find("ERR RTI::RTIinternalError [23803] "
                                   "RTIMorvaImpl::registerFederationExecution: timeout occurred\n"),
              std::string::npos)
        << p->stderrText();
}

TEST(MorvaStartupTest, UnexpectedReplyTypeIsAnExtraneousReturn) {
    for (uint32_t type : {1000u, 1008u}) {
        auto odd = fakeRegistry(exceptionFrame(type));
        auto p = startMorva("fed", odd->port());
        EXPECT_EQ(p->wait(), 1);
        EXPECT_NE(p->stderrText().find("ERR RTI::RTIinternalError [23814] "
                                       "RTIMorvaImpl::registerFederationExecution: Extraneous "
                                       "return " +
                                       std::to_string(type) + "\n"),
                  std::string::npos)
            << p->stderrText();
    }
}

// Replies that do not decode are reported with the length that failed; a
// refusal is raised as the class its message type names, whatever class
// name its payload carries.
TEST(MorvaStartupTest, RegistrationRepliesAreReportedInTheExecutivesOwnWords) {
    const struct {
        Frame reply;
        std::string stderrText;
    } cases[] = {
        {Frame{msgRegisterFederationExecutionReply, {1, 2}},
         "ERR RTI::RTIinternalError [23875] RTIMorvaImplregisterFederationExecution: Bad message "
         "length 2\n"},
        {Frame{msgFederationExecutionDoesNotExist, {0, 0, 0}},
         "ERR RTI::RTIinternalError [23875] RTIMorvaImplregisterFederationExecution: Bad message "
         "length 3\n"},
        {exceptionFrame(msgFederationExecutionAlreadyExists),
         "ERR RTI::FederationExecutionAlreadyExists [1] odd\n"},
    };
    for (const auto& c : cases) {
        auto odd = fakeRegistry(c.reply);
        auto p = startMorva("fed", odd->port());
        EXPECT_EQ(p->wait(), 1);
        EXPECT_EQ(p->stderrText(), c.stderrText) << "reply type " << c.reply.type;
    }
}

TEST(MorvaStartupTest, StartUpLinesComeInOrder) {
    Execution ex;
    const auto lines = ex.morva->stdoutLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("LOG Acceptor open on 0x", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "LOG received best-effort address 236.236.0.1");
    EXPECT_EQ(lines[2], "LOG Morva started");
    EXPECT_EQ(ex.morva->stderrText(), "");
}

TEST(MorvaStartupTest, LongNameIsRegisteredAsItsFirst63Characters) {
    const std::string longName(37, 'a');
    const std::string name100 = std::string(63, 'x') + longName;
    const std::string name63(63, 'x');
    Registry registry;
    registry.reserve(name63);
    auto p = startMorva(name100, registry.port());
    ASSERT_FALSE(p->waitStdout("LOG Morva started", 10s).empty()) << p->stderrText();
    EXPECT_TRUE(registry.isRegistered(name63));
    // The obituary carries the same 63 characters and frees the entry.
    p->write("quit\n");
    EXPECT_EQ(p->wait(), 0);
    EXPECT_TRUE(registry.waitForgotten(name63));
}

TEST(MorvaStartupTest, SigintClosesEverythingAndSendsNoObituary) {
    Execution ex;
    auto a = ex.connect();
    auto b = ex.connect();
    ASSERT_EQ(a->join("a"), 1);
    ex.morva->signal(SIGINT);
    EXPECT_EQ(ex.morva->wait(), 0);
    EXPECT_NE(ex.morva->stdoutText().find("LOG Got signal 2\n"), std::string::npos);
    EXPECT_TRUE(a->waitClosed());
    EXPECT_TRUE(b->waitClosed());
    EXPECT_TRUE(ex.registry.isRegistered(ex.name));
    // Nothing is told to the federates on this path.
    EXPECT_EQ(ex.morva->stderrText(), "");
}

TEST(MorvaStartupTest, QuitEndsTheExecutionOnlyWhenNobodyIsJoined) {
    Execution ex;
    auto a = ex.connect();
    ASSERT_EQ(a->join("a"), 1);
    ex.morva->write("quit\n");
    EXPECT_FALSE(ex.morva
                     ->waitStderr("ERR RTI::FederatesCurrentlyJoined [23806] "
                                  "RTIMorvaImpl::destroyFederationExecution: Still have "
                                  "federates joined")
                     .empty());
    EXPECT_TRUE(ex.morva->running());

    auto resigned = a->request(504, u32(1));
    ASSERT_TRUE(resigned);
    EXPECT_EQ(resigned->type, 505u);
    ex.morva->write("quit\n");
    EXPECT_EQ(ex.morva->wait(), 0);
    EXPECT_TRUE(ex.registry.waitForgotten(ex.name));
}

TEST(MorvaStartupTest, DestroyRequestEndsTheProcessAfterItsAnswer) {
    Execution ex;
    auto a = ex.connect();
    auto b = ex.connect();
    ASSERT_EQ(a->join("a"), 1);
    auto refused = b->request(514);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->type, 1007u);
    EXPECT_EQ(exceptionSerial(*refused), 23806u);
    EXPECT_EQ(exceptionReason(*refused),
              "RTIMorvaImpl::destroyFederationExecution: Still have federates joined");
    EXPECT_TRUE(b->waitClosed());
    // Refused, nothing ended: the joined federate is still served.
    EXPECT_TRUE(a->request(506));
    EXPECT_TRUE(ex.registry.isRegistered(ex.name));

    ASSERT_EQ(a->request(504, u32(1))->type, 505u);
    auto c = ex.connect();
    auto done = c->request(514);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->type, 515u);
    EXPECT_EQ(ex.morva->wait(), 0);
    EXPECT_TRUE(ex.registry.waitForgotten(ex.name));
    // The obituary freed the name for the next execution.
    EXPECT_NO_THROW(ex.registry.reserve(ex.name));
}

}  // namespace
