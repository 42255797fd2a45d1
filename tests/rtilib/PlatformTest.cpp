// The platform layer: computer name, sleeping, SIGPIPE, handles as pointers,
// listening addresses and log times.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <sstream>

#include "LogTime.h"
#include "PeerLiveness.h"
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

TEST(Platform, BindAddressComesFromTheEnvironment) {
    const char* var = "RTI_TEST_BIND";
    platform::BindAddress a;
    std::string error;
    ::unsetenv(var);
    ASSERT_TRUE(platform::bindAddressFromEnvironment(var, a, error));
    EXPECT_TRUE(a.allInterfaces());
    ::setenv(var, "", 1);
    ASSERT_TRUE(platform::bindAddressFromEnvironment(var, a, error));
    EXPECT_TRUE(a.allInterfaces());
    ::setenv(var, "127.0.0.2", 1);
    ASSERT_TRUE(platform::bindAddressFromEnvironment(var, a, error));
    EXPECT_EQ(0x7f000002u, a.ipv4);
    EXPECT_EQ("127.0.0.2", a.text());
    ::setenv(var, "localhost", 1);
    ASSERT_TRUE(platform::bindAddressFromEnvironment(var, a, error)) << error;
    EXPECT_EQ("127.0.0.1", a.text());
    ::setenv(var, "nosuchhost.invalid", 1);
    const bool resolved = platform::bindAddressFromEnvironment(var, a, error);
    ::unsetenv(var);
    if (resolved) GTEST_SKIP() << "this resolver answers for nosuchhost.invalid";
    EXPECT_EQ(0u, error.rfind("RTI_TEST_BIND: cannot listen on 'nosuchhost.invalid': ", 0))
        << error;
}

// The prefix is the C library's own UTC calendar, written by hand because
// gmtime_r may not be used in a signal handler.
TEST(LogTime, PrefixIsTheUtcCalendarTimeInMilliseconds) {
    for (int64_t t = -86400LL * 366 * 3; t < 253402300800LL; t += 7777777) {  // to 9999-12-31
        const time_t seconds = static_cast<time_t>(t);
        tm parts{};
        ASSERT_NE(nullptr, ::gmtime_r(&seconds, &parts));
        char expected[64];
        std::strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M:%S", &parts);
        const long ns = static_cast<long>((t % 1000 + 1000) % 1000) * 1000000L + 999999;
        char got[logtime::kPrefixLength];
        logtime::formatPrefix(timespec{seconds, ns}, got);
        char millis[8];
        std::snprintf(millis, sizeof millis, ".%03ldZ ", ns / 1000000);
        ASSERT_EQ(std::string(expected) + millis, std::string(got, sizeof got)) << t;
    }
    char leap[logtime::kPrefixLength];
    logtime::formatPrefix(timespec{951868799, 999999999}, leap);  // leap day of 2000
    EXPECT_EQ("2000-02-29T23:59:59.999Z ", std::string(leap, sizeof leap));
}

TEST(LogTime, StampingStreambufPrefixesEachLineAndKeepsTheText) {
    std::ostringstream target;
    logtime::StampingStreambuf stamping(target.rdbuf());
    std::ostream out(&stamping);
    out << "LOG a\nLOG b" << std::flush;
    out << " and more\n" << '\n' << "ERR c\n" << std::flush;
    static const std::regex stamped(
        "^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z (.*)$");
    std::istringstream lines(target.str());
    std::vector<std::string> texts;
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, stamped)) << line;
        texts.push_back(m[1]);
    }
    EXPECT_EQ((std::vector<std::string>{"LOG a", "LOG b and more", "", "ERR c"}), texts);
    EXPECT_EQ('\n', target.str().back()) << "nothing is stamped before a line begins";
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

// A connection armed for dead peers carries options that end it within the
// peer timeout, idle (keepalive) or with data pending (user timeout).
TEST(PeerLiveness, ArmsKeepaliveAndUserTimeoutWithinTheTimeout) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(platform::watchPeerLiveness(fd, 60));
    auto option = [fd](int level, int name) {
        int value = -1;
        socklen_t length = sizeof value;
        EXPECT_EQ(::getsockopt(fd, level, name, &value, &length), 0);
        return value;
    };
    EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1);
    const int detected = option(IPPROTO_TCP, TCP_KEEPIDLE) +
                         option(IPPROTO_TCP, TCP_KEEPINTVL) * option(IPPROTO_TCP, TCP_KEEPCNT);
    EXPECT_LE(detected, 60);
    EXPECT_GE(detected, 30);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_USER_TIMEOUT), 60000);
    ::close(fd);
}
