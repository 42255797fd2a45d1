#include "SharedBuffer.h"

#include <new>

namespace morva {

class BufferPool::Pooled final : public SharedBuffer {
  public:
    Pooled(BufferPool* pool, std::unique_ptr<char[]> bytes, size_t capacity)
        : SharedBuffer(bytes.get(), capacity), pool_(pool), bytes_(std::move(bytes)) {}
    ~Pooled() override = default;

    void revive() { resetCount(); }

  private:
    void lastReleased() noexcept override { pool_->giveBack(this); }

    BufferPool* pool_;
    std::unique_ptr<char[]> bytes_;
};

namespace {

class ExactBuffer final : public SharedBuffer {
  public:
    ExactBuffer(std::unique_ptr<char[]> bytes, size_t capacity)
        : SharedBuffer(bytes.get(), capacity), bytes_(std::move(bytes)) {}

  private:
    ~ExactBuffer() override = default;
    void lastReleased() noexcept override { delete this; }
    std::unique_ptr<char[]> bytes_;
};

}  // namespace

SharedBuffer* makeExactBuffer(size_t capacity) {
    std::unique_ptr<char[]> bytes(new (std::nothrow) char[capacity > 0 ? capacity : 1]);
    if (!bytes) return nullptr;
    return new (std::nothrow) ExactBuffer(std::move(bytes), capacity);
}

BufferPool::BufferPool(size_t idleLimit) : idleLimit_(idleLimit) { idle_.reserve(idleLimit); }

BufferPool::~BufferPool() {
    for (Pooled* buffer : idle_) delete buffer;
}

size_t BufferPool::idleCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return idle_.size();
}

SharedBuffer* BufferPool::acquire(size_t capacity) {
    if (capacity <= kChunkSize) {
        capacity = kChunkSize;
        std::lock_guard<std::mutex> guard(mutex_);
        if (!idle_.empty()) {
            Pooled* buffer = idle_.back();
            idle_.pop_back();
            buffer->revive();
            return buffer;
        }
    }
    // Uninitialised on purpose: a large buffer becomes resident only as the
    // bytes of its message arrive.
    std::unique_ptr<char[]> bytes(new (std::nothrow) char[capacity]);
    if (!bytes) return nullptr;
    auto* buffer = new (std::nothrow) Pooled(this, std::move(bytes), capacity);
    if (buffer != nullptr) outstanding_.fetch_add(capacity, std::memory_order_relaxed);
    return buffer;
}

void BufferPool::giveBack(Pooled* buffer) noexcept {
    if (buffer->capacity() == kChunkSize) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (idle_.size() < idleLimit_) {
            idle_.push_back(buffer);  // capacity reserved: never throws
            return;
        }
    }
    outstanding_.fetch_sub(buffer->capacity(), std::memory_order_relaxed);
    delete buffer;
}

}  // namespace morva
