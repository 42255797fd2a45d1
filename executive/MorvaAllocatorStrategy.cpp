#include "MorvaAllocatorStrategy.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <new>
#include <utility>

#include "Coding.h"
#include "Log.h"
#include "RTImessageStream.h"

namespace morva {

// An enqueue(void*) item in the shape of a buffer, so items and frames share
// one queue and one reference count. Holds no bytes of its own: it charges
// nothing to the byte bound.
class MorvaAllocatorStrategy::ItemBuffer final : public SharedBuffer {
  public:
    ItemBuffer(MorvaAllocatorStrategy* set, void* item)
        : SharedBuffer(static_cast<char*>(item), 0), set_(set) {}

  private:
    ~ItemBuffer() override = default;
    void lastReleased() noexcept override {
        set_->free(data());
        delete this;
    }
    MorvaAllocatorStrategy* set_;
};

// One registered queue: a ring of entries that grows (up to the message
// bound) and never shrinks, so steady traffic allocates nothing. Owned by a
// ReaderHandle; the set keeps it on its live list until it is deleted, so
// the destructor can release the entries of readers whose threads were not
// told.
class MorvaAllocatorStrategy::Reader {
  public:
    // The ring starts with room, so an entry for an empty queue (the rest of
    // a direct write among them) is always accepted.
    Reader(MorvaAllocatorStrategy* set, int slot, DirectWrite write)
        : ring(kInitialRing), direct(std::move(write)), owner(set), index(slot) {}
    static constexpr size_t kInitialRing = 64;

    // mutex held.
    QueueEntry& at(size_t i) { return ring[(head + i) & (ring.size() - 1)]; }
    bool fits(uint32_t moreMessages, size_t moreHeld, size_t byteBound) const {
        return count == 0 ||
               (messages + moreMessages <= kMaxMessages && held + moreHeld <= byteBound);
    }
    // What an entry in `buffer` would add to the bytes held: nothing when it
    // continues the newest entry's buffer (that charge moves to it).
    size_t chargeFor(const SharedBuffer* buffer) {
        return count > 0 && at(count - 1).buffer == buffer ? 0 : buffer->capacity();
    }
    bool push(QueueEntry entry) {
        if (count == ring.size()) {
            try {
                std::vector<QueueEntry> bigger(2 * ring.size());
                for (size_t i = 0; i < count; ++i) bigger[i] = at(i);
                ring.swap(bigger);
                head = 0;
            } catch (const std::bad_alloc&) {
                return false;
            }
        }
        if (count > 0 && at(count - 1).buffer == entry.buffer) {
            entry.held = std::exchange(at(count - 1).held, 0);
        } else {
            entry.held = entry.buffer->capacity();
            held += entry.held;
        }
        at(count++) = entry;
        messages += entry.messages;
        return true;
    }
    QueueEntry pop() {
        QueueEntry entry = at(0);
        head = (head + 1) & (ring.size() - 1);
        --count;
        messages -= entry.messages;
        held -= entry.held;
        return entry;
    }
    void deactivate() {
        {
            std::lock_guard<std::mutex> guard(mutex);
            active = false;
        }
        canTake.notify_all();
        hasRoom.notify_all();
    }
    // Holder's thread (or the set, once no holder can run).
    void releaseTaken() {
        for (const QueueEntry& entry : taken) entry.buffer->release();
        taken.clear();
    }
    // Deactivates the queue and releases everything the reader still holds.
    void empty() {
        deactivate();
        std::vector<SharedBuffer*> queued;
        {
            std::lock_guard<std::mutex> guard(mutex);
            while (count > 0) queued.push_back(pop().buffer);
        }
        for (SharedBuffer* buffer : queued) buffer->release();
        releaseTaken();
    }

    std::mutex mutex;
    std::condition_variable canTake;  // the holder waits for entries
    std::condition_variable hasRoom;  // an enqueue waits for room
    // Guarded by mutex.
    std::vector<QueueEntry> ring;  // size a power of two
    size_t head = 0;
    size_t count = 0;
    uint32_t messages = 0;
    size_t held = 0;
    bool active = true;
    bool finishing = false;  // sends what it holds, accepts nothing more
    bool takerWaiting = false;
    bool producerWaiting = false;
    uint32_t wantMessages = 0;  // what the waiting enqueue needs room for
    size_t wantHeld = 0;
    Depth largest;                   // the deepest the queue has been
    uint64_t deliveredMessages = 0;  // queued or written directly
    uint64_t deliveredBytes = 0;
    uint64_t takes = 0;    // batches taken: progress seen by a waiting enqueue
    bool episode = false;  // held an enqueue up and has not drained to half since
    std::chrono::steady_clock::time_point lastBlocked{};  // start of its last such wait

    const DirectWrite direct;
    std::vector<QueueEntry> taken;  // the holder's thread only
    MorvaAllocatorStrategy* owner;  // null once the set has let go
    const int index;
    Reader* prev = nullptr;  // live list, guarded by owner->slotLock_
    Reader* next = nullptr;
};

// ---- ReaderHandle ----------------------------------------------------------

MorvaAllocatorStrategy::ReaderHandle::ReaderHandle(ReaderHandle&& other) noexcept
    : reader_(std::exchange(other.reader_, nullptr)), index_(std::exchange(other.index_, -1)) {}

MorvaAllocatorStrategy::ReaderHandle& MorvaAllocatorStrategy::ReaderHandle::operator=(
    ReaderHandle&& other) noexcept {
    if (this != &other) {
        reset();
        reader_ = std::exchange(other.reader_, nullptr);
        index_ = std::exchange(other.index_, -1);
    }
    return *this;
}

MorvaAllocatorStrategy::ReaderHandle::~ReaderHandle() { reset(); }

void MorvaAllocatorStrategy::ReaderHandle::reset() noexcept {
    if (reader_ == nullptr) return;
    if (reader_->owner != nullptr) {
        reader_->owner->deleteReader(*this);
    } else {
        delete reader_;
        reader_ = nullptr;
        index_ = -1;
    }
}

// ---- construction and destruction ------------------------------------------

MorvaAllocatorStrategy::MorvaAllocatorStrategy(FreeItem freeItem, CutOffCallback onCutOff,
                                               std::chrono::milliseconds fullWaitLimit,
                                               size_t byteBound)
    : freeItem_(std::move(freeItem)),
      onCutOff_(std::move(onCutOff)),
      fullWaitLimit_(fullWaitLimit),
      byteBound_(byteBound) {}

MorvaAllocatorStrategy::~MorvaAllocatorStrategy() {
    std::lock_guard<std::mutex> table(tableLock_);
    std::lock_guard<std::mutex> slots(slotLock_);
    while (liveHead_ != nullptr) {
        Reader* reader = liveHead_;
        unlinkLocked(*reader);
        reader->empty();
        reader->owner = nullptr;  // its handle now frees only the empty queue
    }
    for (Reader*& slot : readers_) slot = nullptr;
}

void MorvaAllocatorStrategy::linkLocked(Reader& reader) {
    reader.prev = nullptr;
    reader.next = liveHead_;
    if (liveHead_ != nullptr) liveHead_->prev = &reader;
    liveHead_ = &reader;
}

void MorvaAllocatorStrategy::unlinkLocked(Reader& reader) {
    if (reader.prev != nullptr)
        reader.prev->next = reader.next;
    else
        liveHead_ = reader.next;
    if (reader.next != nullptr) reader.next->prev = reader.prev;
    reader.prev = reader.next = nullptr;
    if (readers_[reader.index] == &reader) readers_[reader.index] = nullptr;
}

// ---- readers ---------------------------------------------------------------

MorvaAllocatorStrategy::ReaderHandle MorvaAllocatorStrategy::addReader(int index,
                                                                       DirectWrite direct) {
    if (index < 0 || index >= kReaderSlots) {
        errno = EINVAL;
        return {};
    }
    Reader* reader = nullptr;
    try {
        reader = new Reader(this, index, std::move(direct));
    } catch (const std::bad_alloc&) {
        reader = nullptr;
    }

    std::lock_guard<std::mutex> slots(slotLock_);
    // The previous queue may still be drained by a writer thread that has not
    // left yet: stop it, but leave deleting it to that thread's handle.
    if (Reader* old = readers_[index]) {
        old->deactivate();
        readers_[index] = nullptr;
    }
    if (reader == nullptr) {
        errno = ENOMEM;
        return {};
    }
    linkLocked(*reader);
    readers_[index] = reader;
    ReaderHandle handle;
    handle.reader_ = reader;
    handle.index_ = index;
    return handle;
}

void MorvaAllocatorStrategy::removeReader(int index) {
    if (index < 0 || index >= kReaderSlots) return;
    std::lock_guard<std::mutex> slots(slotLock_);
    if (Reader* reader = readers_[index]) reader->deactivate();
}

void MorvaAllocatorStrategy::removeAllReaders() {
    for (int index = 0; index < kReaderSlots; ++index) removeReader(index);
}

const std::vector<QueueEntry>& MorvaAllocatorStrategy::takeBatch(ReaderHandle& handle,
                                                                 size_t maxBytes,
                                                                 size_t maxEntries) {
    static const std::vector<QueueEntry> none;
    Reader* reader = handle.reader_;
    if (reader == nullptr) return none;
    // The caller is done with the last batch; holding it through a long wait
    // for the next one would only keep memory from being freed.
    reader->releaseTaken();
    // A queue never holds more entries than messages.
    maxEntries = std::min<size_t>(std::max<size_t>(maxEntries, 1), kMaxMessages);
    try {
        reader->taken.reserve(maxEntries);  // nothing is allocated under the lock
    } catch (const std::bad_alloc&) {
        maxEntries = std::max<size_t>(reader->taken.capacity(), 1);
        if (reader->taken.capacity() == 0) return reader->taken;
    }

    bool wakeProducer = false;
    {
        std::unique_lock<std::mutex> lock(reader->mutex);
        while (reader->active && reader->count == 0 && !reader->finishing) {
            reader->takerWaiting = true;
            reader->canTake.wait(lock);
        }
        reader->takerWaiting = false;
        if (!reader->active) {
            // A message cut short must still be finished, or the connection
            // would stay reserved (and its stream out of step) for good.
            if (reader->count > 0 && reader->at(0).continuation) {
                reader->taken.push_back(reader->pop());
            }
            return reader->taken;
        }
        if (reader->count == 0) return reader->taken;  // finished: nothing more comes
        size_t bytes = 0;
        while (reader->count > 0 && reader->taken.size() < maxEntries) {
            const QueueEntry& next = reader->at(0);
            if (!reader->taken.empty() && next.bytes > maxBytes - std::min(bytes, maxBytes)) break;
            bytes += next.bytes;
            reader->taken.push_back(reader->pop());
        }
        ++reader->takes;
        if (reader->episode && reader->messages <= kMaxMessages / 2 &&
            reader->held <= byteBound_ / 2) {
            reader->episode = false;
        }
        wakeProducer = reader->producerWaiting &&
                       reader->fits(reader->wantMessages, reader->wantHeld, byteBound_);
    }
    if (wakeProducer) reader->hasRoom.notify_one();
    return reader->taken;
}

void* MorvaAllocatorStrategy::dequeue(ReaderHandle& handle) {
    const std::vector<QueueEntry>& batch = takeBatch(handle, SIZE_MAX, 1);
    return batch.empty() ? nullptr : const_cast<char*>(batch.front().data);
}

void MorvaAllocatorStrategy::deleteReader(ReaderHandle& handle) {
    Reader* reader = handle.reader_;
    if (reader == nullptr) {
        // Kept as it is, misspelling included: operators' scripts match this text.
        writeErr("warning: deleteReader called superflously\n");
        return;
    }
    if (reader->owner != nullptr) {
        // Under tableLock_: a running enqueue may still hold this reader.
        std::lock_guard<std::mutex> table(tableLock_);
        {
            std::lock_guard<std::mutex> slots(slotLock_);
            unlinkLocked(*reader);
        }
        reader->empty();
    }
    delete reader;
    handle.reader_ = nullptr;
    handle.index_ = -1;
}

MorvaAllocatorStrategy::Depth MorvaAllocatorStrategy::depth(int index) {
    return readerStats(index).depth;
}

MorvaAllocatorStrategy::ReaderStats MorvaAllocatorStrategy::readerStats(int index) {
    ReaderStats stats;
    if (index < 0 || index >= kReaderSlots) return stats;
    std::lock_guard<std::mutex> slots(slotLock_);
    if (Reader* reader = readers_[index]) {
        std::lock_guard<std::mutex> guard(reader->mutex);
        stats.depth.messages = reader->messages;
        stats.depth.bytes = reader->held;
        stats.largest = reader->largest;
        stats.deliveredMessages = reader->deliveredMessages;
        stats.deliveredBytes = reader->deliveredBytes;
    }
    return stats;
}

MorvaAllocatorStrategy::Totals MorvaAllocatorStrategy::totals() const {
    Totals t;
    t.deliveredMessages = deliveredMessages_.load(std::memory_order_relaxed);
    t.deliveredBytes = deliveredBytes_.load(std::memory_order_relaxed);
    t.blockingEpisodes = blockingEpisodes_.load(std::memory_order_relaxed);
    t.cutOffs = cutOffs_.load(std::memory_order_relaxed);
    t.largest.messages = largestMessages_.load(std::memory_order_relaxed);
    t.largest.bytes = largestBytes_.load(std::memory_order_relaxed);
    return t;
}

// ---- enqueue ---------------------------------------------------------------

void MorvaAllocatorStrategy::enqueue(void* item) {
    auto* wrapper = new (std::nothrow) ItemBuffer(this, item);
    if (wrapper == nullptr) {
        freeItem_(item);
        errno = ENOMEM;
        return;
    }
    QueueEntry entry;
    entry.buffer = wrapper;
    entry.data = static_cast<const char*>(item);
    entry.messages = 1;
    deliverToAll(*wrapper, entry, -1);
    wrapper->release();  // with no reader holding it, frees the item here
}

void MorvaAllocatorStrategy::enqueueFrames(SharedBuffer& buffer, const char* data, size_t bytes,
                                           uint32_t messages, int originator) {
    QueueEntry entry;
    entry.buffer = &buffer;
    entry.data = data;
    entry.bytes = static_cast<uint32_t>(bytes);
    entry.messages = std::min(std::max<uint32_t>(messages, 1), kMaxMessages);
    deliverToAll(buffer, entry, originator);
}

MorvaAllocatorStrategy::Offer MorvaAllocatorStrategy::enqueueTo(int index, SharedBuffer& buffer,
                                                                const char* data, size_t bytes,
                                                                uint32_t messages) {
    if (index < 0 || index >= kReaderSlots) return Offer::none;
    QueueEntry entry;
    entry.buffer = &buffer;
    entry.data = data;
    entry.bytes = static_cast<uint32_t>(bytes);
    entry.messages = std::min(std::max<uint32_t>(messages, 1), kMaxMessages);
    std::lock_guard<std::mutex> table(tableLock_);
    Reader* reader = nullptr;
    {
        std::lock_guard<std::mutex> slots(slotLock_);
        reader = readers_[index];
    }
    if (reader == nullptr) return Offer::none;
    buffer.retain();
    const Delivery d = deliver(index, *reader, entry, false);
    if (d == Delivery::delivered || d == Delivery::written) return Offer::accepted;
    return d == Delivery::full ? Offer::full : Offer::none;
}

bool MorvaAllocatorStrategy::finishReader(int index) {
    if (index < 0 || index >= kReaderSlots) return false;
    std::lock_guard<std::mutex> slots(slotLock_);
    Reader* reader = readers_[index];
    if (reader == nullptr) return false;
    bool pending = false;
    {
        std::lock_guard<std::mutex> guard(reader->mutex);
        if (!reader->active) return false;
        // A holder that is not waiting is still sending what it took.
        pending = reader->count > 0 || !reader->takerWaiting;
        reader->finishing = true;
    }
    reader->canTake.notify_all();
    reader->hasRoom.notify_all();
    return pending;
}

int MorvaAllocatorStrategy::targets(Reader* out[], int skip) {
    std::lock_guard<std::mutex> slots(slotLock_);
    int n = 0;
    for (int index = 0; index < kReaderSlots; ++index) {
        if (readers_[index] != nullptr && index != skip) out[n++] = readers_[index];
    }
    return n;
}

void MorvaAllocatorStrategy::deliverToAll(SharedBuffer& buffer, const QueueEntry& entry, int skip) {
    int cutOff[kReaderSlots];
    int cutOffCount = 0;
    {
        std::lock_guard<std::mutex> table(tableLock_);
        Reader* readers[kReaderSlots];
        const int n = targets(readers, skip > 0 ? skip : -1);
        // One reference per reader, taken at once before any can let go.
        if (n > 0) buffer.retain(static_cast<uint32_t>(n));
        uint64_t reached = 0;
        for (int i = 0; i < n; ++i) {
            const Delivery d = deliver(readers[i]->index, *readers[i], entry);
            if (d == Delivery::cutOff) cutOff[cutOffCount++] = readers[i]->index;
            if (d == Delivery::delivered || d == Delivery::written) ++reached;
        }
        if (reached > 0) {
            deliveredMessages_.fetch_add(reached * entry.messages, std::memory_order_relaxed);
            deliveredBytes_.fetch_add(reached * entry.bytes, std::memory_order_relaxed);
        }
    }
    if (onCutOff_) {
        for (int i = 0; i < cutOffCount; ++i) onCutOff_(cutOff[i]);
    }
}

namespace {
template <class T>
void raiseTo(std::atomic<T>& largest, T value) {
    T seen = largest.load(std::memory_order_relaxed);
    while (value > seen && !largest.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}
}  // namespace

void MorvaAllocatorStrategy::noteDepth(Reader& reader) {
    if (reader.messages > reader.largest.messages) {
        reader.largest.messages = reader.messages;
        raiseTo(largestMessages_, reader.messages);
    }
    if (reader.held > reader.largest.bytes) {
        reader.largest.bytes = reader.held;
        raiseTo(largestBytes_, reader.held);
    }
}

MorvaAllocatorStrategy::Delivery MorvaAllocatorStrategy::deliver(int index, Reader& reader,
                                                                 const QueueEntry& entry,
                                                                 bool mayWait) {
    Delivery result = Delivery::failed;
    bool wakeTaker = false;
    {
        std::unique_lock<std::mutex> lock(reader.mutex);
        if (reader.finishing) {
            // Its connection is closing: what it holds goes out, nothing more.
            lock.unlock();
            entry.buffer->release();
            return Delivery::closed;
        }
        if (reader.active && !mayWait &&
            !reader.fits(entry.messages, reader.chargeFor(entry.buffer), byteBound_)) {
            lock.unlock();
            entry.buffer->release();
            return Delivery::full;
        }
        if (reader.active &&
            !reader.fits(entry.messages, reader.chargeFor(entry.buffer), byteBound_)) {
            const auto now = std::chrono::steady_clock::now();
            // A reader that held an enqueue up moments ago is still in the
            // same episode, even if one large batch emptied it since.
            if (!reader.episode && now - reader.lastBlocked >= fullWaitLimit_ / 10) {
                ErrLine() << "WARNING: enqueue is blocking on reader " << index;
                blockingEpisodes_.fetch_add(1, std::memory_order_relaxed);
            }
            reader.episode = true;
            reader.lastBlocked = now;
            auto deadline = now + fullWaitLimit_;
            uint64_t seen = reader.takes;
            reader.producerWaiting = true;
            while (reader.active && !reader.finishing) {
                const size_t charge = reader.chargeFor(entry.buffer);
                if (reader.fits(entry.messages, charge, byteBound_)) break;
                reader.wantMessages = entry.messages;
                reader.wantHeld = charge;
                if (reader.hasRoom.wait_until(lock, deadline) != std::cv_status::timeout) continue;
                if (!reader.active || reader.finishing) break;  // removed meanwhile: not a cut-off
                if (reader.fits(entry.messages, reader.chargeFor(entry.buffer), byteBound_)) break;
                if (reader.takes == seen) {
                    // Nothing taken for a whole period: a reader this slow
                    // would hold every producer up. Drop it.
                    reader.active = false;
                    result = Delivery::cutOff;
                    break;
                }
                seen = reader.takes;  // still draining: give it another period
                deadline = std::chrono::steady_clock::now() + fullWaitLimit_;
            }
            reader.producerWaiting = false;
            if (reader.finishing && result == Delivery::failed) result = Delivery::closed;
        }
        if (reader.active && !reader.finishing) {
            QueueEntry queued = entry;
            bool whole = false;
            if (reader.direct && reader.count == 0 && reader.takerWaiting && entry.bytes > 0) {
                const size_t wrote = reader.direct(entry.data, entry.bytes);
                whole = wrote == entry.bytes;
                if (wrote > 0 && !whole) {
                    queued.data += wrote;
                    queued.bytes -= static_cast<uint32_t>(wrote);
                    queued.continuation = true;
                }
            }
            if (whole) {
                result = Delivery::written;
            } else if (reader.push(queued)) {  // never fails on an empty queue
                result = Delivery::delivered;
                wakeTaker = reader.takerWaiting;
                noteDepth(reader);
            }
            if (result != Delivery::failed && mayWait) {  // answers are not relays
                reader.deliveredMessages += entry.messages;
                reader.deliveredBytes += entry.bytes;
            }
        }
    }
    if (result == Delivery::written) {
        entry.buffer->release();
        return result;
    }
    if (result == Delivery::delivered) {
        if (wakeTaker) reader.canTake.notify_one();
        return result;
    }
    entry.buffer->release();
    if (result == Delivery::cutOff) {
        cutOffs_.fetch_add(1, std::memory_order_relaxed);
        reader.canTake.notify_all();  // its writer leaves its loop
    } else if (result != Delivery::closed) {
        ErrLine() << "failed to enqueue message for reader " << index;
    }
    return result;
}

// ---- ACE_Allocator ---------------------------------------------------------

void* MorvaAllocatorStrategy::malloc(size_type) {
    errno = ENOTSUP;
    return nullptr;
}
void* MorvaAllocatorStrategy::calloc(size_type, char) {
    errno = ENOTSUP;
    return nullptr;
}
void* MorvaAllocatorStrategy::calloc(size_type, size_type, char) {
    errno = ENOTSUP;
    return nullptr;
}
void MorvaAllocatorStrategy::free(void* ptr) { freeItem_(ptr); }
int MorvaAllocatorStrategy::remove() { return 0; }

namespace {
int unsupported() {
    errno = ENOTSUP;
    return -1;
}
}  // namespace

int MorvaAllocatorStrategy::bind(const char*, void*, int) { return unsupported(); }
int MorvaAllocatorStrategy::trybind(const char*, void*&) { return unsupported(); }
int MorvaAllocatorStrategy::find(const char*, void*&) { return unsupported(); }
int MorvaAllocatorStrategy::find(const char*) { return unsupported(); }
int MorvaAllocatorStrategy::unbind(const char*) { return unsupported(); }
int MorvaAllocatorStrategy::unbind(const char*, void*&) { return unsupported(); }
int MorvaAllocatorStrategy::sync(ssize_t, int) { return unsupported(); }
int MorvaAllocatorStrategy::sync(void*, size_type, int) { return unsupported(); }
int MorvaAllocatorStrategy::protect(ssize_t, int) { return unsupported(); }
int MorvaAllocatorStrategy::protect(void*, size_type, int) { return unsupported(); }
void MorvaAllocatorStrategy::dump() const { writeErr("<MorvaAllocatorStrategy>\n"); }

// ---- frames and the writer loop ----------------------------------------------

SharedBuffer* makeFrame(BufferPool& pool, uint32_t type, const void* payload, uint32_t length,
                        uint32_t extra) {
    const size_t total = kHeaderSize + size_t{length} + extra;
    SharedBuffer* buffer = pool.acquire(total);
    if (buffer == nullptr) return nullptr;
    char* out = buffer->data();
    RTItransportationManager::encode(out, type);
    RTItransportationManager::encode(out + 4, static_cast<uint32_t>(length + extra));
    if (length > 0) std::memcpy(out + kHeaderSize, payload, length);
    return buffer;
}

SharedBuffer* makeExactFrame(uint32_t type, const void* payload, uint32_t length) {
    SharedBuffer* buffer = makeExactBuffer(kHeaderSize + size_t{length});
    if (buffer == nullptr) return nullptr;
    char* out = buffer->data();
    RTItransportationManager::encode(out, type);
    RTItransportationManager::encode(out + 4, length);
    if (length > 0) std::memcpy(out + kHeaderSize, payload, length);
    return buffer;
}

void runWriter(MorvaAllocatorStrategy& set, MorvaAllocatorStrategy::ReaderHandle reader,
               const SendBatch& send) {
    for (;;) {
        const std::vector<QueueEntry>& batch =
            set.takeBatch(reader, kWriterBatchBytes, kWriterBatchEntries);
        if (batch.empty()) break;
        send(batch);
    }
    set.deleteReader(reader);
}

}  // namespace morva
