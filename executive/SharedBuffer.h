// Reference-counted byte buffers shared between the reactor thread, which
// reads federate messages into them, and the writer threads, which send
// relayed messages straight out of them. A relayed message is received once
// and never copied: every reader's queue holds a reference to the buffer it
// arrived in.
//
// Ownership
//   acquire() returns a buffer holding one reference, owned by the caller.
//   retain(n) adds n references (one per new holder); every holder calls
//   release() exactly once. The last release hands the buffer back to its
//   pool (standard-size buffers, while the pool keeps fewer than its idle
//   limit) or frees it.
//
// Threads
//   retain/release: any thread, lock-free (atomic count).
//   BufferPool::acquire: any thread; a short lock on the idle list.
//   A buffer's bytes are written only by the holder of its first reference
//   and only before it is shared; readers see them through the queue lock
//   that publishes the reference.
//
// Lifetime rule: a pool must outlive every buffer it handed out. Destroy the
// queues (and join the threads) that hold buffers before the pool.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace morva {

class BufferPool;

class SharedBuffer {
  public:
    SharedBuffer(const SharedBuffer&) = delete;
    SharedBuffer& operator=(const SharedBuffer&) = delete;

    char* data() { return data_; }
    const char* data() const { return data_; }
    size_t capacity() const { return capacity_; }

    void retain(uint32_t n = 1) noexcept { refs_.fetch_add(n, std::memory_order_relaxed); }
    void release() noexcept {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) lastReleased();
    }
    // True when the caller holds the only reference: nobody else can be
    // reading the bytes, so they may be reused.
    bool unshared() const { return refs_.load(std::memory_order_acquire) == 1; }

  protected:
    SharedBuffer(char* data, size_t capacity) : data_(data), capacity_(capacity) {}
    virtual ~SharedBuffer() = default;
    // Called once, by the thread that dropped the last reference.
    virtual void lastReleased() noexcept = 0;
    void resetCount() { refs_.store(1, std::memory_order_relaxed); }

  private:
    char* data_;
    size_t capacity_;
    std::atomic<uint32_t> refs_{1};
};

// A buffer of exactly `capacity` bytes from the heap, never pooled: for a
// small message that may wait long in one queue (an answer to a peer that
// is slow to read), so that it holds no more memory than its bytes. Holds
// one reference, owned by the caller. Null when memory is short.
SharedBuffer* makeExactBuffer(size_t capacity);

// Hands out buffers and keeps a few standard-size ones for reuse, so a
// steady stream of messages allocates nothing.
class BufferPool {
  public:
    static constexpr size_t kChunkSize = 64 * 1024;  // standard buffer
    static constexpr size_t kDefaultIdleLimit = 32;  // standard buffers kept idle

    explicit BufferPool(size_t idleLimit = kDefaultIdleLimit);
    ~BufferPool();
    BufferPool(const BufferPool&) = delete;
    BufferPool& operator=(const BufferPool&) = delete;

    // A buffer of at least `capacity` bytes (exactly kChunkSize when
    // capacity is at most that), holding one reference. Null when memory is
    // short.
    SharedBuffer* acquire(size_t capacity = kChunkSize);

    // Bytes of every buffer handed out and not yet released, and of the idle
    // ones (for figures and tests).
    size_t bytesOutstanding() const { return outstanding_.load(std::memory_order_relaxed); }
    size_t idleCount() const;

  private:
    class Pooled;
    void giveBack(Pooled* buffer) noexcept;

    const size_t idleLimit_;
    mutable std::mutex mutex_;
    std::vector<Pooled*> idle_;  // guarded by mutex_
    std::atomic<size_t> outstanding_{0};
};

// Holds one reference and releases it on destruction.
class BufferRef {
  public:
    BufferRef() = default;
    explicit BufferRef(SharedBuffer* adopted) : buf_(adopted) {}
    BufferRef(BufferRef&& other) noexcept : buf_(other.buf_) { other.buf_ = nullptr; }
    BufferRef& operator=(BufferRef&& other) noexcept {
        if (this != &other) {
            reset();
            buf_ = other.buf_;
            other.buf_ = nullptr;
        }
        return *this;
    }
    BufferRef(const BufferRef&) = delete;
    BufferRef& operator=(const BufferRef&) = delete;
    ~BufferRef() { reset(); }

    SharedBuffer* get() const { return buf_; }
    SharedBuffer* operator->() const { return buf_; }
    SharedBuffer& operator*() const { return *buf_; }
    explicit operator bool() const { return buf_ != nullptr; }
    void reset(SharedBuffer* adopted = nullptr) {
        if (buf_ != nullptr) buf_->release();
        buf_ = adopted;
    }

  private:
    SharedBuffer* buf_ = nullptr;
};

}  // namespace morva
