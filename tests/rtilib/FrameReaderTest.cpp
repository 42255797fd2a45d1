// FrameReader: bytes in any split, whole messages out, oversize headers
// reported before anything is allocated for them.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "AllocationProbe.h"
#include "FrameReader.h"
#include "Loopback.h"

namespace {

std::vector<char> frame(uint32_t type, const std::string& payload) {
    const uint32_t len = static_cast<uint32_t>(payload.size());
    std::vector<char> out(8 + payload.size());
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<char>(type >> (24 - 8 * i));
        out[4 + i] = static_cast<char>(len >> (24 - 8 * i));
    }
    std::copy(payload.begin(), payload.end(), out.begin() + 8);
    return out;
}

std::vector<char> header(uint32_t type, uint32_t len) {
    std::vector<char> out(8);
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<char>(type >> (24 - 8 * i));
        out[4 + i] = static_cast<char>(len >> (24 - 8 * i));
    }
    return out;
}

std::string payloadOf(const FrameReader& r) { return std::string(r.payload(), r.length()); }

bool waitReadable(ACE_HANDLE h, int ms) {
    pollfd pfd{h, POLLIN, 0};
    return ::poll(&pfd, 1, ms) > 0;
}

}  // namespace

TEST(FrameReader, OneBytePieces) {
    FrameReader r;
    const auto f = frame(500, "federate-name");
    for (size_t i = 0; i + 1 < f.size(); ++i) {
        r.feed(&f[i], 1);
        EXPECT_EQ(FrameReader::Result::NeedMore, r.next()) << i;
    }
    r.feed(&f.back(), 1);
    ASSERT_EQ(FrameReader::Result::Frame, r.next());
    EXPECT_EQ(500u, r.type());
    EXPECT_EQ("federate-name", payloadOf(r));
    EXPECT_EQ(0u, r.buffered());
    EXPECT_EQ(FrameReader::Result::NeedMore, r.next());
}

TEST(FrameReader, TwoMessagesInOneFeed) {
    FrameReader r;
    auto both = frame(1, "first");
    const auto second = frame(2, "");
    both.insert(both.end(), second.begin(), second.end());
    const auto third = frame(3, "thi");
    both.insert(both.end(), third.begin(), third.begin() + 9);  // and a partial one
    r.feed(both.data(), both.size());
    ASSERT_EQ(FrameReader::Result::Frame, r.next());
    EXPECT_EQ(1u, r.type());
    EXPECT_EQ("first", payloadOf(r));
    ASSERT_EQ(FrameReader::Result::Frame, r.next());
    EXPECT_EQ(2u, r.type());
    EXPECT_EQ(0u, r.length());
    EXPECT_EQ(FrameReader::Result::NeedMore, r.next());
    EXPECT_EQ(9u, r.buffered());
    r.feed(third.data() + 9, third.size() - 9);
    ASSERT_EQ(FrameReader::Result::Frame, r.next());
    EXPECT_EQ("thi", payloadOf(r));
}

TEST(FrameReader, OversizeHeaderReportedNotAllocated) {
    FrameReader r;
    const auto h = header(7, kMaxPayload + 1);
    r.feed(h.data(), h.size());
    ASSERT_EQ(FrameReader::Result::TooLarge, r.next());
    EXPECT_EQ(kMaxPayload + 1, r.announcedLength());
    EXPECT_EQ(8u, r.buffered());
    EXPECT_EQ(FrameReader::Result::TooLarge, r.next());

    FrameReader huge;
    const auto h2 = header(7, 0xFFFFFFFFu);
    allocprobe::reset();
    huge.feed(h2.data(), h2.size());
    EXPECT_EQ(FrameReader::Result::TooLarge, huge.next());
    EXPECT_LE(allocprobe::largest(), 64u * 1024u);  // only the ordinary read buffer
    huge.reset();
    EXPECT_EQ(0u, huge.buffered());
    EXPECT_EQ(FrameReader::Result::NeedMore, huge.next());
}

TEST(FrameReader, ExactlyMaxPayloadIsAccepted) {
    FrameReader r;
    const auto h = header(9, kMaxPayload);
    r.feed(h.data(), h.size());
    EXPECT_EQ(FrameReader::Result::NeedMore, r.next());  // pending, not refused
    std::vector<char> body(kMaxPayload, 'b');
    r.feed(body.data(), body.size() - 1);
    EXPECT_EQ(FrameReader::Result::NeedMore, r.next());
    r.feed(body.data(), 1);
    ASSERT_EQ(FrameReader::Result::Frame, r.next());
    EXPECT_EQ(kMaxPayload, r.length());
    EXPECT_EQ('b', r.payload()[kMaxPayload - 1]);
}

TEST(FrameReader, ManyFramesStayCorrectAcrossCompaction) {
    FrameReader r;
    std::vector<char> stream;
    for (int i = 0; i < 5000; ++i) {
        const auto f =
            frame(static_cast<uint32_t>(i),
                  std::string(static_cast<size_t>(i % 97), static_cast<char>('a' + i % 26)));
        stream.insert(stream.end(), f.begin(), f.end());
    }
    int expected = 0;
    size_t at = 0;
    size_t piece = 1;
    while (at < stream.size()) {
        const size_t n = std::min(piece, stream.size() - at);
        r.feed(stream.data() + at, n);
        at += n;
        piece = piece * 3 % 1000 + 1;
        while (r.next() == FrameReader::Result::Frame) {
            ASSERT_EQ(static_cast<uint32_t>(expected), r.type());
            ASSERT_EQ(std::string(static_cast<size_t>(expected % 97),
                                  static_cast<char>('a' + expected % 26)),
                      payloadOf(r));
            ++expected;
        }
    }
    EXPECT_EQ(5000, expected);
    EXPECT_EQ(0u, r.buffered());
}

TEST(FrameReader, FillFromSocketOneBytePieces) {
    LoopbackPair p;
    int one = 1;
    ::setsockopt(p.client.get_handle(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    FrameReader r;
    errno = 0;
    EXPECT_EQ(-1, r.fill(p.server.get_handle()));  // nothing ready: never blocks
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);

    const auto f = frame(129, "roll call");
    for (size_t i = 0; i < f.size(); ++i) {
        ASSERT_EQ(1, ::send(p.client.get_handle(), &f[i], 1, 0));
        ASSERT_TRUE(waitReadable(p.server.get_handle(), 2000));
        ASSERT_EQ(1, r.fill(p.server.get_handle()));
        if (i + 1 < f.size()) {
            EXPECT_EQ(FrameReader::Result::NeedMore, r.next()) << i;
        }
    }
    ASSERT_EQ(FrameReader::Result::Frame, r.next());
    EXPECT_EQ(129u, r.type());
    EXPECT_EQ("roll call", payloadOf(r));
}

TEST(FrameReader, FillFromSocketTwoMessagesInOneSegment) {
    LoopbackPair p;
    auto both = frame(127, "a");
    const auto second = frame(128, "bb");
    both.insert(both.end(), second.begin(), second.end());
    ASSERT_EQ(static_cast<ssize_t>(both.size()),
              ::send(p.client.get_handle(), both.data(), both.size(), 0));
    FrameReader r;
    ASSERT_TRUE(waitReadable(p.server.get_handle(), 2000));
    ASSERT_EQ(static_cast<ssize_t>(both.size()), r.fill(p.server.get_handle()));
    ASSERT_EQ(FrameReader::Result::Frame, r.next());
    EXPECT_EQ("a", payloadOf(r));
    ASSERT_EQ(FrameReader::Result::Frame, r.next());
    EXPECT_EQ(128u, r.type());
    EXPECT_EQ("bb", payloadOf(r));
    EXPECT_EQ(FrameReader::Result::NeedMore, r.next());

    p.client.close();
    ASSERT_TRUE(waitReadable(p.server.get_handle(), 2000));
    EXPECT_EQ(0, r.fill(p.server.get_handle()));  // end of stream
}

TEST(FrameReader, FillLargeMessageThroughSocket) {
    LoopbackPair p;
    const std::string payload(3 * 1024 * 1024 + 5, 'L');
    std::thread sender([&] {
        EXPECT_EQ(static_cast<ssize_t>(payload.size() + 8),
                  p.client.sendMsg(77, payload.size(), payload.data()));
    });
    FrameReader r;
    FrameReader::Result res = FrameReader::Result::NeedMore;
    while (res == FrameReader::Result::NeedMore) {
        ASSERT_TRUE(waitReadable(p.server.get_handle(), 5000));
        ASSERT_GT(r.fill(p.server.get_handle()), 0);
        res = r.next();
    }
    ASSERT_EQ(FrameReader::Result::Frame, res);
    EXPECT_EQ(payload, payloadOf(r));
    sender.join();
}
