#include "Platform.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

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

void ignoreSigpipe() {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGPIPE, &sa, nullptr);
}

std::ostream& operator<<(std::ostream& os, HandleAsPointer h) {
    return os << reinterpret_cast<void*>(static_cast<intptr_t>(h.handle));
}

}  // namespace platform
