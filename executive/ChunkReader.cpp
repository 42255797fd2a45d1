#include "ChunkReader.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Coding.h"

namespace morva {

namespace {

// Reads are at least this large: a nearly full buffer is left for a fresh
// one rather than read a few bytes at a time.
constexpr size_t kMinRead = BufferPool::kChunkSize / 4;

}  // namespace

bool ChunkReader::prepare(BufferPool& pool, size_t minFree) {
    SharedBuffer* current = buf_.get();
    const size_t pending = end_ - start_;
    if (current != nullptr && pending == 0 && current->unshared()) start_ = end_ = 0;

    // Bytes the buffer must hold from start_: the whole frame once its
    // header is in (a header that is too large is refused by next(), so its
    // size is never allocated), else the pending bytes and a useful read.
    size_t need = pending + minFree;
    if (pending >= kHeaderSize) {
        const uint32_t length = RTIP::loadULong(current->data() + start_ + 4);
        if (length <= kMaxPayload) need = std::max(kHeaderSize + size_t{length}, pending + 1);
    }
    const size_t capacity = std::max(need, BufferPool::kChunkSize);
    if (current != nullptr) {
        const size_t have = current->capacity();
        // A large buffer is kept only while a large frame needs it.
        const bool rightSize = have == BufferPool::kChunkSize || have == capacity;
        if (rightSize && start_ + need <= have && end_ < have) return true;
        if (rightSize && current->unshared() && need <= have) {
            std::memmove(current->data(), current->data() + start_, pending);
            start_ = 0;
            end_ = pending;
            return true;
        }
    }
    SharedBuffer* fresh = pool.acquire(capacity);
    if (fresh == nullptr) {
        errno = ENOMEM;
        return false;
    }
    if (pending > 0) std::memcpy(fresh->data(), current->data() + start_, pending);
    buf_.reset(fresh);
    start_ = 0;
    end_ = pending;
    return true;
}

ssize_t ChunkReader::fill(int fd, BufferPool& pool) {
    frame_ = nullptr;
    if (!prepare(pool, kMinRead)) return -1;
    SharedBuffer* b = buf_.get();
    const ssize_t r = ::recv(fd, b->data() + end_, b->capacity() - end_, MSG_DONTWAIT);
    if (r > 0) end_ += static_cast<size_t>(r);
    return r;
}

ChunkReader::Result ChunkReader::next() {
    frame_ = nullptr;
    const size_t have = end_ - start_;
    if (have < kHeaderSize) return Result::NeedMore;
    const char* head = buf_->data() + start_;
    type_ = RTIP::loadULong(head);
    length_ = RTIP::loadULong(head + 4);
    if (length_ > kMaxPayload) return Result::TooLarge;
    if (have - kHeaderSize < length_) return Result::NeedMore;
    frame_ = head;
    start_ += kHeaderSize + length_;
    return Result::Frame;
}

void ChunkReader::reset() {
    buf_.reset();
    start_ = end_ = 0;
    type_ = length_ = 0;
    frame_ = nullptr;
}

}  // namespace morva
