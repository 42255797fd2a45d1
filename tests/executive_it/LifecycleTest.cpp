// Ending an execution: destroy requests, SIGINT, and the command line.
#include <signal.h>

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
