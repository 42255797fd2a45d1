#include "MorvaAllocatorStrategy.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <thread>
#include <utility>

#include <ace/Guard_T.h>
#include <ace/Message_Block.h>
#include <ace/Synch.h>  // before Message_Queue_T.h, which needs its conditions
#include <ace/Message_Queue_T.h>
#include <ace/Synch_Traits.h>
#include <ace/Time_Value.h>

#include "Log.h"

namespace morva {

namespace {

// A reader's queue that can hand several items over under one acquisition of
// its lock, so a writer catching up on a backlog does not contend with the
// producer once per item.
class BatchQueue : public ACE_Message_Queue<ACE_MT_SYNCH> {
public:
    BatchQueue(size_t highWaterMark, size_t lowWaterMark)
        : ACE_Message_Queue<ACE_MT_SYNCH>(highWaterMark, lowWaterMark) {}

    // Waits without time limit for the first item, then appends to `out`
    // whatever else is queued, within the bounds (see dequeueBatch). `out`
    // must have room for maxItems more: nothing is allocated under the lock.
    // Returns -1 with errno ESHUTDOWN once the queue is deactivated, which
    // also ends the wait.
    int dequeueSome(std::vector<ACE_Message_Block*>& out, size_t maxItems, size_t maxBytes,
                    MorvaAllocatorStrategy::ItemBytes itemBytes) {
        ACE_Guard<ACE_Thread_Mutex> guard(this->lock_);
        if (this->state_ == ACE_Message_Queue_Base::DEACTIVATED) {
            errno = ESHUTDOWN;
            return -1;
        }
        if (this->wait_not_empty_cond(nullptr) == -1) return -1;
        size_t taken = 0;
        size_t bytes = 0;
        while (taken < maxItems && !this->is_empty_i()) {
            if (itemBytes != nullptr) {
                const size_t cost = itemBytes(this->head_->base());
                if (taken > 0 && (bytes >= maxBytes || cost > maxBytes - bytes)) break;
                bytes += cost;
            }
            // Also wakes an enqueue waiting for room, as dequeue_head does.
            ACE_Message_Block* block = nullptr;
            this->dequeue_head_i(block);
            if (block == nullptr) break;
            out.push_back(block);
            ++taken;
        }
        return static_cast<int>(taken);
    }
};

}  // namespace

// One registered queue and the blocks its reader took last. Owned by a
// ReaderHandle; the set keeps it on its live list until it is deleted, so the
// destructor can release the items of readers whose threads were not told.
class MorvaAllocatorStrategy::Reader {
public:
    Reader(MorvaAllocatorStrategy* set, int slot)
        : queue(kHighWaterMark, kLowWaterMark), owner(set), index(slot) {
        taken.reserve(1);  // so a plain dequeue never needs memory
    }

    void releaseTaken() {
        for (ACE_Message_Block* block : taken) block->release();
        taken.clear();
    }

    // Deactivates the queue and releases everything the reader still holds.
    void empty() {
        queue.close();
        releaseTaken();
    }

    BatchQueue queue;
    std::vector<ACE_Message_Block*> taken;  // touched by the holder's thread only
    MorvaAllocatorStrategy* owner;          // null once the set has let go
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
                                               std::chrono::milliseconds fullWaitLimit)
    : freeItem_(std::move(freeItem)), onCutOff_(std::move(onCutOff)), fullWaitLimit_(fullWaitLimit) {}

MorvaAllocatorStrategy::~MorvaAllocatorStrategy() {
    ACE_Guard<ACE_Thread_Mutex> table(tableLock_);
    ACE_Guard<ACE_Thread_Mutex> slots(slotLock_);
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
    if (reader.prev != nullptr) reader.prev->next = reader.next;
    else liveHead_ = reader.next;
    if (reader.next != nullptr) reader.next->prev = reader.prev;
    reader.prev = reader.next = nullptr;
    if (readers_[reader.index] == &reader) readers_[reader.index] = nullptr;
}

// ---- readers ---------------------------------------------------------------

MorvaAllocatorStrategy::ReaderHandle MorvaAllocatorStrategy::addReader(int index) {
    if (index < 0 || index >= kReaderSlots) {
        errno = EINVAL;
        return {};
    }
    Reader* reader = nullptr;
    try {
        reader = new Reader(this, index);
    } catch (const std::bad_alloc&) {
        reader = nullptr;
    }

    ACE_Guard<ACE_Thread_Mutex> slots(slotLock_);
    // The previous queue may still be drained by a writer thread that has not
    // left yet: stop it, but leave deleting it to that thread's handle.
    if (Reader* old = readers_[index]) {
        old->queue.deactivate();
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
    ACE_Guard<ACE_Thread_Mutex> slots(slotLock_);
    if (Reader* reader = readers_[index]) {
        if (reader->queue.deactivate() == -1) ErrLine() << "failed to remove reader " << index;
    }
}

void MorvaAllocatorStrategy::removeAllReaders() {
    for (int index = 0; index < kReaderSlots; ++index) removeReader(index);
}

void* MorvaAllocatorStrategy::dequeue(ReaderHandle& handle) {
    Reader* reader = handle.reader_;
    if (reader == nullptr) return nullptr;
    ACE_Message_Block* block = nullptr;
    if (reader->queue.dequeue_head(block) == -1) return nullptr;  // deactivated
    reader->releaseTaken();
    reader->taken.push_back(block);
    return block->base();
}

size_t MorvaAllocatorStrategy::dequeueBatch(ReaderHandle& handle, std::vector<void*>& items,
                                            size_t maxItems, size_t maxBytes, ItemBytes itemBytes) {
    items.clear();
    Reader* reader = handle.reader_;
    if (reader == nullptr) return 0;
    // The caller is done with the last batch; holding it through a long
    // wait for the next one would only keep memory from being freed.
    reader->releaseTaken();
    maxItems = std::max<size_t>(maxItems, 1);
    try {
        reader->taken.reserve(maxItems);
        items.reserve(maxItems);
    } catch (const std::bad_alloc&) {
        maxItems = std::min(reader->taken.capacity(), items.capacity());
        if (maxItems == 0) {
            errno = ENOMEM;
            return 0;
        }
    }
    if (reader->queue.dequeueSome(reader->taken, maxItems, maxBytes, itemBytes) <= 0) return 0;
    for (ACE_Message_Block* block : reader->taken) items.push_back(block->base());
    return items.size();
}

void MorvaAllocatorStrategy::deleteReader(ReaderHandle& handle) {
    Reader* reader = handle.reader_;
    if (reader == nullptr) {
        writeErr("warning: deleteReader called superflously\n");
        return;
    }
    if (reader->owner != nullptr) {
        // Under tableLock_: a running enqueue may still hold this reader.
        ACE_Guard<ACE_Thread_Mutex> table(tableLock_);
        {
            ACE_Guard<ACE_Thread_Mutex> slots(slotLock_);
            unlinkLocked(*reader);
        }
        reader->empty();
    }
    delete reader;
    handle.reader_ = nullptr;
    handle.index_ = -1;
}

// ---- enqueue ---------------------------------------------------------------

void MorvaAllocatorStrategy::enqueue(void* item) {
    ACE_Message_Block* block = nullptr;
    try {
        block = new ACE_Message_Block(kItemSize, ACE_Message_Block::MB_DATA, nullptr,
                                      static_cast<const char*>(item), this, &blockLock_, 0);
    } catch (const std::bad_alloc&) {
        block = nullptr;
    }
    if (block == nullptr || block->data_block() == nullptr) {
        // The block never took the item over, so the set frees it here.
        if (block != nullptr) block->release();
        freeItem_(item);
        errno = ENOMEM;
        return;
    }
    // From here the item dies with the last release of its data block.
    block->clr_flags(ACE_Message_Block::DONT_DELETE);

    int cutOff[kReaderSlots];
    int cutOffCount = 0;
    {
        ACE_Guard<ACE_Thread_Mutex> table(tableLock_);
        Reader* targets[kReaderSlots];
        {
            ACE_Guard<ACE_Thread_Mutex> slots(slotLock_);
            std::memcpy(targets, readers_, sizeof targets);
        }
        for (int index = 0; index < kReaderSlots; ++index) {
            if (targets[index] == nullptr) continue;
            if (deliver(index, *targets[index], *block) == Delivery::cutOff) {
                cutOff[cutOffCount++] = index;
            }
        }
        block->release();  // with no reader left holding a copy, frees the item
    }
    if (onCutOff_) {
        for (int i = 0; i < cutOffCount; ++i) onCutOff_(cutOff[i]);
    }
}

MorvaAllocatorStrategy::Delivery MorvaAllocatorStrategy::deliver(int index, Reader& reader,
                                                                 ACE_Message_Block& block) {
    ACE_Message_Block* copy = block.duplicate();
    if (copy == nullptr) {
        ErrLine() << "failed to enqueue message for reader " << index;
        return Delivery::failed;
    }
    // Queue timeouts are absolute: a time in the past means "do not wait".
    ACE_Time_Value noWait = ACE_Time_Value::zero;
    if (reader.queue.enqueue_tail(copy, &noWait) != -1) return Delivery::delivered;

    if (errno == EWOULDBLOCK) {
        ErrLine() << "WARNING: enqueue is blocking on reader " << index;
        ACE_Time_Value deadline = reader.queue.gettimeofday() + ACE_Time_Value(fullWaitLimit_);
        if (reader.queue.enqueue_tail(copy, &deadline) != -1) return Delivery::delivered;
        if (errno == EWOULDBLOCK) {
            // A reader this slow would hold every producer up: drop it.
            reader.queue.deactivate();
            copy->release();
            return Delivery::cutOff;
        }
    }
    ErrLine() << "failed to enqueue message for reader " << index;
    copy->release();
    return Delivery::failed;
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

// ---- outgoing records and the writer loop -----------------------------------

std::unique_ptr<OutgoingRecord> makeOutgoingRecord(uint32_t type, const char* payload,
                                                   uint32_t length, int originator) {
    auto record = std::make_unique<OutgoingRecord>();
    record->type = type;
    record->length = length;
    record->originator = originator;
    if (length > 0) {
        record->data.reset(new char[length]);
        std::memcpy(record->data.get(), payload, length);
    }
    return record;
}

void freeOutgoingRecord(void* item) { delete static_cast<OutgoingRecord*>(item); }

void enqueueRecord(MorvaAllocatorStrategy& set, std::unique_ptr<OutgoingRecord> record) {
    set.enqueue(record.release());
}

namespace {

size_t recordWireBytes(const void* item) {
    return 8 + size_t{static_cast<const OutgoingRecord*>(item)->length};
}

}  // namespace

void runWriter(MorvaAllocatorStrategy& set, MorvaAllocatorStrategy::ReaderHandle reader,
               const SendBatch& send) {
    const int self = reader.index();
    // Kept across batches: a busy writer allocates only for its first ones.
    std::vector<void*> items;
    std::vector<const OutgoingRecord*> records;
    while (set.dequeueBatch(reader, items, kWriterBatchRecords, kWriterBatchBytes,
                            recordWireBytes) > 0) {
        records.clear();
        for (void* item : items) {
            const auto* record = static_cast<const OutgoingRecord*>(item);
            if (record->originator != self) records.push_back(record);
        }
        if (!records.empty()) send(records);
        // A short batch means the queue ran dry. Sleeping on it at once would
        // make the producer wake this thread for the next record, and for
        // each one after it while the writer keeps up: under a steady relay
        // stream those wake-ups cost more than the sends. Letting the other
        // runnable threads go first usually finds a batch waiting instead;
        // with nothing else to run it returns at once.
        if (items.size() < kWriterBatchRecords) std::this_thread::yield();
    }
    set.deleteReader(reader);
}

void runWriter(MorvaAllocatorStrategy& set, int index, const SendBatch& send) {
    runWriter(set, set.addReader(index), send);
}

}  // namespace morva
