// RTImessageStream over a real loopback TCP connection.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
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

// ---- batches ----------------------------------------------------------------

namespace {

// Frame i of a test batch: its length, and its payload filled with a pattern
// of its own, so a byte out of place shows which frame it came from.
std::vector<char> patterned(size_t length, int frame) {
    std::vector<char> bytes(length);
    for (size_t k = 0; k < length; ++k) bytes[k] = static_cast<char>(frame * 31 + k * 7);
    return bytes;
}

// Reads `count` frames and checks each against the batch it came from.
void expectFrames(RTImessageStream& in, const std::vector<RTImessageStream::Frame>& frames,
                  const std::vector<std::vector<char>>& payloads) {
    std::vector<char> buf;
    for (size_t i = 0; i < frames.size(); ++i) {
        uint32_t type = 0, length = 0;
        ASSERT_EQ(8, in.recvHeader(type, length)) << "frame " << i;
        ASSERT_EQ(frames[i].type, type) << "frame " << i;
        ASSERT_EQ(frames[i].length, length) << "frame " << i;
        buf.assign(length, 0);
        ASSERT_EQ(static_cast<ssize_t>(length), in.recvMsg(buf.data(), length)) << "frame " << i;
        ASSERT_TRUE(std::equal(buf.begin(), buf.end(), payloads[i].begin())) << "frame " << i;
    }
}

std::atomic<int> interruptions{0};
void countInterruption(int) { interruptions++; }

}  // namespace

// More frames than one gathered write may carry, empty ones included; a
// refused or empty batch writes nothing.
TEST(MessageStreamBatch, SendsEveryFrameInOrder) {
    LoopbackPair p;
    std::vector<std::vector<char>> payloads;
    std::vector<RTImessageStream::Frame> frames;
    for (int i = 0; i < 1500; ++i) payloads.push_back(patterned(i % 5 == 0 ? 0 : i % 97, i));
    for (int i = 0; i < 1500; ++i) {
        // Empty payloads come both as null and as a pointer to nothing.
        const void* data = payloads[i].empty() && i % 10 == 0 ? nullptr : payloads[i].data();
        frames.push_back(
            {static_cast<uint32_t>(600 + i), static_cast<uint32_t>(payloads[i].size()), data});
    }
    EXPECT_EQ(0u, p.client.sendMsgs(nullptr, 0));
    const RTImessageStream::Frame refused[2] = {{1, 3, "abc"}, {2, 5, nullptr}};
    errno = 0;
    EXPECT_EQ(0u, p.client.sendMsgs(refused, 2));
    EXPECT_EQ(EINVAL, errno);

    size_t sent = 0;
    std::thread sender([&] { sent = p.client.sendMsgs(frames.data(), frames.size()); });
    expectFrames(p.server, frames, payloads);
    sender.join();
    EXPECT_EQ(frames.size(), sent);
}

// A blocking send returns early, with only part written, when a signal
// arrives while it waits for room; with a small send buffer and a slow
// reader that happens all the time, anywhere in a header or a payload. Every
// frame must still arrive whole, in order, and nothing twice.
TEST(MessageStreamBatch, ResumesInterruptedWritesWhereTheyStopped) {
    LoopbackPair p;
    int small = 4096, receiving = 16384;
    ASSERT_EQ(0, ::setsockopt(p.client.get_handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small));
    ASSERT_EQ(0, ::setsockopt(p.server.get_handle(), SOL_SOCKET, SO_RCVBUF, &receiving,
                              sizeof receiving));
    struct sigaction interrupting {
    }, old{};
    interrupting.sa_handler = countInterruption;
    sigemptyset(&interrupting.sa_mask);
    interrupting.sa_flags = 0;  // no SA_RESTART: the send must come back early
    ASSERT_EQ(0, ::sigaction(SIGUSR1, &interrupting, &old));
    interruptions = 0;

    std::vector<std::vector<char>> payloads;
    std::vector<RTImessageStream::Frame> frames;
    size_t total = 0;
    for (int i = 0; i < 60; ++i) payloads.push_back(patterned(i % 4 == 0 ? 5 : 37 + i * 131, i));
    for (int i = 0; i < 60; ++i) {
        frames.push_back({static_cast<uint32_t>(i), static_cast<uint32_t>(payloads[i].size()),
                          payloads[i].data()});
        total += 8 + payloads[i].size();
    }
    std::atomic<bool> done{false};
    size_t sent = 0;
    std::thread sender([&] {
        sent = p.client.sendMsgs(frames.data(), frames.size());
        done = true;
    });
    const pthread_t target = sender.native_handle();
    std::thread interrupter([&] {
        while (!done) {
            pthread_kill(target, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    // The slow reader: small reads with pauses keep the sender waiting.
    std::vector<char> stream;
    char chunk[1499];
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (stream.size() < total && std::chrono::steady_clock::now() < giveUp) {
        const ssize_t r = ::recv(p.server.get_handle(), chunk, sizeof chunk, MSG_DONTWAIT);
        if (r > 0) stream.insert(stream.end(), chunk, chunk + r);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (stream.size() < total) ::shutdown(p.server.get_handle(), SHUT_RDWR);  // free the sender
    sender.join();
    interrupter.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(frames.size(), sent);
    ASSERT_EQ(total, stream.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(-1, ::recv(p.server.get_handle(), chunk, sizeof chunk, MSG_DONTWAIT))
        << "bytes beyond the last frame";
    EXPECT_GT(interruptions.load(), 0) << "no signal reached the sender; the test proves little";

    size_t at = 0;
    auto word = [&](size_t offset) {
        const auto* b = reinterpret_cast<const unsigned char*>(stream.data() + offset);
        return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
    };
    for (size_t i = 0; i < frames.size(); ++i) {
        ASSERT_LE(at + 8, stream.size()) << "frame " << i << " missing";
        EXPECT_EQ(frames[i].type, word(at)) << "frame " << i;
        ASSERT_EQ(frames[i].length, word(at + 4)) << "frame " << i;
        at += 8;
        ASSERT_LE(at + frames[i].length, stream.size()) << "frame " << i << " cut short";
        ASSERT_TRUE(std::equal(payloads[i].begin(), payloads[i].end(), stream.begin() + at))
            << "frame " << i;
        at += frames[i].length;
    }
}

// Batches and single messages from two threads on one stream: every frame
// arrives whole and each thread's frames keep their order.
TEST(MessageStreamBatch, ConcurrentSendMsgAndSendMsgsNeverInterleave) {
    LoopbackPair p;
    constexpr int kBatches = 12, kPerBatch = 8, kSingles = 40;
    constexpr size_t kBatchFrame = 90 * 1024, kSingle = 300 * 1024;
    std::thread batcher([&] {
        std::vector<std::vector<char>> payloads(kPerBatch);
        std::vector<RTImessageStream::Frame> frames(kPerBatch);
        for (int b = 0; b < kBatches; ++b) {
            for (int i = 0; i < kPerBatch; ++i) {
                const int n = b * kPerBatch + i;
                payloads[i].assign(kBatchFrame - static_cast<size_t>(n), static_cast<char>(n));
                frames[i] = {1, static_cast<uint32_t>(payloads[i].size()), payloads[i].data()};
            }
            EXPECT_EQ(static_cast<size_t>(kPerBatch),
                      p.client.sendMsgs(frames.data(), frames.size()));
        }
    });
    std::thread single([&] {
        std::vector<char> payload;
        for (int n = 0; n < kSingles; ++n) {
            payload.assign(kSingle - static_cast<size_t>(n), static_cast<char>(100 + n));
            EXPECT_EQ(static_cast<ssize_t>(payload.size() + 8),
                      p.client.sendMsg(2, static_cast<uint32_t>(payload.size()), payload.data()));
        }
    });
    int seen[3] = {0, 0, 0};
    std::vector<char> buf(kSingle);
    auto receiveAll = [&] {
        for (int n = 0; n < kBatches * kPerBatch + kSingles; ++n) {
            uint32_t type = 0, length = 0;
            ASSERT_EQ(8, p.server.recvHeader(type, length));
            ASSERT_TRUE(type == 1 || type == 2) << type;
            const int k = seen[type]++;
            const size_t expected = (type == 1 ? kBatchFrame : kSingle) - static_cast<size_t>(k);
            ASSERT_EQ(expected, length) << "type " << type << " frame " << k;
            ASSERT_EQ(static_cast<ssize_t>(length), p.server.recvMsg(buf.data(), length));
            const char fill = static_cast<char>(type == 1 ? k : 100 + k);
            for (size_t b = 0; b < length; ++b)
                ASSERT_EQ(fill, buf[b]) << "type " << type << " frame " << k << " byte " << b;
        }
    };
    receiveAll();
    ::shutdown(p.server.get_handle(), SHUT_RDWR);  // unblocks the senders if the receiver gave up
    batcher.join();
    single.join();
    EXPECT_EQ(kBatches * kPerBatch, seen[1]);
    EXPECT_EQ(kSingles, seen[2]);
}

// A stuck peer: the frames before the one the send gave up in count as sent,
// that one and the rest do not.
TEST(MessageStreamBatch, CountsOnlyTheFramesThatWentOutWhole) {
    LoopbackPair p;
    ASSERT_EQ(0, p.client.setSendTimeout(200));
    std::vector<char> huge(16 * 1024 * 1024, 'h');  // far more than the socket buffers hold
    const RTImessageStream::Frame frames[3] = {
        {7, 3, "abc"}, {8, static_cast<uint32_t>(huge.size()), huge.data()}, {9, 1, "z"}};
    errno = 0;
    EXPECT_EQ(1u, p.client.sendMsgs(frames, 3));
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << std::strerror(errno);

    uint32_t type = 0, length = 0;
    ASSERT_EQ(8, p.server.recvHeader(type, length));
    EXPECT_EQ(7u, type);
    char abc[3];
    ASSERT_EQ(3, p.server.recvMsg(abc, 3));
    EXPECT_EQ(0, std::memcmp(abc, "abc", 3));
    ASSERT_EQ(8, p.server.recvHeader(type, length));
    EXPECT_EQ(8u, type) << "the cut frame starts after the whole one";
}
