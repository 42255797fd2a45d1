#include "RTIreactor.h"

#include <poll.h>

#include <cerrno>
#include <chrono>

int RTIreactor::register_descriptor(ACE_HANDLE handle, int mask) {
    if (handle == ACE_INVALID_HANDLE || (mask & 1) == 0) return -1;
    handle_ = handle;
    return 0;
}

bool RTIreactor::poll(const ACE_Time_Value& timeout) {
    if (handle_ == ACE_INVALID_HANDLE) return false;
    using Clock = std::chrono::steady_clock;
    long long limit = static_cast<long long>(timeout.sec()) * 1000 + timeout.usec() / 1000;
    if (limit < 0) limit = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limit);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd pfd{};
        pfd.fd = handle_;
        pfd.events = POLLIN;
        const int r = ::poll(&pfd, 1, left > 0 ? static_cast<int>(left) : 0);
        if (r > 0) return (pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}
