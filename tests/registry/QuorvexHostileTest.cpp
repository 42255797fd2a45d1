// Peers that try to take the registry away from everyone else: clients that
// never read their replies, strangers' obituaries, silent connections,
// hoarded reservations, forged log lines, and a process out of descriptors.
// One attack per test; each time the other clients are served as usual.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "RegistryTestUtil.h"

namespace {

using namespace regtest;
using Clock = std::chrono::steady_clock;

std::vector<char> repeatedFrames(uint32_t type, int count) {
    std::vector<char> bytes;
    const std::vector<char> frame = RawConnection::frameBytes(type, {});
    for (int i = 0; i < count; ++i) bytes.insert(bytes.end(), frame.begin(), frame.end());
    return bytes;
}

// Registers `count` executions with the longest names and hosts, so that
// every list reply is large.
void fillWithLongEntries(RegistryClient& client, int count) {
    const std::string host(49, 'h');
    for (int i = 0; i < count; ++i) {
        std::string name = std::to_string(i) + std::string(63, 'n');
        name.resize(63);
        client.reserve(name);
        client.registerExecution(name, RTIP::Reference(1000 + i, host.c_str()));
    }
}

// Sends as many of `bytes` as the socket takes now; false once the peer is gone.
bool pumpWithoutWaiting(int fd, const std::vector<char>& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t w =
            ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (w > 0) {
            sent += static_cast<size_t>(w);
            continue;
        }
        return w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    return true;
}

std::string peerOf(const RawConnection& conn) {
    return "127.0.0.1:" + std::to_string(testsupport::localPort(conn.fd()));
}

TEST(QuorvexHostile, ClientsThatNeverReadDoNotDelayAnotherClientsLookUp) {
    Server server;
    auto setup = server.client();
    fillWithLongEntries(*setup, 19);
    setup->reserve("victim");
    setup->registerExecution("victim", RTIP::Reference(4711, "victim-host"));

    // Six clients pump list requests and never read a reply; when the
    // registry drops one, it comes back.
    std::atomic<bool> stop{false};
    std::vector<std::thread> pumps;
    const std::vector<char> requests = repeatedFrames(msgGetAllFederationExecutions, 4000);
    for (int i = 0; i < 6; ++i) {
        pumps.emplace_back([&] {
            std::unique_ptr<RawConnection> conn;
            while (!stop.load()) {
                if (!conn) {
                    try {
                        conn = std::make_unique<RawConnection>(server.port());
                    } catch (const std::exception&) {
                        std::this_thread::sleep_for(20ms);
                        continue;
                    }
                    const int small = 4096;
                    ::setsockopt(conn->fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
                }
                if (!pumpWithoutWaiting(conn->fd(), requests)) conn.reset();
                std::this_thread::sleep_for(10ms);
            }
        });
    }

    auto victim = server.client();
    victim->setReplyTimeout(10000);
    std::chrono::milliseconds worst{0};
    const auto end = Clock::now() + 4s;
    while (Clock::now() < end) {
        const auto start = Clock::now();
        EXPECT_EQ(victim->lookup("victim"), RTIP::Reference(4711, "victim-host"));
        worst = std::max(
            worst, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start));
        std::this_thread::sleep_for(20ms);
    }
    stop.store(true);
    for (std::thread& t : pumps) t.join();
    // Answered in a millisecond when healthy; a loop that waits on one
    // non-reader's send loses a second or more.
    EXPECT_LT(worst.count(), 1000) << "worst look-up took " << worst.count() << " ms";
    EXPECT_TRUE(server.proc().running());
    server.quit();
}

TEST(QuorvexHostile, AClientThatTakesNoReplyIsDroppedAfterTheStallTimeout) {
    Server server(false, {"QUORVEX_STALL_TIMEOUT=1"});
    auto setup = server.client();
    fillWithLongEntries(*setup, 20);
    RawConnection sluggish(server.port());
    const int small = 4096;
    ::setsockopt(sluggish.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(
        pumpWithoutWaiting(sluggish.fd(), repeatedFrames(msgGetAllFederationExecutions, 8000)));
    const std::string line = server.proc().waitStdout(peerOf(sluggish) + " took nothing", 10s);
    EXPECT_EQ(line.rfind("ERR ", 0), 0u) << server.proc().stdoutText();
    EXPECT_TRUE(sluggish.waitClosed(10s));
    EXPECT_EQ(setup->list().size(), 20u);
    server.quit();
}

TEST(QuorvexHostile, AStrangersObituaryFreesNothing) {
    Server server;
    auto executive = server.client();
    executive->reserve("running");
    executive->registerExecution("running", RTIP::Reference(5, "h"));
    executive->reserve("reserved-only");

    RawConnection stranger(server.port());
    for (const std::string name : {"running", "reserved-only"}) {
        ASSERT_TRUE(stranger.sendFrame(msgMorvaObituary, counted(name)));
        const std::string line = server.proc().waitStdout("ERR Obit recvd for morva " + name, 5s);
        EXPECT_NE(line.find(peerOf(stranger)), std::string::npos) << line;
    }
    EXPECT_FALSE(stranger.receive(300ms));  // an obituary is never answered

    // Nothing was freed: the stranger cannot take the names over.
    EXPECT_EQ(executive->lookup("running"), RTIP::Reference(5, "h"));
    const auto retake = stranger.request(msgReserveFederationExecution, counted("running"));
    ASSERT_TRUE(retake);
    EXPECT_EQ(retake->type, uint32_t{msgFederationExecutionAlreadyExists});
    EXPECT_EQ(stranger.request(msgReserveFederationExecution, counted("reserved-only"))->type,
              uint32_t{msgFederationExecutionAlreadyExists});
    // The operator can still free any name.
    ASSERT_TRUE(server.proc().write("remove running\n"));
    EXPECT_NE(server.proc().waitStdout("LOG Federation running removed "), "");
    server.quit();
}

TEST(QuorvexHostile, ASilentConnectionIsClosedButOneThatSpokeStays) {
    Server server(false, {"QUORVEX_SILENT_TIMEOUT=1"});
    RawConnection talker(server.port());
    ASSERT_TRUE(talker.request(msgGetAllFederationExecutions));
    RawConnection silent(server.port());
    const std::string line = server.proc().waitStdout("LOG closing " + peerOf(silent), 5s);
    EXPECT_NE(line, "") << server.proc().stdoutText();
    EXPECT_TRUE(silent.waitClosed(5s));
    // Idle far past the silent timeout, the connection that spoke is served.
    std::this_thread::sleep_for(1500ms);
    const auto reply = talker.request(msgGetAllFederationExecutions);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->type, uint32_t{msgGetAllFederationExecutionsReply});
    server.quit();
}

TEST(QuorvexHostile, AReservationNeverRegisteredIsFreedAfterTheReserveTimeout) {
    Server server(false, {"QUORVEX_RESERVE_TIMEOUT=1"});
    auto client = server.client();
    client->reserve("hoarded");
    client->reserve("running");
    client->registerExecution("running", RTIP::Reference(5, "h"));
    EXPECT_NE(server.proc().waitStdout("LOG reservation of hoarded in slot 0 expired", 5s), "");
    client->reserve("hoarded");  // free again
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(client->lookup("running"), RTIP::Reference(5, "h"));  // registrations stay
    server.quit();
}

TEST(QuorvexHostile, ANameCannotForgeALogLine) {
    Server server;
    RawConnection forger(server.port());
    const std::string name = "x\nLOG removing morva victim from slot 0\x1b[2J";
    ASSERT_TRUE(forger.request(msgReserveFederationExecution, counted(name)));
    ASSERT_TRUE(forger.sendFrame(msgMorvaObituary, counted(name)));
    EXPECT_NE(server.proc().waitStdout("LOG removing morva x\\x0aLOG removing morva victim", 5s),
              "");
    for (const std::string& line : server.proc().stdoutLines()) {
        EXPECT_NE(line.rfind("LOG removing morva victim", 0), 0u) << line;
        EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
    }
    server.quit();
}

TEST(QuorvexHostile, OutOfDescriptorsTheAcceptorRestsAndRecovers) {
    Server server;
    const pid_t pid = server.proc().pid();
    // Room for two more connections, then every accept fails with EMFILE.
    rlimit old{};
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, nullptr, &old), 0);
    const rlimit tight{static_cast<rlim_t>(testsupport::openDescriptors(pid) + 2), old.rlim_max};
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &tight, nullptr), 0);
    std::vector<std::unique_ptr<RawConnection>> hogs;
    for (int i = 0; i < 4; ++i) hogs.push_back(std::make_unique<RawConnection>(server.port()));
    ASSERT_NE(server.proc().waitStdout("Can't accept new conn: Too many open files", 5s), "");
    std::this_thread::sleep_for(2s);
    const std::string out = server.proc().stdoutText();
    size_t failures = 0;
    for (size_t at = out.find("Can't accept"); at != std::string::npos;
         at = out.find("Can't accept", at + 1)) {
        ++failures;
    }
    EXPECT_LE(failures, 2u) << "one line per episode, not one per pass";

    // Descriptors free again: the waiting connections are taken and served.
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &old, nullptr), 0);
    for (auto& hog : hogs) {
        const auto reply = hog->request(msgGetAllFederationExecutions);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->type, uint32_t{msgGetAllFederationExecutionsReply});
    }
    server.quit();
}

}  // namespace
