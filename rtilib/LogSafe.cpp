#include "LogSafe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace RTIP {

std::string logSafe(std::string_view text, size_t maxBytes) {
    static const char kHex[] = "0123456789abcdef";
    const bool cut = text.size() > maxBytes;
    if (cut) text = text.substr(0, maxBytes);
    std::string out;
    out.reserve(text.size() + (cut ? 3 : 0));
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte < 0x20 || byte == 0x7f || byte == '\\') {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xf];
        } else {
            out += ch;
        }
    }
    if (cut) out += "...";
    return out;
}

std::string peerText(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return "unknown peer";
    }
    char host[INET6_ADDRSTRLEN] = {0};
    unsigned port = 0;
    if (address.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
        ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        port = ntohs(in->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
        ::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        port = ntohs(in6->sin6_port);
    } else {
        return "unknown peer";
    }
    return std::string(host) + ":" + std::to_string(port);
}

}  // namespace RTIP
