#include "RTImessageStream.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>

#include <cerrno>

namespace {

void storeULong(char* dst, uint32_t v) {
    dst[0] = static_cast<char>(v >> 24);
    dst[1] = static_cast<char>(v >> 16);
    dst[2] = static_cast<char>(v >> 8);
    dst[3] = static_cast<char>(v);
}

uint32_t loadULong(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// Reads exactly n bytes unless the stream ends or fails. Returns the bytes
// read (short at end of stream), or -1 on error when nothing could be read.
ssize_t recvAll(ACE_HANDLE handle, char* dst, size_t n, bool& failed) {
    size_t got = 0;
    failed = false;
    while (got < n) {
        const ssize_t r = ::recv(handle, dst + got, n - got, 0);
        if (r > 0) {
            got += static_cast<size_t>(r);
        } else if (r == 0) {
            break;
        } else if (errno != EINTR) {
            failed = true;
            break;
        }
    }
    return static_cast<ssize_t>(got);
}

}  // namespace

ssize_t RTImessageStream::sendMsg(uint32_t type, uint32_t length, const void* data) {
    if (data == nullptr && length != 0) {
        errno = EINVAL;
        return -1;
    }
    char header[kHeaderSize];
    storeULong(header, type);
    storeULong(header + 4, length);

    iovec iov[2];
    iov[0].iov_base = header;
    iov[0].iov_len = kHeaderSize;
    iov[1].iov_base = const_cast<void*>(data);
    iov[1].iov_len = length;
    const int count = length > 0 ? 2 : 1;
    const size_t total = kHeaderSize + size_t{length};

    std::lock_guard<std::mutex> guard(sendLock_);
    size_t sent = 0;
    int first = 0;  // first iovec with bytes left
    while (sent < total) {
        msghdr msg{};
        msg.msg_iov = iov + first;
        msg.msg_iovlen = static_cast<size_t>(count - first);
        const ssize_t w = ::sendmsg(get_handle(), &msg, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            return sent > 0 ? static_cast<ssize_t>(sent) : -1;
        }
        sent += static_cast<size_t>(w);
        // Step past what went out; the kernel may stop anywhere.
        size_t done = static_cast<size_t>(w);
        while (done > 0 && first < count) {
            iovec& cur = iov[first];
            if (done >= cur.iov_len) {
                done -= cur.iov_len;
                ++first;
            } else {
                cur.iov_base = static_cast<char*>(cur.iov_base) + done;
                cur.iov_len -= done;
                done = 0;
            }
        }
    }
    return static_cast<ssize_t>(total);
}

ssize_t RTImessageStream::recvHeader(uint32_t& type, uint32_t& length) {
    unsigned char header[kHeaderSize];
    bool failed = false;
    const ssize_t got = recvAll(get_handle(), reinterpret_cast<char*>(header), kHeaderSize, failed);
    if (failed) return -1;
    if (got != static_cast<ssize_t>(kHeaderSize)) return got;
    type = loadULong(header);
    length = loadULong(header + 4);
    return got;
}

ssize_t RTImessageStream::recvMsg(void* buffer, uint32_t length) {
    if (length == 0) return 0;
    bool failed = false;
    const ssize_t got = recvAll(get_handle(), static_cast<char*>(buffer), length, failed);
    if (failed) return got > 0 ? got : -1;
    if (got != static_cast<ssize_t>(length)) errno = ECONNRESET;  // the stream ended early
    return got;
}

int RTImessageStream::setSendTimeout(unsigned milliseconds) {
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    return ::setsockopt(get_handle(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}
