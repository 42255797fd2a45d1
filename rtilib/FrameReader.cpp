#include "FrameReader.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "Coding.h"

namespace {

constexpr size_t kReadChunk = 64 * 1024;  // free space offered to each recv

// Makes at least `want` bytes free after end, moving unread bytes to the
// front only when the tail is too short (compaction is lazy), and growing the
// buffer geometrically only when that is not enough either.
void ensureSpace(std::vector<char>& buf, size_t& start, size_t& end, size_t want) {
    if (start == end) start = end = 0;
    if (buf.size() - end >= want) return;
    if (start > 0) {
        std::memmove(buf.data(), buf.data() + start, end - start);
        end -= start;
        start = 0;
        if (buf.size() - end >= want) return;
    }
    size_t size = buf.size() < kReadChunk ? kReadChunk : buf.size();
    while (size - end < want) size *= 2;
    buf.resize(size);
}

}  // namespace

void FrameReader::compact() {
    if (start_ == end_) {
        start_ = end_ = 0;
        return;
    }
    if (start_ == 0) return;
    std::memmove(buf_.data(), buf_.data() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
}

ssize_t FrameReader::fill(ACE_HANDLE handle) {
    payload_ = nullptr;
    ensureSpace(buf_, start_, end_, kReadChunk);
    // One read per call: the caller's reactor said the handle is readable.
    const ssize_t r = ::recv(handle, buf_.data() + end_, buf_.size() - end_, MSG_DONTWAIT);
    if (r > 0) end_ += static_cast<size_t>(r);
    return r;
}

void FrameReader::feed(const char* data, size_t n) {
    payload_ = nullptr;
    if (n == 0) return;
    ensureSpace(buf_, start_, end_, n);
    std::memcpy(buf_.data() + end_, data, n);
    end_ += n;
}

FrameReader::Result FrameReader::next() {
    payload_ = nullptr;
    const size_t have = end_ - start_;
    if (have < kHeaderSize) return Result::NeedMore;
    const char* head = buf_.data() + start_;
    type_ = RTIP::loadULong(head);
    length_ = RTIP::loadULong(head + 4);
    if (length_ > kMaxPayload) return Result::TooLarge;
    if (have - kHeaderSize < length_) return Result::NeedMore;
    payload_ = head + kHeaderSize;
    start_ += kHeaderSize + length_;
    return Result::Frame;
}

void FrameReader::reset() {
    start_ = end_ = 0;
    type_ = length_ = 0;
    payload_ = nullptr;
}
