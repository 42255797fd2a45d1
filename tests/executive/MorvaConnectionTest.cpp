// The connection layer of a running morva: slot limits, framing faults,
// stalled and vanished peers, end of console input, and a stress run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "MorvaHarness.h"

using namespace morvatest;

namespace {

// Relays and departure notices may arrive before the answer: skip them.
bool allocateNumberWorks(RawConnection& f) {
    return f.sendFrame(506) && f.receiveType(507).has_value();
}

// utime + stime of a process, in clock ticks.
long cpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
}

TEST(MorvaConnectionTest, ThirtyNineConnectionsAreServedAndTheFortiethIsRefused) {
    Execution ex;
    std::vector<std::unique_ptr<RawConnection>> feds;
    for (int i = 0; i < 39; ++i) {
        feds.push_back(ex.connect());
        ASSERT_TRUE(allocateNumberWorks(*feds.back())) << "connection " << i;
    }
    auto extra = ex.connect();
    EXPECT_TRUE(extra->waitClosed());
    EXPECT_FALSE(
        ex.morva->waitStderr("ERR RTIMorvaCommHandler::acceptConnection: out of slots").empty());
    for (auto& f : feds) EXPECT_TRUE(allocateNumberWorks(*f));

    // A freed slot is reused at once.
    feds[5]->close();
    ASSERT_FALSE(ex.morva->waitStdout("LOG Closed connection on").empty());
    auto again = ex.connect();
    EXPECT_TRUE(allocateNumberWorks(*again));
}

TEST(MorvaConnectionTest, OversizedHeaderDropsOnlyThatConnection) {
    Execution ex;
    auto a = ex.connect();
    auto b = ex.connect();
    ASSERT_EQ(a->join("a"), 1);
    ASSERT_EQ(b->join("b"), 2);
    ASSERT_TRUE(b->sendBytes(concat({u32(600), u32(16u * 1024 * 1024 + 1)})));
    EXPECT_TRUE(b->waitClosed());
    const std::string err = ex.morva->waitStderr("16777217");
    EXPECT_EQ(err.rfind("ERR ", 0), 0u) << err;
    EXPECT_NE(err.find("0x"), std::string::npos) << "names the connection: " << err;

    // The others are told, as for any lost connection.
    auto left = a->receiveType(132);
    ASSERT_TRUE(left);
    EXPECT_EQ(u32At(left->payload, 0), 2u);
    EXPECT_TRUE(allocateNumberWorks(*a));
    // Exactly 16 MiB is still a valid length (the header is accepted; the
    // body simply has not arrived yet).
    auto c = ex.connect();
    ASSERT_TRUE(c->sendBytes(concat({u32(600), u32(16u * 1024 * 1024)})));
    EXPECT_TRUE(allocateNumberWorks(*a));
    EXPECT_FALSE(c->waitClosed(500ms));
}

TEST(MorvaConnectionTest, PartialMessagesWaitWithoutHoldingUpOthers) {
    Execution ex;
    auto staller = ex.connect();
    auto other = ex.connect();
    const auto join = RawConnection::frameBytes(500, counted("slow"));
    // Half a header, then nothing for a while.
    ASSERT_TRUE(staller->sendBytes({join.begin(), join.begin() + 3}));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(allocateNumberWorks(*other));
    EXPECT_EQ(other->join("fast"), 1);
    // The rest arrives in small pieces; the message is assembled normally.
    for (size_t at = 3; at < join.size(); at += 2) {
        const size_t end = std::min(join.size(), at + 2);
        ASSERT_TRUE(staller->sendBytes({join.begin() + at, join.begin() + end}));
        std::this_thread::sleep_for(5ms);
    }
    auto answer = staller->receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->type, 501u);
    EXPECT_EQ(u32At(answer->payload, 0), 2u);
    // Two whole messages in one segment are both answered.
    ASSERT_TRUE(other->sendBytes(
        concat({RawConnection::frameBytes(506, {}), RawConnection::frameBytes(506, {})})));
    auto n1 = other->receive(), n2 = other->receive();
    ASSERT_TRUE(n1 && n2);
    EXPECT_EQ(u32At(n2->payload, 0), u32At(n1->payload, 0) + 1);
}

// A stream that ends inside a frame: the unfinished frame is reported on
// standard error, never dispatched, and the connection is then cleaned up
// like any other that closed (a joined federate is announced as gone).
TEST(MorvaConnectionTest, StreamEndingInsideAFrameIsReportedAndNotDispatched) {
    Execution ex;
    auto a = ex.connect();
    auto b = ex.connect();
    ASSERT_EQ(a->join("a"), 1);
    ASSERT_EQ(b->join("b"), 2);

    // A whole header announcing 10 bytes of a relayed type, then 3 of them.
    ASSERT_TRUE(b->sendBytes(concat({u32(600), u32(10), {'a', 'b', 'c'}})));
    std::this_thread::sleep_for(100ms);
    ::shutdown(b->fd(), SHUT_WR);
    const std::string badMsg = ex.morva->waitStderr("Bad msg on");
    EXPECT_EQ(badMsg.rfind("ERR RTIMorvaCommHandler::readMessage: Bad msg on 0x", 0), 0u) << badMsg;
    auto left = a->receive();
    ASSERT_TRUE(left);
    EXPECT_EQ(left->type, 132u)
        << "the short message is not relayed; the departure notice is all that comes";
    EXPECT_EQ(u32At(left->payload, 0), 2u);
    EXPECT_FALSE(ex.morva->waitStdout("LOG Closed connection on ").empty());

    // Three bytes of a header, then the end of the stream.
    auto c = ex.connect();
    ASSERT_TRUE(c->sendBytes({0, 0, 0}));
    std::this_thread::sleep_for(100ms);
    ::shutdown(c->fd(), SHUT_WR);
    const std::string badHeader = ex.morva->waitStderr("Bad header on");
    EXPECT_EQ(badHeader.rfind("ERR RTIMorvaCommHandler::readMessage: Bad header on 0x", 0), 0u)
        << badHeader;
    EXPECT_TRUE(c->waitClosed());
    // An unjoined connection leaves without a notice: the answer comes first.
    auto answer = a->request(506);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->type, 507u);
}

TEST(MorvaConnectionTest, EndOfConsoleInputStopsReadingButNotServing) {
    Execution ex;
    ex.morva->write("orphan\n");
    ASSERT_FALSE(ex.morva->waitStdout("LOG Currently have 0 orphaned objects").empty());
    ex.morva->closeStdin();
    std::this_thread::sleep_for(300ms);
    const long before = cpuTicks(ex.morva->pid());
    std::this_thread::sleep_for(2s);
    const long spent = cpuTicks(ex.morva->pid()) - before;
    EXPECT_LT(spent, 100) << "morva spins after end of input";
    auto f = ex.connect();
    EXPECT_EQ(f->join("still-served"), 1);
    EXPECT_TRUE(ex.morva->running());
}

TEST(MorvaConnectionTest, ClosedStandardInputStillServes) {
    Registry registry;
    registry.reserve("fed");
    auto p = startMorva("fed", registry.port(), "1", /*stdinDevNull=*/true);
    ASSERT_FALSE(p->waitStdout("LOG Morva started", 10s).empty()) << p->stderrText();
    RawConnection f(registry.lookup("fed").port());
    EXPECT_EQ(f.join("a"), 1);
    p->signal(SIGINT);
    EXPECT_EQ(p->wait(), 0);
}

// Handle 1 will never read, handle 2 floods relays, handle 3 reads them all.
void joinDeafTalkerListener(Execution& ex, std::unique_ptr<RawConnection>& deaf,
                            std::unique_ptr<RawConnection>& talker,
                            std::unique_ptr<RawConnection>& listener) {
    deaf = ex.connect();
    talker = ex.connect();
    listener = ex.connect();
    ASSERT_EQ(deaf->join("deaf"), 1);
    ASSERT_EQ(talker->join("talker"), 2);
    ASSERT_EQ(listener->join("listener"), 3);
}

TEST(MorvaConnectionTest, FederateThatStopsReadingIsCutOffAndOthersGoOn) {
    Execution ex;
    std::unique_ptr<RawConnection> deaf, talker, listener;
    ASSERT_NO_FATAL_FAILURE(joinDeafTalkerListener(ex, deaf, talker, listener));

    // Relays of 16 KiB each: the deaf federate's socket buffers fill quickly,
    // its writer stalls, then its queue; the listener keeps reading.
    const std::vector<char> big(16 * 1024, 'x');
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    size_t received = 0;
    bool deafDropped = false;
    std::atomic<bool> stop{false};
    std::thread pump([&] {
        while (!stop && talker->sendFrame(600, big)) std::this_thread::sleep_for(1ms);
    });
    while (std::chrono::steady_clock::now() < deadline && !deafDropped) {
        auto f = listener->receive(100ms);
        if (!f) continue;
        ++received;
        deafDropped = f->type == 132 && u32At(f->payload, 0) == 1;
    }
    stop = true;
    pump.join();
    EXPECT_TRUE(deafDropped) << ex.morva->stderrText();
    EXPECT_GT(received, 0u);
    EXPECT_TRUE(deaf->waitClosed(30s));
    ASSERT_TRUE(listener->sendFrame(506));
    EXPECT_TRUE(listener->receiveType(507, 30s));
}

// A federate that never reads while another floods relays of `size` bytes:
// what is queued for the deaf one is bounded in bytes, not just in messages
// (4096 relays of 16 MiB would be 64 GiB), it is cut off, and a federate
// that reads gets every relay exactly once, in order, intact.
void stuckReaderStaysWithinTheByteBound(size_t size, int relays) {
    Execution ex;
    std::unique_ptr<RawConnection> deaf, talker, listener;
    ASSERT_NO_FATAL_FAILURE(joinDeafTalkerListener(ex, deaf, talker, listener));

    std::thread pump([&] {
        std::vector<char> payload(size);
        for (int seq = 0; seq < relays; ++seq) {
            std::fill(payload.begin(), payload.end(), static_cast<char>('a' + seq % 26));
            std::memcpy(payload.data(), u32(static_cast<uint32_t>(seq)).data(), 4);
            if (!talker->sendFrame(600, payload)) return;
        }
    });
    int next = 0;
    bool deafLeft = false, intact = true;
    const auto deadline = std::chrono::steady_clock::now() + 90s;
    while (std::chrono::steady_clock::now() < deadline && (next < relays || !deafLeft)) {
        auto f = listener->receive(200ms);
        if (!f) continue;
        if (f->type == 132) {
            deafLeft = deafLeft || u32At(f->payload, 0) == 1;
            continue;
        }
        ASSERT_EQ(f->type, 600u);
        ASSERT_EQ(u32At(f->payload, 0), static_cast<uint32_t>(next)) << "lost or reordered";
        intact = intact && f->payload.size() == size &&
                 f->payload.back() == static_cast<char>('a' + next % 26);
        ++next;
    }
    pump.join();

    EXPECT_EQ(next, relays);
    EXPECT_TRUE(intact);
    EXPECT_TRUE(deafLeft) << ex.morva->stderrText();
    EXPECT_FALSE(ex.morva->waitStderr("WARNING: enqueue is blocking on reader 1", 1s).empty());
#if !defined(__SANITIZE_ADDRESS__)
    const long long peakKiB = testsupport::memoryFigure(ex.morva->pid(), "VmHWM") / 1024;
    // The byte bound (64 MiB), a frame being read, a batch being written and
    // the program itself; without the bound the deaf federate's queue alone
    // grows to everything sent.
    EXPECT_LT(peakKiB, (64 + 3 * 16 + 48) * 1024LL) << "peak " << peakKiB << " KiB";
#endif
    EXPECT_TRUE(allocateNumberWorks(*listener));
}

TEST(MorvaConnectionTest, StuckReaderUnderRelaysOf4MiBStaysWithinTheByteBound) {
    stuckReaderStaysWithinTheByteBound(4u << 20, 48);
}

TEST(MorvaConnectionTest, StuckReaderUnderRelaysOf16MiBStaysWithinTheByteBound) {
    stuckReaderStaysWithinTheByteBound(16u << 20, 12);
}

TEST(MorvaConnectionTest, SigintEndsPromptlyWhileAWriterIsStuckOnADeafPeer) {
    Execution ex;
    auto deaf = ex.connect();
    auto talker = ex.connect();
    ASSERT_EQ(deaf->join("deaf"), 1);
    // Enough to fill the deaf peer's socket buffers and block its writer.
    const std::vector<char> big(64 * 1024, 'x');
    for (int i = 0; i < 256; ++i) ASSERT_TRUE(talker->sendFrame(600, big));
    ASSERT_TRUE(talker->request(506));  // all of it has been read and queued
    const auto start = std::chrono::steady_clock::now();
    ex.morva->signal(SIGINT);
    EXPECT_EQ(ex.morva->wait(20s), 0) << ex.morva->stderrText();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
}

TEST(MorvaConnectionTest, StressOfSplitWholeAndDroppedConnectionsLeavesNothingBehind) {
    Execution ex;
    // Let start-up settle before counting descriptors.
    auto probe = ex.connect();
    ASSERT_TRUE(allocateNumberWorks(*probe));
    probe->close();
    ASSERT_FALSE(ex.morva->waitStdout("LOG Closed connection on").empty());
    const int baseline = testsupport::openDescriptors(ex.morva->pid());

    std::mt19937 rng(12345);
    std::vector<std::unique_ptr<RawConnection>> open;
    const auto until = std::chrono::steady_clock::now() + 4s;
    int sent = 0;
    while (std::chrono::steady_clock::now() < until) {
        const int action = static_cast<int>(rng() % 10);
        if (open.size() < 30 && (open.empty() || action < 3)) {
            // Wait until it is served: the listen backlog is small, and a
            // burst of connects would only measure SYN retries.
            open.push_back(ex.connect());
            open.back()->sendFrame(506);
            ASSERT_TRUE(open.back()->receiveType(507));
            continue;
        }
        RawConnection& f = *open[rng() % open.size()];
        std::vector<char> bytes;
        switch (action) {
            case 3:
                bytes = RawConnection::frameBytes(500, counted("s" + std::to_string(sent)));
                break;
            case 4:
                bytes = RawConnection::frameBytes(127, std::vector<char>(rng() % 64, 'r'));
                break;
            case 5:
                bytes = RawConnection::frameBytes(506, {});
                break;
            default:
                bytes = RawConnection::frameBytes(600 + rng() % 50,
                                                  std::vector<char>(rng() % 300, 'p'));
        }
        const size_t cut = rng() % (bytes.size() + 1);
        f.sendBytes({bytes.begin(), bytes.begin() + cut});
        if (action == 9) {
            // Dropped mid-message.
            open.erase(open.begin() + static_cast<long>(rng() % open.size()));
            continue;
        }
        f.sendBytes({bytes.begin() + cut, bytes.end()});
        ++sent;
        // Drain a little so that nobody's buffers fill up.
        for (auto& o : open) {
            while (o->receive(0ms)) {
            }
        }
    }
    open.clear();

    // morva still serves, and every connection it held has gone.
    auto after = ex.connect();
    EXPECT_TRUE(allocateNumberWorks(*after));
    after->close();
    int fds = -1;
    for (int i = 0; i < 100 && fds != baseline; ++i) {
        std::this_thread::sleep_for(100ms);
        fds = testsupport::openDescriptors(ex.morva->pid());
    }
    EXPECT_EQ(fds, baseline);
    ex.morva->write("list\n");
    ASSERT_FALSE(ex.morva->waitStdout("LIST START").empty());
    EXPECT_FALSE(ex.morva->waitStdout("LIST END").empty());
    EXPECT_GT(sent, 20);  // a loose floor: a loaded sanitizer build is slow
    EXPECT_TRUE(ex.morva->running());
}

}  // namespace
