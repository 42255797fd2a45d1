// The executive's registry link over its whole life: lost, noticed, and
// restored with the execution registered again, while federates are served.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "MorvaHarness.h"

using namespace morvatest;

namespace {

std::vector<char> address(unsigned char last) {
    return std::vector<char>{static_cast<char>(236), static_cast<char>(236), 0,
                             static_cast<char>(last)};
}

}  // namespace

// A registry that drops the link (as a restarted one has forgotten
// everything): morva warns at once, reserves and registers again with its
// reference and its old best-effort address, and takes (and reports) the new
// address it is given; its federate is served throughout.
TEST(RegistryLinkTest, ALostLinkIsNoticedAndTheExecutionRegisteredAgain) {
    std::atomic<int> connections{0};
    std::atomic<bool> dropNow{false};
    std::mutex seenLock;
    std::vector<Frame> first, second;  // requests on each connection
    FakePeer registry([&](RawConnection& conn, const std::atomic<bool>& stopping) {
        const int n = ++connections;
        std::vector<Frame>& seen = n == 1 ? first : second;
        while (!stopping) {
            if (n == 1 && dropNow) return;  // the link ends
            auto f = conn.receive(100ms);
            if (!f) {
                if (conn.closedByPeer()) return;
                continue;
            }
            {
                std::lock_guard<std::mutex> guard(seenLock);
                seen.push_back(*f);
            }
            if (f->type == 900) conn.sendFrame(901);
            if (f->type == 902) conn.sendFrame(903, address(n == 1 ? 7 : 9));
        }
    });
    auto morva = startMorva("fed", registry.port());
    ASSERT_FALSE(morva->waitStdout("LOG Morva started", 10s).empty()) << morva->stderrText();
    uint16_t port = 0;
    {
        std::lock_guard<std::mutex> guard(seenLock);
        ASSERT_EQ(first.size(), 1u);
        port = static_cast<uint16_t>(u32At(first[0].payload, counted("fed").size()));
    }
    RawConnection federate(port);
    ASSERT_EQ(federate.join("f"), 1);

    dropNow = true;
    EXPECT_FALSE(morva->waitStderr("WARNING: lost the connection to the registry", 5s).empty());
    EXPECT_TRUE(federate.request(506).has_value());  // served while the link is down
    const std::string moved =
        morva->waitStderr("WARNING: the registry gave best-effort address", 10s);
    EXPECT_NE(moved.find("236.236.0.9"), std::string::npos) << moved;
    EXPECT_NE(moved.find("236.236.0.7"), std::string::npos) << moved;

    {
        std::lock_guard<std::mutex> guard(seenLock);
        ASSERT_EQ(second.size(), 2u);
        EXPECT_EQ(second[0].type, 900u);
        EXPECT_EQ(second[0].payload, counted("fed"));
        EXPECT_EQ(second[1].type, 902u);
        // The first registration, its reference unchanged, then the old address.
        EXPECT_EQ(second[1].payload, concat({first[0].payload, address(7)}));
    }
    auto best = federate.request(502);
    ASSERT_TRUE(best);
    EXPECT_EQ(best->payload, address(9));

    // The execution still ends on request, its obituary on the new link.
    EXPECT_EQ(federate.request(504, u32(1))->type, 505u);
    RawConnection destroyer(port);
    ASSERT_TRUE(destroyer.sendFrame(514));
    EXPECT_TRUE(destroyer.receiveType(515).has_value());
    EXPECT_EQ(morva->wait(), 0);
    std::this_thread::sleep_for(200ms);
    std::lock_guard<std::mutex> guard(seenLock);
    ASSERT_EQ(second.size(), 3u);
    EXPECT_EQ(second[2].type, 908u);
}

// A destroy while the registry cannot be reached still ends the execution:
// the obituary is skipped with a line, not waited for.
TEST(RegistryLinkTest, ADestroyWhileTheLinkIsDownStillEndsTheExecution) {
    std::atomic<int> connections{0};
    std::atomic<bool> dropNow{false};
    FakePeer registry([&](RawConnection& conn, const std::atomic<bool>& stopping) {
        if (++connections > 1) return;  // every attempt to come back is cut at once
        auto f = conn.receive();
        if (f && f->type == 902) conn.sendFrame(903, address(1));
        while (!stopping && !dropNow) std::this_thread::sleep_for(20ms);
    });
    auto morva = startMorva("fed", registry.port());
    ASSERT_FALSE(morva->waitStdout("LOG Morva started", 10s).empty()) << morva->stderrText();
    dropNow = true;
    ASSERT_FALSE(morva->waitStderr("WARNING: lost the connection to the registry", 5s).empty());
    ASSERT_FALSE(morva->waitStdout("again with", 5s).empty());  // a failed attempt
    morva->write("quit\n");
    EXPECT_FALSE(morva->waitStdout("obituary for fed not sent").empty());
    EXPECT_EQ(morva->wait(), 0);
}
