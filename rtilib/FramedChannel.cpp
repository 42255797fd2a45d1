#include "FramedChannel.h"

#include <ace/SOCK_Connector.h>
#include <poll.h>

#include <cerrno>

#include "Platform.h"

bool FramedChannel::address(const std::string& host, uint16_t port, ACE_INET_Addr& out) {
    uint32_t ipv4 = 0;
    std::string why;
    if (!platform::resolveIPv4(host.c_str(), ipv4, why)) return false;
    out.set(port, ipv4);
    return true;
}

int FramedChannel::connect(const ACE_INET_Addr& address, std::chrono::milliseconds limit) {
    close();
    reader_.reset();
    ACE_SOCK_Connector connector;
    ACE_Time_Value timeout;
    timeout.msec(static_cast<long>(limit.count()));
    if (connector.connect(stream_, address, &timeout) != 0) {
        const int err = errno;
        close();
        return err;
    }
    return 0;
}

void FramedChannel::close() {
    if (open()) stream_.close();
}

FramedChannel::Read FramedChannel::read(Message& out, Clock::time_point deadline) {
    for (;;) {
        switch (reader_.next()) {
            case FrameReader::Result::Frame:
                out.type = reader_.type();
                out.payload.assign(reader_.payload(), reader_.payload() + reader_.length());
                return Read::Frame;
            case FrameReader::Result::TooLarge:
                return Read::TooLarge;
            case FrameReader::Result::NeedMore:
                break;
        }
        if (!open()) return Read::Closed;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0) left = std::chrono::milliseconds(0);
        // Even at the deadline the socket is looked at once, so a reply
        // that is already there is taken rather than reported as late.
        pollfd pfd{stream_.get_handle(), POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            error_ = errno;
            return Read::WaitFailed;
        }
        if (ready == 0) return Read::Timeout;
        const ssize_t n = reader_.fill(stream_.get_handle());
        if (n == 0) return Read::Closed;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            error_ = errno;
            return Read::Broken;
        }
    }
}
