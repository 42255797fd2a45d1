// The platform layer: computer name, sleeping, SIGPIPE, handles as pointers.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>

#include "Platform.h"
#include "RTIreactor.h"

TEST(Platform, ComputerNameIsHostName) {
    char expected[256] = {};
    ASSERT_EQ(0, ::gethostname(expected, sizeof expected - 1));
    char name[256];
    std::memset(name, 'x', sizeof name);
    ASSERT_TRUE(platform::getComputerName(name, sizeof name));
    EXPECT_STREQ(expected, name);
}

TEST(Platform, ComputerNameTooSmallBufferStaysTerminated) {
    char expected[256] = {};
    ASSERT_EQ(0, ::gethostname(expected, sizeof expected - 1));
    if (std::strlen(expected) < 2) GTEST_SKIP() << "host name too short to test";
    char name[2] = {'x', 'x'};
    platform::getComputerName(name, sizeof name);
    EXPECT_TRUE(name[0] == '\0' || name[1] == '\0');
    EXPECT_FALSE(platform::getComputerName(name, 0));
}

TEST(Platform, SleepsAtLeastTheTimeAsked) {
    const auto start = std::chrono::steady_clock::now();
    platform::sleepMilliseconds(60);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
}

TEST(Platform, IgnoreSigpipe) {
    struct sigaction old {};
    ASSERT_EQ(0, ::sigaction(SIGPIPE, nullptr, &old));
    platform::ignoreSigpipe();
    struct sigaction now {};
    ASSERT_EQ(0, ::sigaction(SIGPIPE, nullptr, &now));
    EXPECT_EQ(SIG_IGN, now.sa_handler);
    ::sigaction(SIGPIPE, &old, nullptr);
}

TEST(Platform, HandleAsPointer) {
    auto printed = [](ACE_HANDLE h) {
        std::ostringstream os;
        os << platform::asPointer(h);
        return os.str();
    };
    EXPECT_EQ("0x7", printed(7));
    EXPECT_EQ("0", printed(0));
    EXPECT_EQ("0xff", printed(255));
    EXPECT_EQ("0xffffffffffffffff", printed(ACE_INVALID_HANDLE));
}

TEST(RTIreactor, PollsOneDescriptor) {
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds));
    RTIreactor reactor;
    EXPECT_FALSE(reactor.poll(ACE_Time_Value(0, 10000)));  // nothing registered
    EXPECT_EQ(-1, reactor.register_descriptor(ACE_INVALID_HANDLE, 1));
    ASSERT_EQ(0, reactor.register_descriptor(fds[0], 1));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(reactor.poll(ACE_Time_Value(0, 100000)));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(90));
    EXPECT_LT(waited, std::chrono::seconds(2));

    ASSERT_EQ(1, ::write(fds[1], "x", 1));
    EXPECT_TRUE(reactor.poll(ACE_Time_Value(1, 0)));
    EXPECT_TRUE(reactor.poll(ACE_Time_Value::zero));
    char c;
    ASSERT_EQ(1, ::read(fds[0], &c, 1));
    EXPECT_FALSE(reactor.poll(ACE_Time_Value::zero));
    ::close(fds[1]);
    EXPECT_TRUE(reactor.poll(ACE_Time_Value(1, 0)));  // end of stream counts as readable
    ::close(fds[0]);
}
