// Runs each server under valgrind through a busy life and a normal end, and
// requires a clean report: the exit status is valgrind's error status if it
// found an invalid access or a definite or indirect leak.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "ExecutiveClient.h"
#include "RTIexceptions.h"
#include "RegistryClient.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Process;

constexpr int kValgrindError = 99;

std::string valgrindPath() {
    for (const char* p : {"/usr/bin/valgrind", "/usr/local/bin/valgrind"}) {
        if (::access(p, X_OK) == 0) return p;
    }
    return "";
}

std::vector<std::string> underValgrind(const std::string& program,
                                       const std::vector<std::string>& args) {
    std::vector<std::string> v = {"--error-exitcode=" + std::to_string(kValgrindError),
                                  "--leak-check=full",
                                  "--errors-for-leak-kinds=definite,indirect",
                                  "--show-leak-kinds=definite,indirect",
                                  "--track-fds=no",
                                  testsupport::binPath(program)};
    v.insert(v.end(), args.begin(), args.end());
    return v;
}

std::unique_ptr<RegistryClient> connectRegistry(uint16_t port) {
    for (int i = 0; i < 200; ++i) {
        try {
            return std::make_unique<RegistryClient>("127.0.0.1", port);
        } catch (const RTI::Exception&) {
            ::usleep(100 * 1000);
        }
    }
    return nullptr;
}

class Valgrind : public ::testing::Test {
  protected:
    void SetUp() override {
        valgrind_ = valgrindPath();
        if (valgrind_.empty()) GTEST_SKIP() << "valgrind is not installed";
    }
    std::string valgrind_;
};

TEST_F(Valgrind, ExecutiveEndsCleanlyAfterABusyLife) {
    const uint16_t port = testsupport::freePort();
    Process quorvex(testsupport::binPath("quorvex"), {std::to_string(port)});
    auto reg = connectRegistry(port);
    ASSERT_TRUE(reg);
    reg->reserve("vg");

    Process morva(valgrind_,
                  underValgrind("morva", {"vg", "127.0.0.1", std::to_string(port), "1"}));
    ASSERT_NE(morva.waitStdout("LOG Morva started", 60s), "") << morva.stderrText();
    const RTIP::Reference ref = reg->lookup("vg");

    // Joined federates that relay, orphan attributes, resign, vanish, or
    // are still connected when the executive ends; and an unjoined peer.
    std::vector<std::unique_ptr<RTIP::ExecutiveClient>> feds;
    for (int i = 0; i < 4; ++i) {
        feds.push_back(std::make_unique<RTIP::ExecutiveClient>());
        feds.back()->setTimeout(30s);
        feds.back()->connect("127.0.0.1", ref.port());
        ASSERT_EQ(feds.back()->join("f" + std::to_string(i)), i + 1);
    }
    RTIP::ExecutiveClient unjoined;
    unjoined.setTimeout(30s);
    unjoined.connect("127.0.0.1", ref.port());

    for (int i = 0; i < 50; ++i) feds[0]->send(600, std::vector<char>(100, 'r'));
    RTI::AttributeHandleSet set;
    set.add(7);
    set.add(9);
    feds[1]->orphanedAttributes(2, 4242, 1, set);
    feds[1]->orphanedAttributes(2, 4243, 1, set);
    std::vector<char> roll(12, 'c');
    feds[2]->rollCallStart(roll);
    EXPECT_GT(feds[3]->allocateNumber(), 0u);
    EXPECT_EQ(feds[3]->federateList().size(), 4u);

    feds[1]->resign(2);
    feds[2]->close();  // vanishes without resigning
    ASSERT_NE(morva.waitStdout("LOG Closed connection on", 30s), "");
    ASSERT_NE(morva.waitStdout("LOG Closed connection on", 30s), "");

    morva.signal(SIGINT);
    EXPECT_EQ(morva.wait(120s), 0) << morva.stderrText();
    quorvex.write("quit\n");
    EXPECT_EQ(quorvex.wait(10s), 0);
}

TEST_F(Valgrind, RegistryEndsCleanlyAfterServingClients) {
    const uint16_t port = testsupport::freePort();
    Process quorvex(valgrind_, underValgrind("quorvex", {std::to_string(port)}));
    auto reg = connectRegistry(port);
    ASSERT_TRUE(reg) << quorvex.stdoutText();
    reg->setReplyTimeout(30000);
    reg->reserve("a");
    reg->reserve("b");
    reg->registerExecution("a", RTIP::Reference(4000, "hostA"));
    EXPECT_EQ(reg->lookup("a").port(), 4000);
    EXPECT_EQ(reg->list().size(), 1u);
    reg->obituary("b");
    auto second = connectRegistry(port);
    ASSERT_TRUE(second);
    second->setReplyTimeout(30000);
    EXPECT_THROW(second->lookup("b"), RTI::FederationExecutionDoesNotExist);
    second->close();

    quorvex.write("list\nquit\n");
    EXPECT_EQ(quorvex.wait(120s), 0) << quorvex.stdoutText() << quorvex.stderrText();
}

}  // namespace
