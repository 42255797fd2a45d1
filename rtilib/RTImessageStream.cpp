#include "RTImessageStream.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "Coding.h"

using RTIP::loadULong;
using RTIP::storeULong;

namespace {

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
    const size_t count = length > 0 ? 2 : 1;
    const size_t total = kHeaderSize + size_t{length};

    GateHold guard(sendLock_);
    const size_t sent = sendAllLocked(iov, count, total);
    if (sent == total) return static_cast<ssize_t>(total);
    return sent > 0 ? static_cast<ssize_t>(sent) : -1;
}

size_t RTImessageStream::sendMsgs(const Frame* frames, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (frames[i].data == nullptr && frames[i].length != 0) {
            errno = EINVAL;
            return 0;
        }
    }
    if (count == 0) return 0;

    GateHold guard(sendLock_);
    try {
        // The iovecs point into headers_, so it must not move once they are built.
        headers_.resize(count * kHeaderSize);
        iov_.reserve(2 * count);
        ends_.reserve(count);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return 0;
    }
    iov_.clear();
    ends_.clear();
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        char* header = headers_.data() + i * kHeaderSize;
        storeULong(header, frames[i].type);
        storeULong(header + 4, frames[i].length);
        iov_.push_back({header, kHeaderSize});
        if (frames[i].length > 0)
            iov_.push_back({const_cast<void*>(frames[i].data), frames[i].length});
        total += kHeaderSize + size_t{frames[i].length};
        ends_.push_back(total);
    }
    const size_t sent = sendAllLocked(iov_.data(), iov_.size(), total);
    if (sent == total) return count;
    const int saved = errno;
    size_t whole = 0;
    while (whole < count && ends_[whole] <= sent) ++whole;
    errno = saved;
    return whole;
}

size_t RTImessageStream::sendFramed(iovec* iov, size_t count, size_t total) {
    GateHold guard(sendLock_);
    return sendAllLocked(iov, count, total);
}

size_t RTImessageStream::trySendFramedNow(const char* data, size_t bytes) {
    if (bytes == 0 || !sendLock_.tryAcquire()) return 0;
    ssize_t w;
    do {
        w = ::send(get_handle(), data, bytes, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (w < 0 && errno == EINTR);
    // Nothing written (full, or broken: the queued path reports that) or
    // everything: the stream is free again. A part: it stays reserved.
    if (w <= 0 || static_cast<size_t>(w) == bytes) sendLock_.release();
    return w > 0 ? static_cast<size_t>(w) : 0;
}

size_t RTImessageStream::sendFramedReserved(iovec* iov, size_t count, size_t total) {
    const size_t sent = sendAllLocked(iov, count, total);
    sendLock_.release();
    return sent;
}

void RTImessageStream::SendGate::acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    free_.wait(lock, [this] { return !busy_; });
    busy_ = true;
}

bool RTImessageStream::SendGate::tryAcquire() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (busy_) return false;
    busy_ = true;
    return true;
}

void RTImessageStream::SendGate::release() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        busy_ = false;
    }
    free_.notify_one();
}

size_t RTImessageStream::sendAllLocked(iovec* iov, size_t count, size_t total) {
    // One sendmsg takes at most IOV_MAX entries; a longer batch goes out in
    // several, still under the caller's lock.
    static const size_t window = [] {
        const long iovMax = ::sysconf(_SC_IOV_MAX);
        return iovMax > 0 ? static_cast<size_t>(iovMax) : size_t{16};
    }();
    size_t sent = 0;
    size_t first = 0;  // first iovec with bytes left
    while (sent < total) {
        msghdr msg{};
        msg.msg_iov = iov + first;
        msg.msg_iovlen = std::min(count - first, window);
        const ssize_t w = ::sendmsg(get_handle(), &msg, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            return sent;
        }
        sent += static_cast<size_t>(w);
        // Step past what went out; the kernel may stop anywhere, also inside
        // a header or a payload.
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
    return sent;
}

ssize_t RTImessageStream::recvHeader(uint32_t& type, uint32_t& length) {
    char header[kHeaderSize];
    bool failed = false;
    const ssize_t got = recvAll(get_handle(), header, kHeaderSize, failed);
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
