// One peer against everyone else: a running morva attacked the way a hostile
// (or badly broken) client on the network would, one attack per test. Each
// checks that the others are still served and that the log names the peer.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "MorvaHarness.h"
#include "References.h"

using namespace morvatest;

namespace {

std::string peerOf(const RawConnection& c) {
    return "127.0.0.1:" + std::to_string(localPort(c.fd()));
}

size_t linesWith(const std::vector<std::string>& lines, const std::string& needle) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find(needle) != std::string::npos;
    }));
}

}  // namespace

// A client that pumps requests and never reads its answers must not hold up
// anyone else's answer, and is dropped once its answers pile up.
TEST(HostilePeerTest, ARequesterThatNeverReadsDelaysNoOneAndIsDropped) {
    Execution ex;
    auto victim = ex.connect();
    ASSERT_EQ(victim->join("victim"), 1);
    auto deaf = ex.connect();
    ASSERT_EQ(deaf->join("deaf"), 2);
    const std::string deafPeer = peerOf(*deaf);
    timeval tv{1, 0};  // so the pump notices the end of the test
    ::setsockopt(deaf->fd(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);

    std::atomic<bool> stop{false};
    std::thread pump([&] {
        std::vector<char> burst;
        for (int i = 0; i < 1024; ++i) {
            const std::vector<char> f = RawConnection::frameBytes(510, {});
            burst.insert(burst.end(), f.begin(), f.end());
        }
        while (!stop.load() && deaf->sendBytes(burst)) {
        }
    });
    struct Join {
        std::atomic<bool>& stop;
        std::thread& thread;
        ~Join() {
            stop = true;
            thread.join();
        }
    } joinPump{stop, pump};

    auto slowest = std::chrono::milliseconds(0);
    std::optional<Frame> left;  // the deaf one's departure, whenever it comes
    for (int i = 0; i < 40; ++i) {
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(victim->sendFrame(510));
        std::optional<Frame> answer;
        while ((answer = victim->receive()) && answer->type != 511) {
            if (answer->type == 132) left = answer;
        }
        ASSERT_TRUE(answer) << "request " << i;
        slowest = std::max(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - start));
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_LT(slowest, 1000ms) << "one deaf client held another federate's answer up";

    // Dropped as a lost connection: named on an ERR line, announced to the others.
    if (!left) left = victim->receiveType(132, 15s);
    ASSERT_TRUE(left) << ex.morva->stderrText();
    EXPECT_EQ(u32At(left->payload, 0), 2u);
    const std::string line = ex.morva->waitStderr("dropping it", 1s);
    EXPECT_NE(line.find(deafPeer), std::string::npos) << line;
    EXPECT_EQ(victim->request(510)->payload.size(), RTIP::FederateVector::encodedLength());
}

// A 127 whose relayed form (payload and the 28-byte vector) would pass the
// largest message any receiver takes is refused; the sender stays connected.
TEST(HostilePeerTest, ARollCallTooLargeWithItsVectorIsNotRelayed) {
    Execution ex;
    auto sender = ex.connect();
    auto other = ex.connect();
    ASSERT_EQ(sender->join("sender"), 1);
    ASSERT_EQ(other->join("other"), 2);
    ASSERT_TRUE(sender->sendFrame(127, std::vector<char>(16u * 1024u * 1024u, 'x')));
    EXPECT_FALSE(ex.morva->waitStderr("would pass the message size limit").empty());
    auto small = std::vector<char>(16, 'y');
    ASSERT_TRUE(sender->sendFrame(128, small));
    auto first = other->receive(10s);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->type, 128u) << "the oversize roll call went out";
    EXPECT_EQ(first->payload.size(), small.size() + RTIP::FederateVector::encodedLength());
    EXPECT_FALSE(sender->closedByPeer());
    EXPECT_TRUE(sender->request(506).has_value());
}

// A federate's name is its own text, never our log's: a newline in it
// cannot start a line, and the accept and close lines name the peer.
TEST(HostilePeerTest, ANameCannotForgeALogLineAndLinesNameThePeer) {
    Execution ex;
    auto forger = ex.connect();
    const std::string peer = peerOf(*forger);
    ASSERT_EQ(forger->join("x\nLOG removing morva fed\x1b[2J"), 1);
    EXPECT_FALSE(ex.morva->waitStdout("has joined").empty());
    forger->close();
    const std::string closed = ex.morva->waitStdout("LOG Closed connection on");
    EXPECT_NE(closed.find(" from " + peer), std::string::npos) << closed;
    const std::vector<std::string> lines = ex.morva->stdoutLines();
    EXPECT_EQ(linesWith(lines, "LOG removing"), linesWith(lines, "x\\x0aLOG removing"));
    EXPECT_EQ(linesWith(lines, "\x1b"), 0u);
    EXPECT_EQ(linesWith(lines, "LOG Federate x\\x0aLOG removing morva fed\\x1b[2J has joined"), 1u);
    for (const std::string& l : lines) {
        if (l.find("LOG Accepted connection on") != 0) continue;
        EXPECT_NE(l.find(" from 127.0.0.1:"), std::string::npos) << l;
    }
}

// A connection that never sends a whole message gives its slot back after
// the silence limit (30 s); one that has spoken stays however long it idles.
TEST(HostilePeerTest, ASilentConnectionIsClosedAndASpokenOneIsNot) {
    Execution ex;
    auto spoken = ex.connect();
    ASSERT_TRUE(spoken->request(506));
    auto silent = ex.connect();
    const std::string silentPeer = peerOf(*silent);
    ASSERT_TRUE(silent->sendBytes({0, 0, 1}));  // part of a header is not a message
    EXPECT_TRUE(silent->waitClosed(40s));
    const std::string line = ex.morva->waitStdout("no message within");
    EXPECT_NE(line.find(silentPeer), std::string::npos) << line;
    EXPECT_FALSE(spoken->closedByPeer());
    EXPECT_TRUE(spoken->request(506).has_value());
}

// Out of descriptors the acceptor rests instead of spinning: one line per
// episode, waiting peers are shed at once, and the spare descriptor comes
// back so that the next episode is handled the same way.
TEST(HostilePeerTest, OutOfDescriptorsTheAcceptorRestsAndKeepsItsSpare) {
#if defined(__SANITIZE_ADDRESS__)
    // Their checks open pipes: out of descriptors they report false faults.
    GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
    Execution ex;
    const pid_t pid = ex.morva->pid();
    rlimit lim{};
    lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(testsupport::openDescriptors(pid) + 4);
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &lim, nullptr), 0);

    for (int episode = 1; episode <= 2; ++episode) {
        std::vector<std::unique_ptr<RawConnection>> held;
        for (int i = 0; i < 8; ++i) {
            auto c = ex.connect();
            if (!c->request(506)) break;  // shed: the table is full
            held.push_back(std::move(c));
        }
        ASSERT_LT(held.size(), 8u);
        std::vector<std::unique_ptr<RawConnection>> newcomers;
        for (int i = 0; i < 10; ++i) newcomers.push_back(ex.connect());
        for (auto& shed : newcomers) EXPECT_TRUE(shed->waitClosed()) << "episode " << episode;
        EXPECT_EQ(linesWith(ex.morva->stderrLines(), "out of descriptors"),
                  static_cast<size_t>(episode));
        EXPECT_EQ(linesWith(ex.morva->stderrLines(), "Can't accept"), 0u);
        for (auto& c : held) EXPECT_TRUE(c->request(506).has_value());
        held.clear();
        std::this_thread::sleep_for(1500ms);
        auto served = ex.connect();
        EXPECT_TRUE(served->request(506).has_value()) << "episode " << episode;
    }
}
