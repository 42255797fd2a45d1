#include "PeerLiveness.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>

#include "Platform.h"

namespace platform {

unsigned peerTimeoutSeconds() {
    static const unsigned seconds = [] {
        unsigned long value = 0;
        const char* text = std::getenv("RTI_PEER_TIMEOUT");
        if (text != nullptr &&
            parseDecimal(text, kMinPeerTimeoutSeconds, kMaxPeerTimeoutSeconds, value)) {
            return static_cast<unsigned>(value);
        }
        return kDefaultPeerTimeoutSeconds;
    }();
    return seconds;
}

bool watchPeerLiveness(int fd, unsigned seconds) {
    constexpr int kProbes = 6;
    const int idle = static_cast<int>(seconds / 2);
    int interval = static_cast<int>((seconds - seconds / 2) / kProbes);
    if (interval < 1) interval = 1;
    const int probes = kProbes;
    const int on = 1;
    const unsigned userTimeoutMs = seconds * 1000u;
    return ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
           ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 &&
           ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0 &&
           ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0 &&
           ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs) ==
               0;
}

}  // namespace platform
