// A peer's text must never forge or garble a log line, nor grow the log
// beyond a bound, whatever bytes it holds.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "LogSafe.h"

using RTIP::logSafe;

TEST(LogSafe, EscapesControlBytesAndBackslashAndKeepsTheRest) {
    EXPECT_EQ(logSafe("fed1"), "fed1");
    EXPECT_EQ(logSafe("a\nLOG removing morva x"), "a\\x0aLOG removing morva x");
    EXPECT_EQ(logSafe(std::string("\x1b[2J\r\t\x7f", 7)), "\\x1b[2J\\x0d\\x09\\x7f");
    EXPECT_EQ(logSafe(std::string("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(logSafe("c:\\x0a"), "c:\\x5cx0a");                   // an escape cannot be faked
    EXPECT_EQ(logSafe("\xc3\xa9t\xc3\xa9"), "\xc3\xa9t\xc3\xa9");  // UTF-8 passes
}

TEST(LogSafe, CutsLongTextAndBoundsTheResult) {
    EXPECT_EQ(logSafe(std::string(63, 'n')), std::string(63, 'n'));
    EXPECT_EQ(logSafe(std::string(64, 'n')), std::string(63, 'n') + "...");
    const std::string huge(16u << 20, '\n');
    const std::string line = logSafe(huge);
    EXPECT_EQ(line.size(), 63u * 4 + 3);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(logSafe("abcdef", 3), "abc...");
}

TEST(LogSafe, NamesTheNumericPeerOfAConnectedSocket) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(RTIP::peerText(client), "127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
    EXPECT_EQ(RTIP::peerText(listener), "unknown peer");
    EXPECT_EQ(RTIP::peerText(-1), "unknown peer");
    ::close(client);
    ::close(listener);
}
