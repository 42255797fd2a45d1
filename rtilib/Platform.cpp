#include "Platform.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "LogTime.h"

namespace platform {

bool getComputerName(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        errno = EINVAL;
        return false;
    }
    if (::gethostname(buffer, size) != 0) {
        buffer[0] = '\0';
        return false;
    }
    buffer[size - 1] = '\0';
    return true;
}

void sleepMilliseconds(unsigned ms) {
    timespec left{};
    left.tv_sec = ms / 1000;
    left.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

namespace {

// The third field of a "min default max" sysctl file, or 0.
unsigned long sysctlMaximum(const char* path) {
    std::FILE* f = std::fopen(path, "r");
    if (f == nullptr) return 0;
    unsigned long lo = 0, def = 0, hi = 0;
    const int n = std::fscanf(f, "%lu %lu %lu", &lo, &def, &hi);
    std::fclose(f);
    return n == 3 ? hi : 0;
}

}  // namespace

bool kernelGrowsSocketBuffers(unsigned minimum) {
    static const unsigned long smaller = std::min(sysctlMaximum("/proc/sys/net/ipv4/tcp_rmem"),
                                                  sysctlMaximum("/proc/sys/net/ipv4/tcp_wmem"));
    return smaller >= minimum;
}

void ignoreSigpipe() {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGPIPE, &sa, nullptr);
}

bool parseDecimal(const char* text, unsigned long min, unsigned long max, unsigned long& value) {
    if (text == nullptr || *text == '\0') return false;
    unsigned long v = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        const unsigned long digit = static_cast<unsigned long>(*p - '0');
        if (digit > max || v > (max - digit) / 10) return false;  // beyond max (or overflow)
        v = v * 10 + digit;
    }
    if (v < min) return false;
    value = v;
    return true;
}

std::string BindAddress::text() const {
    in_addr a{};
    a.s_addr = htonl(ipv4);
    char buf[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

bool resolveIPv4(const char* host, uint32_t& ipv4, std::string& why) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host, nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        why = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
        return false;
    }
    ipv4 = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    ::freeaddrinfo(found);
    return true;
}

bool bindAddressFromEnvironment(const char* variable, BindAddress& address, std::string& error) {
    const char* text = std::getenv(variable);
    address = BindAddress{};
    if (text == nullptr || *text == '\0') return true;
    std::string why;
    if (!resolveIPv4(text, address.ipv4, why)) {
        error = std::string(variable) + ": cannot listen on '" + text + "': " + why;
        return false;
    }
    return true;
}

void writeSignalLine(int signum) {
    const int saved = errno;
    char line[logtime::kPrefixLength + 32];
    size_t n = 0;
    if (logtime::enabled()) {
        logtime::formatNow(line);
        n = logtime::kPrefixLength;
    }
    std::memcpy(line + n, "LOG Got signal ", 15);
    n += 15;
    char digits[12];
    size_t d = 0;
    unsigned v = signum < 0 ? 0u : static_cast<unsigned>(signum);
    do {
        digits[d++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0 && d < sizeof digits);
    while (d > 0) line[n++] = digits[--d];
    line[n++] = '\n';
    ssize_t ignored = ::write(STDOUT_FILENO, line, n);
    (void)ignored;
    errno = saved;
}

std::ostream& operator<<(std::ostream& os, HandleAsPointer h) {
    return os << reinterpret_cast<void*>(static_cast<intptr_t>(h.handle));
}

}  // namespace platform
