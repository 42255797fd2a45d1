// RTImessageStream over a real loopback TCP connection.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "Loopback.h"
#include "RTImessageStream.h"

namespace {

std::atomic<int> sigpipes{0};
void countSigpipe(int) { sigpipes++; }

}  // namespace

TEST(MessageStream, SendAndReceiveFramedMessages) {
    LoopbackPair p;
    const char payload[] = "hello";
    EXPECT_EQ(8 + 6, p.client.sendMsg(msgJoinFederationExecution, 6, payload));
    EXPECT_EQ(8, p.client.sendMsg(msgGetFederateList, 0, nullptr));
    std::vector<char> big(300000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    std::thread sender([&] {
        EXPECT_EQ(static_cast<ssize_t>(8 + big.size()),
                  p.client.sendMsg(42, big.size(), big.data()));
    });

    uint32_t type = 0, length = 0;
    ASSERT_EQ(8, p.server.recvHeader(type, length));
    EXPECT_EQ(500u, type);
    ASSERT_EQ(6u, length);
    char buf[6];
    EXPECT_EQ(6, p.server.recvMsg(buf, 6));
    EXPECT_STREQ("hello", buf);

    ASSERT_EQ(8, p.server.recvHeader(type, length));
    EXPECT_EQ(508u, type);
    EXPECT_EQ(0u, length);
    EXPECT_EQ(0, p.server.recvMsg(nullptr, 0));

    ASSERT_EQ(8, p.server.recvHeader(type, length));
    EXPECT_EQ(42u, type);
    ASSERT_EQ(big.size(), length);
    std::vector<char> got(length);
    EXPECT_EQ(static_cast<ssize_t>(length), p.server.recvMsg(got.data(), length));
    EXPECT_EQ(big, got);
    sender.join();
}

TEST(MessageStream, HeaderBytesOnTheWire) {
    LoopbackPair p;
    EXPECT_EQ(12, p.client.sendMsg(0x01020304, 4, "abc"));
    char raw[12];
    size_t got = 0;
    while (got < sizeof raw) {
        const ssize_t r = ::recv(p.server.get_handle(), raw + got, sizeof raw - got, 0);
        ASSERT_GT(r, 0);
        got += static_cast<size_t>(r);
    }
    const unsigned char expected[12] = {1, 2, 3, 4, 0, 0, 0, 4, 'a', 'b', 'c', 0};
    EXPECT_EQ(0, std::memcmp(expected, raw, sizeof raw));
}

TEST(MessageStream, RecvHeaderReportsClosedAndShortHeaders) {
    {
        LoopbackPair p;
        p.client.close();
        uint32_t t, l;
        EXPECT_EQ(0, p.server.recvHeader(t, l));
    }
    {
        LoopbackPair p;
        ASSERT_EQ(3, ::send(p.client.get_handle(), "\0\0\1", 3, 0));
        p.client.close();
        uint32_t t, l;
        EXPECT_EQ(3, p.server.recvHeader(t, l));
    }
    {
        LoopbackPair p;
        ASSERT_EQ(8 + 2, ::send(p.client.get_handle(), "\0\0\0\1\0\0\0\x10xy", 10, 0));
        p.client.close();
        uint32_t t, l;
        ASSERT_EQ(8, p.server.recvHeader(t, l));
        ASSERT_EQ(16u, l);
        char buf[16];
        EXPECT_EQ(2, p.server.recvMsg(buf, l));  // a short payload is a bad message
    }
}

TEST(MessageStream, RecvHeaderReportsErrors) {
    RTImessageStream unconnected;
    uint32_t t, l;
    EXPECT_EQ(-1, unconnected.recvHeader(t, l));
}

// Two threads send large messages on one stream; every frame must arrive whole.
TEST(MessageStream, ConcurrentSendersNeverInterleave) {
    LoopbackPair p;
    constexpr int kPerThread = 24;
    constexpr size_t kSize = 700 * 1024;
    auto sendAll = [&](uint32_t id) {
        std::vector<char> payload(kSize);
        for (int i = 0; i < kPerThread; ++i) {
            std::memset(payload.data(), static_cast<int>(id * 16 + i % 16), payload.size());
            const size_t len = kSize - static_cast<size_t>(i) * 1000;
            EXPECT_EQ(static_cast<ssize_t>(len + 8),
                      p.client.sendMsg(id, static_cast<uint32_t>(len), payload.data()));
        }
    };
    std::thread a(sendAll, 1), b(sendAll, 2);
    int seen[3] = {0, 0, 0};
    auto receiveAll = [&] {
        std::vector<char> buf(kSize);
        for (int n = 0; n < 2 * kPerThread; ++n) {
            uint32_t type = 0, length = 0;
            ASSERT_EQ(8, p.server.recvHeader(type, length));
            ASSERT_TRUE(type == 1 || type == 2) << type;
            const int i = seen[type]++;
            ASSERT_EQ(kSize - static_cast<size_t>(i) * 1000, length);
            ASSERT_EQ(static_cast<ssize_t>(length), p.server.recvMsg(buf.data(), length));
            const char fillByte = static_cast<char>(type * 16 + i % 16);
            for (size_t k = 0; k < length; ++k)
                ASSERT_EQ(fillByte, buf[k]) << "frame " << n << " byte " << k;
        }
    };
    receiveAll();
    ::shutdown(p.server.get_handle(), SHUT_RDWR);  // unblocks the senders if the receiver gave up
    a.join();
    b.join();
    EXPECT_EQ(kPerThread, seen[1]);
    EXPECT_EQ(kPerThread, seen[2]);
}

TEST(MessageStream, SendToClosedPeerFailsWithoutSigpipe) {
    struct sigaction counting {
    }, old{};
    counting.sa_handler = countSigpipe;
    sigemptyset(&counting.sa_mask);
    ASSERT_EQ(0, ::sigaction(SIGPIPE, &counting, &old));
    sigpipes = 0;
    {
        LoopbackPair p;
        p.server.close();
        std::vector<char> payload(64 * 1024, 'x');
        ssize_t r = 0;
        for (int i = 0; i < 100; ++i) {
            r = p.client.sendMsg(1, payload.size(), payload.data());
            if (r != static_cast<ssize_t>(payload.size() + 8)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_NE(static_cast<ssize_t>(payload.size() + 8), r);
        EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << std::strerror(errno);
    }
    ::sigaction(SIGPIPE, &old, nullptr);
    EXPECT_EQ(0, sigpipes.load());
}

TEST(MessageStream, SendTimeoutBoundsAStuckPeer) {
    LoopbackPair p;
    ASSERT_EQ(0, p.client.setSendTimeout(200));
    std::vector<char> payload(16 * 1024 * 1024, 'x');  // far more than the socket buffers hold
    const auto start = std::chrono::steady_clock::now();
    const ssize_t r = p.client.sendMsg(1, payload.size(), payload.data());
    EXPECT_LT(r, static_cast<ssize_t>(payload.size() + 8));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(0, p.client.setSendTimeout(0));
}

TEST(MessageStream, NullDataWithLengthIsRefused) {
    LoopbackPair p;
    EXPECT_EQ(-1, p.client.sendMsg(1, 5, nullptr));
    EXPECT_EQ(EINVAL, errno);
}
