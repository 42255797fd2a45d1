// What the servers took from their original platform: the computer name,
// sleeping, making sure SIGPIPE never ends a process, reading numbers from a
// command line, and the address an acceptor listens on.
#pragma once

#include <ace/Basic_Types.h>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

namespace platform {

// The computer's name (gethostname), always NUL-terminated within `size`.
// Returns false (errno set) on failure.
bool getComputerName(char* buffer, size_t size);

void sleepMilliseconds(unsigned ms);

// True when the kernel sizes TCP socket buffers itself and lets them grow to
// at least `minimum` bytes (Linux: the maximum of tcp_rmem and tcp_wmem).
// Setting SO_RCVBUF or SO_SNDBUF turns that growth off for the socket, so a
// server that only means to make small buffers larger leaves such sockets
// alone. Read once; later calls return the first answer.
bool kernelGrowsSocketBuffers(unsigned minimum);

// Ignores SIGPIPE process-wide; call once at start-up.
void ignoreSigpipe();

// A number given on a command line: decimal digits and nothing else (no
// sign, blank or suffix), from `min` to `max`. False for anything else, so a
// mistyped value is refused instead of being read as some other number.
bool parseDecimal(const char* text, unsigned long min, unsigned long max, unsigned long& value);

// The first IPv4 address of `host` (dotted decimal or a name), in host byte
// order. False when it does not resolve, with `why` in the resolver's words.
bool resolveIPv4(const char* host, uint32_t& ipv4, std::string& why);

// The address a server's acceptor listens on. All interfaces unless a site
// names one, so that it can keep a server on loopback or on one network.
struct BindAddress {
    uint32_t ipv4 = 0;  // host byte order; 0 (INADDR_ANY) means all interfaces
    bool allInterfaces() const { return ipv4 == 0; }
    std::string text() const;  // dotted decimal
};

// Reads the listening address from environment variable `variable`. Unset or
// empty: all interfaces. Otherwise an IPv4 address in dotted decimal or a
// host name, resolved once, here, to its first IPv4 address. False for
// anything that does not resolve, with `error` saying so:
//   VARIABLE: cannot listen on "TEXT": REASON
bool bindAddressFromEnvironment(const char* variable, BindAddress& address, std::string& error);

// Writes "LOG Got signal <n>\n" to standard output with one write(2), after
// the log time when log lines carry one (LogTime.h). Async-signal-safe (no
// allocation, no stdio; errno preserved): signal handlers call it.
void writeSignalLine(int signum);

// A socket handle "written as a pointer value": glibc's %p form (0x7; 0 for 0).
struct HandleAsPointer {
    ACE_HANDLE handle;
};
inline HandleAsPointer asPointer(ACE_HANDLE h) { return HandleAsPointer{h}; }
std::ostream& operator<<(std::ostream& os, HandleAsPointer h);

}  // namespace platform
