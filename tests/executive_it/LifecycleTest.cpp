// Ending an execution: destroy requests, SIGINT, and the command line; the
// servers' listening addresses and log times.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <regex>

#include "ExecutiveFixture.h"

namespace it {
namespace {

class LifecycleTest : public ExecutiveTest {
  protected:
    // True once the registry no longer knows the execution (the obituary is
    // not answered, so poll for its effect).
    bool registryForgot() {
        for (int i = 0; i < 50; ++i) {
            try {
                registry()->lookup(name_);
            } catch (const RTI::FederationExecutionDoesNotExist& e) {
                EXPECT_EQ(e.serial(), 12104u);
                return true;
            }
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }
};

TEST_F(LifecycleTest, DestroyIsRefusedWhileFederatesAreJoined) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto requester = connect();
    try {
        requester->destroy();
        FAIL() << "a federate is joined";
    } catch (const RTI::FederatesCurrentlyJoined& e) {
        EXPECT_EQ(e.serial(), 23806u);
        EXPECT_EQ(e.reason(),
                  "RTIMorvaImpl::destroyFederationExecution: Still have federates joined");
    }
    EXPECT_TRUE(requester->waitForClose(kWait)) << "the requester's connection is closed";
    EXPECT_TRUE(morva_->running());
    EXPECT_EQ(a->allocateNumber(), 1u);
    EXPECT_NO_THROW(registry()->lookup(name_));
}

TEST_F(LifecycleTest, DestroyWithoutFederatesEndsTheExecution) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    a->resign(1);
    auto requester = connect();
    EXPECT_NO_THROW(requester->destroy());
    EXPECT_EQ(morva_->wait(kWait), 0);
    EXPECT_TRUE(registryForgot());

    // The name can be reserved again.
    EXPECT_NO_THROW(registry()->reserve(name_));
}

TEST_F(LifecycleTest, InterruptEndsWithoutObituary) {
    ASSERT_NO_FATAL_FAILURE(startServers(1));
    auto a = join("alpha");
    morva_->signal(SIGINT);
    EXPECT_NE(morva_->waitStdout("LOG Got signal 2"), "");
    EXPECT_EQ(morva_->wait(kWait), 0);
    EXPECT_TRUE(a->waitForClose(kWait));
    EXPECT_NO_THROW(registry()->lookup(name_)) << "the registry keeps the entry";
}

// Bound to one address, each server listens there only, and federates are
// given that address rather than the computer's name.
TEST_F(LifecycleTest, BoundServersListenOnlyThereAndTheExecutivePublishesItsAddress) {
    serverEnv_ = {"QUORVEX_BIND=127.0.0.1", "MORVA_BIND=127.0.0.1"};
    ASSERT_NO_FATAL_FAILURE(startServers());
    EXPECT_STREQ(morvaRef_.host(), "127.0.0.1");
    auto a = std::make_unique<Client>();
    a->setTimeout(kWait);
    a->connect(morvaRef_);
    EXPECT_EQ(a->join("alpha"), 1);
    for (uint16_t port : {registryPort_, morvaPort_}) {
        // 127.0.0.2 is loopback too, but only a wildcard listener answers there.
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(0x7f000002);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), -1) << port;
        EXPECT_EQ(errno, ECONNREFUSED) << port;
        ::close(fd);
    }
}

// With RTI_LOG_TIME=1 every line of both servers, on either stream, starts
// with the time it was written in UTC (whatever the local zone), followed by
// the line as it is without.
TEST_F(LifecycleTest, LogTimesStampEveryLineOfBothServersInUtc) {
    serverEnv_ = {"RTI_LOG_TIME=1", "TZ=JST-9"};
    const time_t before = std::time(nullptr);
    ASSERT_NO_FATAL_FAILURE(startServers());
    quorvex_->write("help\n");
    ASSERT_NE(quorvex_->waitStdout("remove <name>"), "");
    morva_->write("help\n");
    ASSERT_NE(morva_->waitStdout("HELP\tquit"), "");
    morva_->write("ref 9\n");
    ASSERT_NE(morva_->waitStderr("[23802]"), "");
    morva_->signal(SIGINT);
    EXPECT_EQ(morva_->wait(kWait), 0);
    quorvex_->signal(SIGINT);
    EXPECT_EQ(quorvex_->wait(kWait), 0);
    const time_t after = std::time(nullptr);

    static const std::regex stamped(
        "^([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})\\.[0-9]{3}Z (.*)$");
    auto texts = [&](const std::vector<std::string>& lines) {
        std::vector<std::string> out;
        for (const auto& line : lines) {
            std::smatch m;
            if (!std::regex_match(line, m, stamped)) {
                ADD_FAILURE() << "not stamped: " << line;
                continue;
            }
            tm parts{};
            parts.tm_year = std::stoi(m[1]) - 1900;
            parts.tm_mon = std::stoi(m[2]) - 1;
            parts.tm_mday = std::stoi(m[3]);
            parts.tm_hour = std::stoi(m[4]);
            parts.tm_min = std::stoi(m[5]);
            parts.tm_sec = std::stoi(m[6]);
            const time_t when = ::timegm(&parts);
            EXPECT_TRUE(when >= before - 1 && when <= after + 1) << line;
            out.push_back(m[7]);
        }
        return out;
    };
    const auto registryLines = texts(quorvex_->stdoutLines());
    const auto morvaOut = texts(morva_->stdoutLines());
    const auto morvaErr = texts(morva_->stderrLines());
    auto expectHas = [](const std::vector<std::string>& lines,
                        std::initializer_list<const char*> wanted) {
        for (const char* w : wanted) {
            EXPECT_NE(std::find(lines.begin(), lines.end(), w), lines.end()) << "no line: " << w;
        }
    };
    expectHas(registryLines, {"LOG help", "list", "ref <name>", "remove <name>", "quit",
                              "LOG Got signal 2", "LOG Shutting down..."});
    expectHas(morvaOut, {"LOG Morva started", "HELP Supported commands:",
                         "HELP\tquit\t\tquit the federation execution", "LOG Got signal 2"});
    expectHas(morvaErr, {"ERR RTI::FederateNotExecutionMember [23802] "
                         "RTIMorvaImpl::getFederateByHandle: federate not joined"});
}

TEST_F(LifecycleTest, WrongArgumentCountPrintsUsageAndFails) {
    for (const auto& args : {std::vector<std::string>{"a", "b", "c"},
                             std::vector<std::string>{"a", "b", "c", "d", "e"}}) {
        testsupport::Process p(testsupport::binPath("morva"), args);
        EXPECT_EQ(p.wait(kWait), 1);
        EXPECT_EQ(p.stderrText(),
                  "Usage: morva <morvaName> <QuorvexHost> <QuorvexPort> <timeout in sec>\n");
    }
}

TEST_F(LifecycleTest, LongNameIsRegisteredUnderItsFirst63Characters) {
    name_ = std::string(63, 'L');
    // Reserve the 63-character name; morva gets 100 characters.
    registryPort_ = testsupport::freePort();
    quorvex_ = std::make_unique<testsupport::Process>(
        testsupport::binPath("quorvex"), std::vector<std::string>{std::to_string(registryPort_)});
    ASSERT_TRUE(testsupport::waitForPort(registryPort_, kWait));
    registry()->reserve(name_);
    morva_ = std::make_unique<testsupport::Process>(
        testsupport::binPath("morva"),
        std::vector<std::string>{name_ + std::string(37, 'x'), "127.0.0.1",
                                 std::to_string(registryPort_), "30"});
    ASSERT_NE(morva_->waitStdout("LOG Morva started", 10s), "") << morva_->stderrText();
    RTIP::Reference ref = registry()->lookup(name_);
    EXPECT_NE(ref.port(), 0);

    // The obituary names the same 63 characters.
    morva_->write("quit\n");
    EXPECT_EQ(morva_->wait(kWait), 0);
    EXPECT_TRUE(registryForgot());
}

TEST_F(LifecycleTest, UnreservedNameIsNotServed) {
    registryPort_ = testsupport::freePort();
    testsupport::Process q(testsupport::binPath("quorvex"), {std::to_string(registryPort_)});
    ASSERT_TRUE(testsupport::waitForPort(registryPort_, kWait));
    testsupport::Process m(testsupport::binPath("morva"),
                           {"never_reserved", "127.0.0.1", std::to_string(registryPort_), "1"});
    EXPECT_EQ(m.wait(10s), 1);
    EXPECT_NE(m.stderrText().find("ERR RTI::FederationExecutionDoesNotExist [12102] "
                                  "QuorvexImpl::registerFederationExecution: not reserved"),
              std::string::npos)
        << m.stderrText();
    EXPECT_EQ(m.stdoutText().find("LOG Morva started"), std::string::npos);
}

}  // namespace
}  // namespace it
