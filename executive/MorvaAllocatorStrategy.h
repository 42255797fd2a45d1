// A bounded broadcast queue set: everything handed to it reaches every
// registered reader, stored once and shared.
//
// The executive owns two sets: console lines (one reader, the console command
// thread) and outgoing federate messages (one reader per connection slot,
// served by that slot's writer thread; see runWriter below).
//
// What travels
//   A queue entry is a run of one or more whole frames (header and payload,
//   ready for the wire) inside a reference-counted SharedBuffer, or, through
//   enqueue(void*), one opaque item that the set frees with freeItem once the
//   last reader has let go of it (the set is the item's ACE_Allocator). A
//   relayed run is queued straight from the buffer its frames were read into:
//   each reader gets its own entry and one reference to the buffer, never a
//   copy of the bytes.
//
// Bounds, per reader
//   At most kMaxMessages messages (an entry counts the frames it holds, an
//   item counts one) and at most byteBound bytes held. Bytes held counts the
//   whole capacity of every buffer the reader's entries refer to (once per
//   run of consecutive entries in one buffer), since that is the memory the
//   reader keeps alive, so the bound caps memory, not just payload. An entry
//   is always accepted by an empty queue.
//
// Full readers
//   An enqueue that finds a reader full waits on it until the entry fits.
//   The first time in an episode it prints
//   "WARNING: enqueue is blocking on reader N". The episode ends only once
//   the reader has drained to half of both bounds and then has not held an
//   enqueue up for a tenth of fullWaitLimit (1 s by default), so a reader
//   that stays just behind a flood prints one line, not one per refill. A wait is bounded by
//   fullWaitLimit (10 s): a reader that took nothing at all in that time is
//   cut off (its queue is deactivated, as removeReader does) and the cut-off
//   callback is called with its index once enqueue has released every lock
//   of the set; a reader that is still draining gets another period. The
//   other readers still get the entry.
//
// Readers and slot reuse
//   addReader(index) returns a ReaderHandle naming the one queue it created.
//   dequeue(), takeBatch() and deleteReader() take that handle, never an
//   index, so a writer thread that is still leaving slot N can only ever
//   drain and delete its own queue, even after a new connection has
//   registered a fresh queue on slot N. addReader on an index that already
//   has a queue detaches the old queue from the index and deactivates it;
//   the old queue stays alive, owned by its handle, until its holder deletes
//   it.
//
// Direct writes
//   A reader may come with a DirectWrite: an enqueue that finds its queue
//   empty and its holder waiting writes the run itself, at once, instead of
//   queueing it and waking the holder, which at moderate rates costs far more
//   than the write. What the connection does not take at once is queued as a
//   continuation entry, first in line; a deactivated queue still hands its
//   continuation over (once), so the holder can end the reservation.
//
//   Register the reader on the thread that accepts the connection, before
//   starting the writer thread, and move the handle into the thread: then a
//   removeReader(index) from closeConn always finds the queue, however late
//   the writer thread starts.
//
// Threads
//   enqueue, enqueueFrames  any thread; serialised by tableLock_.
//   addReader               any thread; short slot lock only.
//   removeReader            any thread; never waits for a blocked enqueue,
//                           and wakes it.
//   removeAllReaders        any thread; removeReader on every index.
//   dequeue, takeBatch      only the thread that holds the handle.
//   deleteReader            only the thread that holds the handle; waits for
//                           a running enqueue to finish.
//   cut-off callback        runs on the enqueuing thread with no lock of the
//                           set held; it may call any member, enqueue
//                           included.
//   depth, readerStats      any thread (a snapshot).
//   totals                  any thread, lock-free.
//
// Shutdown rule: join every reader thread before destroying the set.
// Typically: removeAllReaders() (every dequeue returns null, every writer
// leaves its loop and deletes its reader), join the threads, destroy the set.
// The destructor releases every entry still queued or taken; destroying a
// ReaderHandle after its set then only frees the handle's own (emptied)
// queue. Buffers come from a BufferPool that must outlive the set.
#pragma once

#include <ace/Malloc_Base.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "SharedBuffer.h"

namespace morva {

// One run of frames (or one item) as a reader takes it.
struct QueueEntry {
    SharedBuffer* buffer = nullptr;  // holds one reference (the set's business)
    const char* data = nullptr;      // the frames, or the item
    uint32_t bytes = 0;              // frame bytes at data (0 for an item)
    uint32_t messages = 0;           // frames in the run (1 for an item)
    size_t held = 0;                 // bytes charged to the reader's bound
    // The rest of a run whose start a direct write sent: the connection is
    // still reserved for it, so it must go out before anything else.
    bool continuation = false;
};

class MorvaAllocatorStrategy : public ACE_Allocator {
  public:
    static constexpr int kReaderSlots = 40;                 // indices 0 to 39
    static constexpr uint32_t kMaxMessages = 4096;          // per reader
    static constexpr size_t kDefaultByteBound = 64u << 20;  // per reader
    static constexpr std::chrono::milliseconds kDefaultFullWaitLimit{10000};

    // Deletes one item of enqueue(void*); called exactly once per item, by
    // whichever thread releases its last reference (possibly inside enqueue).
    using FreeItem = std::function<void(void* item)>;
    // Told the index of a reader that enqueue cut off for staying full.
    using CutOffCallback = std::function<void(int index)>;
    // Writes framed bytes to a reader's connection without waiting; returns
    // what the connection took (0 when it cannot take any now). When that is
    // more than 0 and less than `bytes`, the connection must stay reserved
    // for the reader's holder until it has sent the rest. Called by an
    // enqueuing thread with the reader's lock held.
    using DirectWrite = std::function<size_t(const char* data, size_t bytes)>;

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
                                    std::chrono::milliseconds fullWaitLimit = kDefaultFullWaitLimit,
                                    size_t byteBound = kDefaultByteBound);
    ~MorvaAllocatorStrategy() override;
    MorvaAllocatorStrategy(const MorvaAllocatorStrategy&) = delete;
    MorvaAllocatorStrategy& operator=(const MorvaAllocatorStrategy&) = delete;

    // Gives `index` a new empty queue and returns its handle. An older queue on
    // the index is detached and deactivated, not deleted (its handle owns it).
    // On failure returns an empty handle with errno ENOMEM (no memory) or
    // EINVAL (index outside 0..39); the index is then left without a queue.
    // `direct`, if given, enables direct writes for this reader (see above).
    ReaderHandle addReader(int index, DirectWrite direct = {});

    // Hands `item` to every registered reader, in index order; the set owns
    // it from here on. With no reader, or when its bookkeeping cannot be had
    // (errno ENOMEM), the item is freed before enqueue returns.
    void enqueue(void* item);

    // Queues the `messages` whole frames at [data, data + bytes), which lie
    // inside `buffer`, for every registered reader but `originator` (0 and
    // out-of-range values leave nobody out), in index order. Each reader
    // holds its own reference to `buffer`; the caller keeps its own.
    // `messages` must be between 1 and kMaxMessages.
    void enqueueFrames(SharedBuffer& buffer, const char* data, size_t bytes, uint32_t messages,
                       int originator);

    // Queues `messages` whole frames for the reader on `index` alone (an
    // answer to its peer), never waiting: written at once when the queue is
    // empty and its holder idle, else queued behind what is there, in order.
    // The reader takes its own reference to `buffer`; the caller keeps its.
    // Not counted as delivered (the counts are of relays).
    enum class Offer {
        accepted,  // written or queued
        full,      // the reader is past a bound: nothing was queued
        none,      // no reader on `index`, or it is stopped or finishing
    };
    Offer enqueueTo(int index, SharedBuffer& buffer, const char* data, size_t bytes,
                    uint32_t messages);

    // Lets the reader on `index` send what it holds, then stop: it accepts
    // nothing more, and its holder's takeBatch returns empty once the queue
    // is drained. False when there is nothing left to send (no reader, or an
    // empty queue and an idle holder): the caller may close at once.
    bool finishReader(int index);

    // Takes the next item of `reader`'s queue, waiting without time limit.
    // Returns null at once for an empty handle or a deactivated queue. The
    // returned item stays valid until the next dequeue, takeBatch or
    // deleteReader on the same handle.
    void* dequeue(ReaderHandle& reader);

    // Takes a batch of entries: waits without time limit for the first one,
    // then adds whatever is queued already, in order, while the batch holds
    // fewer than maxEntries (at least 1) and the next entry would not take
    // its frame bytes past maxBytes (the first is taken whatever its size).
    // The entries stay valid until the next dequeue, takeBatch or
    // deleteReader on the same handle, which releases them. Returns an empty
    // batch at once for an empty handle or a deactivated queue (but for a
    // continuation entry at its head, handed over once, alone).
    const std::vector<QueueEntry>& takeBatch(ReaderHandle& reader, size_t maxBytes,
                                             size_t maxEntries);

    // Deactivates the queue registered on `index`, if any: its dequeue and
    // any enqueue waiting on it wake and fail from now on. Queued entries
    // stay until deleteReader or destruction.
    void removeReader(int index);
    void removeAllReaders();

    // Deletes `reader`'s queue and the entries still in it, releases the
    // entries it has taken and empties the handle; the index is cleared only
    // if `reader` is still the one registered there. An empty handle prints
    // "warning: deleteReader called superflously\n".
    void deleteReader(ReaderHandle& reader);

    // What is queued for the reader on `index` now (zeros without one).
    struct Depth {
        uint32_t messages = 0;
        size_t bytes = 0;  // bytes held (see Bounds)
    };
    Depth depth(int index);

    // The reader on `index` (zeros without one): its depth now, the deepest
    // it has been, and what has been delivered to it (queued or written
    // directly), counted once per message. Any thread (a snapshot).
    struct ReaderStats {
        Depth depth;
        Depth largest;
        uint64_t deliveredMessages = 0;
        uint64_t deliveredBytes = 0;
    };
    ReaderStats readerStats(int index);

    // The whole set since construction. Any thread, no lock: each figure is
    // a relaxed counter and may be a step ahead of another.
    struct Totals {
        uint64_t deliveredMessages = 0;  // once per message and reader
        uint64_t deliveredBytes = 0;
        uint64_t blockingEpisodes = 0;  // "enqueue is blocking" lines printed
        uint64_t cutOffs = 0;
        Depth largest;  // the deepest any reader has been
    };
    Totals totals() const;

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
    class ItemBuffer;
    enum class Delivery { delivered, written, failed, cutOff, full, closed };
    // Queues `entry` (whose reference the caller has already taken) on
    // `reader`; on anything but delivered the reference is released. A full
    // reader is waited for when `mayWait` (a relay), else reported as full
    // (an answer, which the delivery counts leave out).
    Delivery deliver(int index, Reader& reader, const QueueEntry& entry, bool mayWait = true);
    // Snapshot of the registered readers, but `skip`; returns their number.
    int targets(Reader* out[], int skip);
    void deliverToAll(SharedBuffer& buffer, const QueueEntry& entry, int skip);
    // Records `reader`'s depth as the largest seen when it is (reader's mutex held).
    void noteDepth(Reader& reader);
    void linkLocked(Reader& reader);    // slotLock_ held
    void unlinkLocked(Reader& reader);  // slotLock_ held

    // Constant after construction.
    const FreeItem freeItem_;
    const CutOffCallback onCutOff_;
    const std::chrono::milliseconds fullWaitLimit_;
    const size_t byteBound_;

    // Serialises enqueues, deleteReader and destruction: a Reader is
    // destroyed only under it, so an enqueue may use the registered readers
    // without holding slotLock_ while it waits on a full queue.
    std::mutex tableLock_;
    // Guards readers_ and the live list; held only for a few pointer operations.
    std::mutex slotLock_;

    Reader* readers_[kReaderSlots] = {};  // registered queue per index
    Reader* liveHead_ = nullptr;          // every undeleted reader, detached ones too

    // Behind totals(); relaxed, added to once per enqueue (not per reader).
    std::atomic<uint64_t> deliveredMessages_{0};
    std::atomic<uint64_t> deliveredBytes_{0};
    std::atomic<uint64_t> blockingEpisodes_{0};
    std::atomic<uint64_t> cutOffs_{0};
    std::atomic<uint32_t> largestMessages_{0};
    std::atomic<size_t> largestBytes_{0};
};

// Frames one message into a buffer of its own from `pool`: header, then
// `length` bytes of `payload` (may be null when length is 0), then `extra`
// more payload bytes left for the caller to fill (at data() + 8 + length).
// Null when memory is short.
SharedBuffer* makeFrame(BufferPool& pool, uint32_t type, const void* payload, uint32_t length,
                        uint32_t extra = 0);

// The same in a buffer of exactly the frame's size (makeExactBuffer), for an
// answer that may wait in one queue.
SharedBuffer* makeExactFrame(uint32_t type, const void* payload, uint32_t length);

// Bounds of one writer batch: entries (one gathered-write element each) and
// frame bytes. A lone entry larger than the byte bound still goes. Socket
// send buffers grow to megabytes, so a batch this size is written at once.
constexpr size_t kWriterBatchEntries = 256;
constexpr size_t kWriterBatchBytes = 256 * 1024;

// A writer thread's whole life: each time entries are queued for `reader`,
// takes one batch (see takeBatch and the bounds above) and calls `send` with
// it, in queue order. Ends when the queue is deactivated, then deletes the
// reader. The entries passed to `send` are valid only during the call. Call
// on the writer thread that holds `reader`.
using SendBatch = std::function<void(const std::vector<QueueEntry>& batch)>;
void runWriter(MorvaAllocatorStrategy& set, MorvaAllocatorStrategy::ReaderHandle reader,
               const SendBatch& send);

}  // namespace morva
