// A bounded broadcast queue set: every item handed to enqueue() reaches every
// registered reader, stored once and shared.
//
// Each reader owns an ACE_Message_Queue<ACE_MT_SYNCH> with a high water mark
// of 16384 bytes. Its low water mark equals the high one: ACE wakes a waiting
// enqueue only when a dequeue leaves the queue at or under the low mark, and
// with a low mark of 0 a producer blocked on a slow reader would wait until
// that reader had emptied its whole backlog, not just made room for one.
//
// An item travels in one ACE_Message_Block of nominal size 4 whose data
// pointer is the item; each reader's queue gets its own duplicate(), so all
// readers share one data block whose reference count is changed under
// blockLock_. When the last holder releases it, ACE hands the item back to
// this class as an ACE_Allocator (free()), which calls freeItem. The queues
// count block capacity, so 4096 items fit a reader and the 4097th finds it
// full.
//
// The executive owns two sets: console lines (one reader, the console command
// thread) and outgoing federate records (one reader per connection slot,
// served by that slot's writer thread; see runWriter below).
//
// Readers and slot reuse
//   addReader(index) returns a ReaderHandle naming the one queue it created.
//   dequeue(), dequeueBatch() and deleteReader() take that handle, never an
//   index, so a
//   writer thread that is still leaving slot N can only ever drain and delete
//   its own queue, even after a new connection has registered a fresh queue on
//   slot N. addReader on an index that already has a queue detaches the old
//   queue from the index and deactivates it; the old queue stays alive, owned
//   by its handle, until its holder deletes it.
//
//   Register the reader on the thread that accepts the connection, before
//   starting the writer thread, and move the handle into the thread: then a
//   removeReader(index) from closeConn always finds the queue, however late
//   the writer thread starts.
//
// Full readers
//   enqueue never waits more than fullWaitLimit (10 s by default) on one
//   reader. The first time it finds a reader full it prints
//   "WARNING: enqueue is blocking on reader N" once, then waits on the
//   queue's not-full condition until the deadline. A reader still full then is
//   cut off: its queue is deactivated (as removeReader does), it gets no more
//   items, and the cut-off callback is called with its index once enqueue has
//   released every lock of the set. The other readers still get the item.
//
// Threads
//   enqueue           any thread; enqueues are serialised by tableLock_.
//   addReader         any thread (typically the acceptor); short slot lock only.
//   removeReader      any thread (typically closeConn); short slot lock only,
//                     never waits for a blocked enqueue, and wakes it.
//   removeAllReaders  any thread; removeReader on every index.
//   dequeue, dequeueBatch  only the thread that holds the handle.
//   deleteReader      only the thread that holds the handle; waits for a
//                     running enqueue to finish (fullWaitLimit at most per
//                     full reader).
//   cut-off callback  runs on the enqueuing thread with no lock of the set
//                     held; it may call any member, enqueue included. When
//                     that thread is not the one that may close connections,
//                     the callback should hand the index over, not close.
//
// Shutdown rule: join every reader thread before destroying the set.
// Typically: removeAllReaders() (every dequeue returns null, every writer
// leaves its loop and deletes its reader), join the threads, destroy the set.
// No thread may be inside enqueue or dequeue during destruction. The
// destructor releases every item still queued and every item a reader has
// taken; destroying a ReaderHandle after its set then only frees the handle's
// own (already emptied) queue.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <ace/Lock_Adapter_T.h>
#include <ace/Malloc_Base.h>
#include <ace/Thread_Mutex.h>

class ACE_Message_Block;

namespace morva {

class MorvaAllocatorStrategy : public ACE_Allocator {
public:
    static constexpr int kReaderSlots = 40;                // indices 0 to 39
    static constexpr size_t kHighWaterMark = 16384;        // bytes per queue
    static constexpr size_t kLowWaterMark = kHighWaterMark;  // see above
    static constexpr size_t kItemSize = 4;                 // nominal block size
    static constexpr std::chrono::milliseconds kDefaultFullWaitLimit{10000};

    // Deletes one item; called exactly once per enqueued item, by whichever
    // thread releases its last reference (possibly inside enqueue).
    using FreeItem = std::function<void(void* item)>;
    // Told the index of a reader that enqueue cut off for staying full.
    using CutOffCallback = std::function<void(int index)>;

    class Reader;  // one registered queue; defined in the .cpp

    // Names one reader's queue. Move-only; destroying a handle that still
    // holds a reader deletes it (as deleteReader does, without the warning).
    class ReaderHandle {
    public:
        ReaderHandle() noexcept = default;
        ReaderHandle(ReaderHandle&& other) noexcept;
        ReaderHandle& operator=(ReaderHandle&& other) noexcept;
        ReaderHandle(const ReaderHandle&) = delete;
        ReaderHandle& operator=(const ReaderHandle&) = delete;
        ~ReaderHandle();

        bool valid() const { return reader_ != nullptr; }
        int index() const { return index_; }  // -1 when empty

    private:
        friend class MorvaAllocatorStrategy;
        void reset() noexcept;

        Reader* reader_ = nullptr;  // owned
        int index_ = -1;
    };

    explicit MorvaAllocatorStrategy(FreeItem freeItem, CutOffCallback onCutOff = {},
                                    std::chrono::milliseconds fullWaitLimit = kDefaultFullWaitLimit);
    ~MorvaAllocatorStrategy() override;
    MorvaAllocatorStrategy(const MorvaAllocatorStrategy&) = delete;
    MorvaAllocatorStrategy& operator=(const MorvaAllocatorStrategy&) = delete;

    // Gives `index` a new empty queue and returns its handle. An older queue on
    // the index is detached and deactivated, not deleted (its handle owns it).
    // On failure returns an empty handle with errno ENOMEM (no memory) or
    // EINVAL (index outside 0..39); the index is then left without a queue.
    ReaderHandle addReader(int index);

    // Hands `item` to every registered reader, in index order; the set owns
    // it from here on. With no reader, or if its block cannot be built
    // (errno ENOMEM), the item is freed before enqueue returns.
    void enqueue(void* item);

    // Takes the next item of `reader`'s queue, waiting without time limit.
    // Returns null at once for an empty handle or a deactivated queue. The
    // returned item stays valid until the next dequeue, dequeueBatch or
    // deleteReader on the same handle.
    void* dequeue(ReaderHandle& reader);

    // What one item costs a batch, in bytes (see dequeueBatch).
    using ItemBytes = size_t (*)(const void* item);

    // Takes a batch from `reader`'s queue: waits without time limit for the
    // first item, as dequeue does, then adds whatever is queued already,
    // without waiting, in queue order, while the batch holds fewer than
    // `maxItems` items (at least 1) and, when `itemBytes` is given, the next
    // item would not take it past `maxBytes` (the first item is taken
    // whatever its size). Replaces the contents of `items` and returns their
    // number; 0 at once for an empty handle or a deactivated queue (and,
    // errno ENOMEM, when not even one slot of bookkeeping can be had).
    //
    // The batch taken before by this handle (or the item of its last
    // dequeue) is released when the call starts, since its caller has done
    // with it by then; the new items stay valid until the next dequeue,
    // dequeueBatch or deleteReader on the same handle. Taken items leave the
    // queue and its water mark at once, so bound the batch: a reader whose
    // peer has stalled holds its queue's worth plus one batch at most.
    size_t dequeueBatch(ReaderHandle& reader, std::vector<void*>& items, size_t maxItems,
                        size_t maxBytes = SIZE_MAX, ItemBytes itemBytes = nullptr);

    // Deactivates the queue registered on `index`, if any: its dequeue and
    // any enqueue waiting on it wake and fail from now on. Queued items stay
    // until deleteReader or destruction.
    void removeReader(int index);
    void removeAllReaders();

    // Deletes `reader`'s queue and the items still in it, releases the
    // items it has taken and empties the handle; the index is cleared only if
    // `reader` is still the one registered there. An empty handle prints
    // "warning: deleteReader called superflously\n".
    void deleteReader(ReaderHandle& reader);

    // ACE_Allocator: the set only ever frees items.
    void* malloc(size_type nbytes) override;
    void* calloc(size_type nbytes, char initialValue = '\0') override;
    void* calloc(size_type nElem, size_type elemSize, char initialValue = '\0') override;
    void free(void* ptr) override;
    int remove() override;
    int bind(const char* name, void* pointer, int duplicates = 0) override;
    int trybind(const char* name, void*& pointer) override;
    int find(const char* name, void*& pointer) override;
    int find(const char* name) override;
    int unbind(const char* name) override;
    int unbind(const char* name, void*& pointer) override;
    int sync(ssize_t len = -1, int flags = MS_SYNC) override;
    int sync(void* addr, size_type len, int flags = MS_SYNC) override;
    int protect(ssize_t len = -1, int prot = PROT_RDWR) override;
    int protect(void* addr, size_type len, int prot = PROT_RDWR) override;
#if defined(ACE_HAS_MALLOC_STATS)
    void print_stats() const override {}
#endif
    void dump() const override;

private:
    enum class Delivery { delivered, failed, cutOff };
    Delivery deliver(int index, Reader& reader, ACE_Message_Block& block);
    void linkLocked(Reader& reader);    // slotLock_ held
    void unlinkLocked(Reader& reader);  // slotLock_ held

    // Constant after construction.
    const FreeItem freeItem_;
    const CutOffCallback onCutOff_;
    const std::chrono::milliseconds fullWaitLimit_;

    // Serialises enqueue, deleteReader and destruction: a Reader is destroyed
    // only under it, so enqueue may use the registered readers without
    // holding slotLock_ while it waits on a full queue.
    ACE_Thread_Mutex tableLock_;
    // Guards readers_ and the live list; held only for a few pointer operations.
    ACE_Thread_Mutex slotLock_;
    // Locking strategy of every item's data block (its reference count).
    ACE_Lock_Adapter<ACE_Thread_Mutex> blockLock_;

    Reader* readers_[kReaderSlots] = {};  // registered queue per index
    Reader* liveHead_ = nullptr;          // every undeleted reader, detached ones too
};

// One message for every connection but `originator`'s, as queued for the
// writer threads. Producers allocate it and give it up to enqueue (see
// enqueueRecord); freeOutgoingRecord deletes it.
struct OutgoingRecord {
    uint32_t type = 0;                // msgType to send
    uint32_t length = 0;              // payload bytes in data
    std::unique_ptr<char[]> data;     // the payload (null when length is 0)
    int originator = 0;               // slot that must not get it; 0 = none
};

// Copies `length` bytes of `payload` (may be null when length is 0).
std::unique_ptr<OutgoingRecord> makeOutgoingRecord(uint32_t type, const char* payload,
                                                   uint32_t length, int originator);
// The FreeItem of a set carrying OutgoingRecords.
void freeOutgoingRecord(void* item);
// Hands `record` to `set`, whose FreeItem must delete OutgoingRecords.
void enqueueRecord(MorvaAllocatorStrategy& set, std::unique_ptr<OutgoingRecord> record);

// Bounds of one writer batch: records, and bytes on the wire (8-byte header
// plus payload each). A lone record larger than the byte bound still goes.
// The byte bound stays at half the executive's socket send buffer
// (RTIMorvaCommHandler::kSocketBufferSize): a write that does not fit in the
// buffer waits halfway for the peer's acknowledgements, which on loopback
// cost tens of milliseconds per batch, far more than the calls it saves.
constexpr size_t kWriterBatchRecords = 64;
constexpr size_t kWriterBatchBytes = 16 * 1024;

// A writer thread's whole life: each time records are queued for `reader`,
// takes up to one batch of them (see dequeueBatch and the bounds above),
// drops those whose originator is the reader's own index and, if any are
// left, calls `send` once with them, in queue order. After a batch smaller
// than the record bound it yields the processor once before waiting, so that
// a producer that is still busy can queue the next batch instead of waking
// the writer record by record. Ends when the queue is deactivated, then
// deletes the reader. The records passed to `send` are
// valid only during the call. Call on the writer thread that holds `reader`.
using SendBatch = std::function<void(const std::vector<const OutgoingRecord*>& records)>;
void runWriter(MorvaAllocatorStrategy& set, MorvaAllocatorStrategy::ReaderHandle reader,
               const SendBatch& send);
// Same, registering the reader itself first. Prefer the overload above: a
// reader registered late may miss a removeReader issued before it.
void runWriter(MorvaAllocatorStrategy& set, int index, const SendBatch& send);

}  // namespace morva
