// The queue set's sharing, lifetime, slot reuse, bounds and concurrency rules.
// Items are heap ints carrying an id, and FreeItem counts every free; runs of
// frames live in BufferPool buffers, idle in the pool once nobody holds them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FrameRuns.h"
#include "MorvaAllocatorStrategy.h"
#include "OutputCapture.h"

using morva::BufferPool;
using morva::BufferRef;
using morva::MorvaAllocatorStrategy;
using morva::QueueEntry;
using Handle = MorvaAllocatorStrategy::ReaderHandle;
using namespace queuetest;
using testsupport::OutputCapture;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kMax = MorvaAllocatorStrategy::kMaxMessages;
constexpr size_t kChunk = BufferPool::kChunkSize;

class FreeLog {
  public:
    MorvaAllocatorStrategy::FreeItem freeItem() {
        return [this](void* item) {
            std::unique_ptr<int> value(static_cast<int*>(item));
            std::lock_guard<std::mutex> lock(mutex_);
            ++freed_[*value];
        };
    }
    int times(int id) { return all()[id]; }
    std::map<int, int> all() {
        std::lock_guard<std::mutex> lock(mutex_);
        return freed_;
    }

  private:
    std::mutex mutex_;
    std::map<int, int> freed_;
};

void* item(int id) { return new int(id); }
int idOf(void* item) { return item == nullptr ? -1 : *static_cast<int*>(item); }
void noItems(void*) {}  // for sets that carry only runs of frames

// Takes one batch and appends its frames to `seen`; returns the entries taken.
size_t takeFrames(MorvaAllocatorStrategy& set, Handle& reader, size_t maxEntries,
                  std::vector<SeenFrame>& seen) {
    const std::vector<QueueEntry>& batch = set.takeBatch(reader, SIZE_MAX, maxEntries);
    for (const QueueEntry& entry : batch) EXPECT_TRUE(decodeRun(entry, seen)) << "torn run";
    return batch.size();
}

const std::string kBlockingOn3 = "WARNING: enqueue is blocking on reader 3\n";

}  // namespace

// ---- sharing and item lifetime ---------------------------------------------

TEST(QueueSetSharing, OneCopyReachesEveryReaderAndIsFreedOnceTheLastLetsGo) {
    FreeLog log;
    MorvaAllocatorStrategy set(log.freeItem());
    Handle a = set.addReader(0), b = set.addReader(1), c = set.addReader(39);
    ASSERT_TRUE(a.valid() && b.valid() && c.valid());
    set.enqueue(item(7));
    void* fromA = set.dequeue(a);
    EXPECT_EQ(idOf(fromA), 7);
    EXPECT_EQ(set.dequeue(b), fromA);  // one shared copy, not three
    EXPECT_EQ(set.dequeue(c), fromA);
    set.deleteReader(a);
    set.deleteReader(b);
    EXPECT_EQ(log.times(7), 0) << "reader 39 still holds it";

    // A reader's item stays valid while newer items queue up behind it ...
    set.enqueue(item(8));
    set.enqueue(item(9));
    EXPECT_EQ(idOf(fromA), 7);
    EXPECT_EQ(log.times(7), 0);
    // ... and is released by that reader's next dequeue.
    EXPECT_EQ(idOf(set.dequeue(c)), 8);
    EXPECT_EQ(log.times(7), 1);
    EXPECT_EQ(log.times(8), 0);
    set.deleteReader(c);  // releases its current item 8 and the queued 9
    EXPECT_EQ(log.all(), (std::map<int, int>{{7, 1}, {8, 1}, {9, 1}}));
    set.enqueue(item(10));  // with no reader left, freed before enqueue returns
    EXPECT_EQ(log.times(10), 1) << "a deleted reader kept a copy";
}

// ---- runs of frames ----------------------------------------------------------

TEST(QueueSetRuns, EveryReaderButTheOriginatorSharesTheBytesUntilTheLastLetsGo) {
    BufferPool pool;
    MorvaAllocatorStrategy set(noItems);
    Handle r0 = set.addReader(0), r2 = set.addReader(2), r5 = set.addReader(5);
    BufferRef buffer(pool.acquire());
    char* const data = buffer->data();
    const size_t first = queueRun(set, *buffer, 0, 600, 1, 3, 2);  // from the federate on slot 2
    // Originator 0 (the executive itself) and out-of-range ones leave nobody out.
    queueRun(set, *buffer, first, 601, 4, 1, 0);
    queueRun(set, *buffer, first + kFrame, 602, 5, 1, MorvaAllocatorStrategy::kReaderSlots);
    buffer.reset();
    for (Handle* reader : {&r0, &r5}) {
        const std::vector<QueueEntry>& batch = set.takeBatch(*reader, SIZE_MAX, 8);
        ASSERT_EQ(batch.size(), 3u);
        EXPECT_EQ(batch[0].data, data) << "a copy, not the bytes received";
        EXPECT_EQ(batch[0].messages, 3u);
        EXPECT_EQ(batch[1].data, data + first);
        EXPECT_EQ(batch[2].data, data + first + kFrame);
    }
    std::vector<SeenFrame> own;
    takeFrames(set, r2, 8, own);
    EXPECT_EQ(own, (std::vector<SeenFrame>{{601, 4}, {602, 5}})) << "slot 2 got its own run back";
    set.deleteReader(r0);
    set.deleteReader(r2);
    EXPECT_EQ(pool.idleCount(), 0u) << "back in the pool while reader 5 still holds it";
    set.deleteReader(r5);
    EXPECT_EQ(pool.idleCount(), 1u);
}

TEST(QueueSetRuns, TakeBatchStopsAtEitherBoundButAlwaysTakesTheFirst) {
    BufferPool pool;
    MorvaAllocatorStrategy set(noItems);
    Handle reader = set.addReader(3);
    BufferRef buffer(pool.acquire());
    size_t at = 0;
    for (uint32_t size : {100, 101, 102, 1000, 1, 2, 7, 8, 3, 4}) {
        set.enqueueFrames(*buffer, buffer->data() + at, size, 1, 0);
        at += size;
    }
    auto take = [&](size_t maxBytes, size_t maxEntries) {
        std::vector<uint32_t> sizes;
        for (const QueueEntry& e : set.takeBatch(reader, maxBytes, maxEntries)) {
            sizes.push_back(e.bytes);
        }
        return sizes;
    };
    EXPECT_EQ(take(250, 64), (std::vector<uint32_t>{100, 101}));  // 303 with the next
    EXPECT_EQ(take(250, 64), (std::vector<uint32_t>{102}));
    EXPECT_EQ(take(250, 64), (std::vector<uint32_t>{1000})) << "too big alone, but must go";
    EXPECT_EQ(take(250, 3), (std::vector<uint32_t>{1, 2, 7})) << "the count bounds it too";
    EXPECT_EQ(take(250, 0), (std::vector<uint32_t>{8})) << "a batch has room for one at least";
    // No bound at all: everything queued, not an exception or an empty batch.
    EXPECT_EQ(take(SIZE_MAX, SIZE_MAX), (std::vector<uint32_t>{3, 4}));
}

// ---- removal, deletion and destruction -------------------------------------

TEST(QueueSetLifecycle, RemovedReaderWakesEmptyAndKeepsItsItemsUntilItsDelete) {
    FreeLog log;
    MorvaAllocatorStrategy set(log.freeItem());
    Handle waiting = set.addReader(4), other = set.addReader(5);
    auto taken = std::async(std::launch::async, [&] { return set.dequeue(waiting); });
    std::this_thread::sleep_for(50ms);  // let it block (the test holds either way)
    set.removeReader(4);
    ASSERT_EQ(taken.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(taken.get(), nullptr);
    OutputCapture err(2);
    set.enqueue(item(1));
    err.settle();
    EXPECT_EQ(err.text(), "failed to enqueue message for reader 4\n");
    EXPECT_EQ(idOf(set.dequeue(other)), 1);
    EXPECT_EQ(set.dequeue(waiting), nullptr) << "a removed reader never delivers again";
    set.enqueue(item(2));
    set.enqueue(item(3));
    set.removeReader(5);
    EXPECT_EQ(set.dequeue(other), nullptr);
    EXPECT_EQ(log.times(2) + log.times(3), 0) << "removal alone must not free queued items";
    set.deleteReader(other);
    EXPECT_FALSE(other.valid());
    EXPECT_EQ(log.all(), (std::map<int, int>{{1, 1}, {2, 1}, {3, 1}}));
}

TEST(QueueSetLifecycle, DestructionReleasesQueuedAndTakenEntriesOfEveryReader) {
    FreeLog log;
    BufferPool pool;                         // outlives the set, as it must
    Handle registered, detached, runReader;  // outlive the set on purpose
    {
        MorvaAllocatorStrategy set(log.freeItem());
        detached = set.addReader(2);
        set.enqueue(item(1));
        EXPECT_EQ(idOf(set.dequeue(detached)), 1);
        set.enqueue(item(2));
        registered = set.addReader(2);  // replaces `detached` on index 2
        set.enqueue(item(3));
        set.enqueue(item(4));
        EXPECT_EQ(idOf(set.dequeue(registered)), 3);

        runReader = set.addReader(9);
        BufferRef taken(pool.acquire()), queued(pool.acquire());
        queueRun(set, *taken, 0, 1, 0, 1, 0);
        queueRun(set, *queued, 0, 1, 1, 1, 0);
        EXPECT_EQ(set.takeBatch(runReader, SIZE_MAX, 1).size(), 1u);
    }
    EXPECT_EQ(log.all(), (std::map<int, int>{{1, 1}, {2, 1}, {3, 1}, {4, 1}}));
    EXPECT_EQ(pool.idleCount(), 2u) << "a run still queued or taken was not released";
    // The handles are destroyed after the set here: they must not touch it.
}

TEST(QueueSetLifecycle, DeleteReaderWithoutAQueueOnlyWarns) {
    FreeLog log;
    MorvaAllocatorStrategy set(log.freeItem());
    OutputCapture err(2);
    Handle never;
    set.deleteReader(never);
    errno = 0;
    Handle outOfRange = set.addReader(MorvaAllocatorStrategy::kReaderSlots);
    EXPECT_FALSE(outOfRange.valid());
    EXPECT_EQ(errno, EINVAL);
    Handle twice = set.addReader(1);
    set.enqueue(item(1));
    set.deleteReader(twice);
    set.deleteReader(twice);
    err.settle();
    EXPECT_EQ(err.text(),
              "warning: deleteReader called superflously\n"
              "warning: deleteReader called superflously\n");
    EXPECT_EQ(log.times(1), 1);
}

// ---- slot reuse --------------------------------------------------------------

TEST(QueueSetSlotReuse, OldAndNewReaderOnOneIndexNeverTouchEachOther) {
    FreeLog log;
    MorvaAllocatorStrategy set(log.freeItem());
    Handle old = set.addReader(5);
    set.enqueue(item(1));
    set.enqueue(item(2));
    EXPECT_EQ(idOf(set.dequeue(old)), 1);  // old writer holds 1, 2 still queued
    set.removeReader(5);                   // the connection closes ...
    Handle fresh = set.addReader(5);       // ... and a new one takes the slot
    set.enqueue(item(3));
    EXPECT_EQ(log.times(1), 0) << "new reader's registration released the old current item";
    EXPECT_EQ(set.dequeue(old), nullptr);  // the old queue stays shut (and lets go of 1)
    EXPECT_EQ(log.times(2), 0) << "queued items stay until the old reader's delete";
    set.deleteReader(old);  // the old writer leaves late
    EXPECT_EQ(log.times(1), 1);
    EXPECT_EQ(log.times(2), 1);
    EXPECT_EQ(log.times(3), 0) << "old reader's delete reached the new queue";
    set.enqueue(item(4));  // the new reader is still registered
    ASSERT_EQ(log.times(4), 0) << "old reader's delete unregistered the new one";
    EXPECT_EQ(idOf(set.dequeue(fresh)), 3);
    EXPECT_EQ(idOf(set.dequeue(fresh)), 4);
}

TEST(QueueSetSlotReuse, AddReaderOverAnActiveQueueShutsTheOldOne) {
    FreeLog log;
    MorvaAllocatorStrategy set(log.freeItem());
    Handle old = set.addReader(6);
    set.enqueue(item(1));
    Handle fresh = set.addReader(6);  // no removeReader came first
    set.enqueue(item(2));

    EXPECT_EQ(set.dequeue(old), nullptr) << "the old writer must stop, not go on sending";
    EXPECT_EQ(log.times(1), 0) << "its items stay until its own deleteReader";
    set.deleteReader(old);
    EXPECT_EQ(log.times(1), 1);
    ASSERT_EQ(log.times(2), 0);
    EXPECT_EQ(idOf(set.dequeue(fresh)), 2);
}

// ---- full readers ------------------------------------------------------------

TEST(QueueSetFull, WarnsOncePerEpisodeAndTheEpisodeEndsOnlyAtHalfAfterAQuietSpell) {
    FreeLog log;
    // A 5 s limit: the episode's quiet spell is a tenth of it.
    MorvaAllocatorStrategy set(
        log.freeItem(), [](int) { ADD_FAILURE() << "cut off"; }, 5s);
    // Reader 1 gets every item just before reader 3: once it has one, that
    // enqueue has reached reader 3 (a test that races past it still holds).
    Handle probe = set.addReader(1), stalled = set.addReader(3);
    OutputCapture err(2);
    int next = 0, taken = 0;
    auto refill = [&] {
        for (; set.depth(3).messages < kMax; ++next) {
            set.enqueue(item(next));
            ASSERT_EQ(idOf(set.dequeue(probe)), next);
        }
    };
    auto blocked = [&] {  // an enqueue that finds reader 3 full
        const int id = next++;
        auto producer = std::async(std::launch::async, [&set, id] { set.enqueue(item(id)); });
        EXPECT_EQ(idOf(set.dequeue(probe)), id);
        return producer;
    };
    auto take = [&](uint32_t n) {  // every item once, in order
        for (; n > 0; --n) ASSERT_EQ(idOf(set.dequeue(stalled)), taken++);
    };

    refill();
    err.settle();
    EXPECT_EQ(err.count("WARNING"), 0) << "the queue filled up too early";
    EXPECT_EQ(next, static_cast<int>(kMax)) << "an item counts one message";
    // Full, full again at once, and again after draining to one above half:
    // all one episode.
    for (uint32_t drain : {0u, 0u, kMax / 2 - 1}) {
        take(drain);
        refill();
        auto producer = blocked();
        ASSERT_TRUE(err.waitFor(kBlockingOn3)) << "the next item did not find the queue full";
        EXPECT_EQ(set.depth(3).messages, kMax) << "queued past the bound";
        take(1);
        ASSERT_EQ(producer.wait_for(5s), std::future_status::ready) << "room did not wake it";
    }
    err.settle();
    EXPECT_EQ(err.count("WARNING"), 1) << "a reader that barely keeps up warned again";

    // Drained to half, but it held an enqueue up moments ago: a flood that
    // keeps one reader just behind stays one episode.
    take(kMax / 2);
    refill();
    auto again = blocked();
    ASSERT_TRUE(err.waitFor(kBlockingOn3));
    take(1);
    ASSERT_EQ(again.wait_for(5s), std::future_status::ready);
    err.settle();
    EXPECT_EQ(err.count("WARNING"), 1) << "a burst refilling a drained reader warned again";

    take(kMax / 2);  // drained to half and nobody held up for a while: over
    std::this_thread::sleep_for(600ms);
    refill();
    auto last = blocked();
    ASSERT_TRUE(err.waitFor(kBlockingOn3, 2));
    take(1);
    ASSERT_EQ(last.wait_for(5s), std::future_status::ready);
    err.settle();
    EXPECT_EQ(err.text(), kBlockingOn3 + kBlockingOn3);

    set.deleteReader(stalled);
    set.deleteReader(probe);
    const auto freed = log.all();
    EXPECT_EQ(freed.size(), static_cast<size_t>(next));
    for (const auto& [id, times] : freed) ASSERT_EQ(times, 1) << "item " << id;
}

TEST(QueueSetFull, ReaderStillFullAfterTheLimitIsCutOffAndOthersGetTheItem) {
    FreeLog log;
    std::vector<int> cutOff;  // told on this thread, the enqueuing one
    MorvaAllocatorStrategy* self = nullptr;
    MorvaAllocatorStrategy set(
        log.freeItem(),
        [&](int index) {
            cutOff.push_back(index);
            // As a departure notice would: no lock of the set may be held here.
            if (cutOff.size() == 1) self->enqueue(item(6000));
        },
        200ms);
    self = &set;
    Handle stalled = set.addReader(3), live = set.addReader(7);

    for (int id = 0; id < static_cast<int>(kMax); ++id) {
        set.enqueue(item(id));
        ASSERT_EQ(idOf(set.dequeue(live)), id);
    }
    OutputCapture err(2);
    set.enqueue(item(5000));
    EXPECT_EQ(idOf(set.dequeue(live)), 5000);
    EXPECT_EQ(idOf(set.dequeue(live)), 6000);
    EXPECT_EQ(cutOff, std::vector<int>{3});

    set.enqueue(item(5001));  // the cut-off reader gets nothing more, at once
    EXPECT_EQ(idOf(set.dequeue(live)), 5001);
    err.settle();
    const std::string refused = "failed to enqueue message for reader 3\n";
    EXPECT_EQ(err.text(), kBlockingOn3 + refused + refused);
    EXPECT_EQ(set.dequeue(stalled), nullptr);

    // The figures the status endpoint shows: one episode, one cut-off, the
    // stalled queue's depth as the largest, and each delivery once per reader.
    const MorvaAllocatorStrategy::Totals totals = set.totals();
    EXPECT_EQ(totals.blockingEpisodes, 1u);
    EXPECT_EQ(totals.cutOffs, 1u);
    EXPECT_EQ(totals.largest.messages, kMax);
    EXPECT_EQ(totals.deliveredMessages, kMax + (kMax + 3));
    const auto stalledStats = set.readerStats(3), liveStats = set.readerStats(7);
    EXPECT_EQ(stalledStats.depth.messages, kMax);
    EXPECT_EQ(stalledStats.deliveredMessages, kMax);
    EXPECT_EQ(liveStats.depth.messages, 0u);
    EXPECT_EQ(liveStats.largest.messages, 2u);  // 5000, then 6000 from the callback
    EXPECT_EQ(liveStats.deliveredMessages, kMax + 3);

    set.deleteReader(stalled);
    set.deleteReader(live);
    const auto freed = log.all();
    EXPECT_EQ(freed.size(), kMax + 3);
    for (const auto& [id, times] : freed) EXPECT_EQ(times, 1) << "item " << id;
}

// 96 single frames, then four runs of 1000: the bound is met exactly. A fifth
// run of 1000 needs more room than the singles make.
TEST(QueueSetFull, MessageBoundCountsFramesAndARunWaitsUntilItFits) {
    BufferPool pool;
    MorvaAllocatorStrategy set(noItems);
    Handle reader = set.addReader(3);
    OutputCapture err(2);
    BufferRef buffer(pool.acquire());
    size_t at = 0;
    uint32_t seq = 0;
    for (; seq < 96; ++seq) at += queueRun(set, *buffer, at, 1, seq, 1, 0);
    for (; seq < kMax; seq += 1000) at += queueRun(set, *buffer, at, 1, seq, 1000, 0);
    err.settle();
    EXPECT_EQ(err.count("WARNING"), 0);
    EXPECT_EQ(set.depth(3).messages, kMax);
    const size_t bytes = putFrames(buffer->data() + at, 1, seq, 1000);
    auto producer = std::async(std::launch::async, [&] {
        set.enqueueFrames(*buffer, buffer->data() + at, bytes, 1000, 0);
    });
    ASSERT_TRUE(err.waitFor(kBlockingOn3));
    std::vector<SeenFrame> seen;
    EXPECT_EQ(takeFrames(set, reader, 96, seen), 96u);
    EXPECT_EQ(producer.wait_for(0s), std::future_status::timeout) << "queued with too little room";
    EXPECT_EQ(set.depth(3).messages, kMax - 96);
    EXPECT_EQ(takeFrames(set, reader, 1, seen), 1u);
    ASSERT_EQ(producer.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(set.depth(3).messages, kMax - 96);

    while (set.depth(3).messages > 0) takeFrames(set, reader, 2, seen);
    EXPECT_EQ(seen, numbered(1, 0, seq + 1000));
}

// A bound of three chunks; reader 2 takes nothing, reader 3 takes slowly. The
// run in a fourth buffer waits out the limit on reader 2, which is cut off,
// then waits on reader 3 for b1's chunk, which comes free only with the last
// of b1's 20 runs: one is taken every 15 ms, so several 100 ms periods pass,
// each with progress.
TEST(QueueSetFull, ByteBoundChargesABufferOncePerStretchAndCutsOffOnlyAStalledReader) {
    BufferPool pool;
    std::vector<int> cutOff;  // told on the producer's thread, read once it ended
    MorvaAllocatorStrategy set(
        noItems, [&](int index) { cutOff.push_back(index); }, 100ms, 3 * kChunk);
    Handle stalled = set.addReader(2), slow = set.addReader(3);
    OutputCapture err(2);
    BufferRef b1(pool.acquire()), b2(pool.acquire()), b3(pool.acquire()), b4(pool.acquire());
    for (uint32_t seq = 0; seq < 20; ++seq) queueRun(set, *b1, seq * kFrame, 1, seq, 1, 0);
    EXPECT_EQ(set.depth(3).bytes, kChunk) << "runs in the newest buffer were charged again";
    queueRun(set, *b2, 0, 1, 20, 1, 0);
    queueRun(set, *b3, 0, 1, 21, 1, 0);
    auto producer = std::async(std::launch::async, [&] { queueRun(set, *b4, 0, 1, 22, 1, 0); });
    ASSERT_TRUE(err.waitFor(kBlockingOn3)) << "reader 2 was not cut off";
    std::vector<SeenFrame> seen;
    while (seen.size() < 20) {
        std::this_thread::sleep_for(15ms);
        EXPECT_EQ(set.depth(3).messages, 22 - seen.size()) << "b1 let go of before its last run";
        ASSERT_EQ(takeFrames(set, slow, 1, seen), 1u) << "cut off after " << seen.size();
    }
    ASSERT_EQ(producer.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(cutOff, std::vector<int>{2});
    // Drained to two chunks of three, not to half: full again is the same episode.
    takeFrames(set, slow, 1, seen);
    BufferRef b5(pool.acquire()), b6(pool.acquire());
    queueRun(set, *b5, 0, 1, 23, 1, 0);
    const std::string refused = "failed to enqueue message for reader 2\n";
    producer = std::async(std::launch::async, [&] { queueRun(set, *b6, 0, 1, 24, 1, 0); });
    ASSERT_TRUE(err.waitFor(refused, 2));  // past reader 2: at reader 3 next
    takeFrames(set, slow, 1, seen);
    ASSERT_EQ(producer.wait_for(5s), std::future_status::ready);
    while (seen.size() < 25) ASSERT_GT(takeFrames(set, slow, 8, seen), 0u);
    EXPECT_EQ(seen, numbered(1, 0, 25)) << "the others get the run";
    err.settle();
    EXPECT_EQ(err.text(),
              "WARNING: enqueue is blocking on reader 2\n" + kBlockingOn3 + refused + refused);
    BufferRef large(pool.acquire(4 * kChunk));  // larger than the bound, into an empty queue
    queueRun(set, *large, 0, 1, 25, 1, 0);
    EXPECT_EQ(set.depth(3).bytes, 4 * kChunk);
}

// ---- concurrency -------------------------------------------------------------

// A small byte bound keeps the producers waiting on readers that fall behind.
// Odd readers take one run at a time, even ones batches.
TEST(QueueSetConcurrency, TwoProducersEightReadersEveryFrameOnceInOrder) {
    static constexpr uint32_t kPerProducer = 3000;
    constexpr int kReaders = 8, kOriginator = 3;  // producer 2 relays from slot 3
    BufferPool pool;
    OutputCapture err(2);
    MorvaAllocatorStrategy set(noItems, {}, MorvaAllocatorStrategy::kDefaultFullWaitLimit,
                               6 * kChunk);

    std::vector<std::future<std::vector<SeenFrame>>> readers;
    for (int index = 1; index <= kReaders; ++index) {
        const size_t expected = (index == kOriginator ? 1 : 2) * kPerProducer;
        const size_t maxEntries = index % 2 == 1 ? 1 : 32;
        readers.push_back(std::async(
            std::launch::async, [&set, expected, maxEntries, h = set.addReader(index)]() mutable {
                std::vector<SeenFrame> got;
                while (got.size() < expected) {
                    const std::vector<QueueEntry>& batch = set.takeBatch(h, 4096, maxEntries);
                    if (batch.empty()) break;
                    for (const QueueEntry& entry : batch) EXPECT_TRUE(decodeRun(entry, got));
                }
                set.deleteReader(h);
                return got;
            }));
    }
    // Twelve frames a buffer, written before any is shared, queued in runs of 1 to 4.
    auto produce = [&set, &pool](uint32_t type, int originator) {
        for (uint32_t base = 0; base < kPerProducer; base += 12) {
            BufferRef buffer(pool.acquire());
            const uint32_t end = std::min(base + 12, kPerProducer);
            putFrames(buffer->data(), type, base, end - base);
            for (uint32_t seq = base; seq < end;) {
                const uint32_t count = std::min(1 + seq % 4, end - seq);
                set.enqueueFrames(*buffer, buffer->data() + (seq - base) * kFrame, count * kFrame,
                                  count, originator);
                seq += count;
            }
        }
    };
    std::thread first(produce, 1, 0), second(produce, 2, kOriginator);
    first.join();
    second.join();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (auto& reader : readers) {
        if (reader.wait_until(deadline) != std::future_status::ready) {
            set.removeAllReaders();  // unblock the rest before failing
            ADD_FAILURE() << "a reader missed frames";
        }
    }
    for (int index = 1; index <= kReaders; ++index) {
        uint32_t next[3] = {0, 0, 0};
        for (const SeenFrame& frame : readers[index - 1].get()) {
            ASSERT_TRUE(frame.type == 1 || frame.type == 2) << "reader " << index;
            ASSERT_EQ(frame.seq, next[frame.type]++) << "reader " << index;
        }
        EXPECT_EQ(next[1], kPerProducer) << "reader " << index;
        EXPECT_EQ(next[2], index == kOriginator ? 0 : kPerProducer) << "reader " << index;
    }
    EXPECT_EQ(pool.bytesOutstanding(), pool.idleCount() * kChunk) << "a buffer was never let go of";
}

// ---- answers to one reader ---------------------------------------------------

// An answer goes to its own reader alone and never waits: a full reader
// refuses it at once (the caller drops the connection), a finishing one
// hands over what it holds, in order, then ends its writer's loop.
TEST(QueueSetAnswers, AFullReaderRefusesAtOnceAndAFinishingOneDrainsThenEnds) {
    MorvaAllocatorStrategy set(noItems);
    Handle asker = set.addReader(3), other = set.addReader(4);
    auto answer = [](uint32_t seq) {
        char payload[4];
        RTItransportationManager::encode(payload, seq);
        return morva::makeExactFrame(511, payload, sizeof payload);
    };
    for (uint32_t seq = 0; seq < kMax; ++seq) {
        BufferRef frame(answer(seq));
        ASSERT_EQ(set.enqueueTo(3, *frame, frame->data(), kHeaderSize + 4, 1),
                  MorvaAllocatorStrategy::Offer::accepted);
    }
    const auto start = std::chrono::steady_clock::now();
    BufferRef one(answer(kMax));
    EXPECT_EQ(set.enqueueTo(3, *one, one->data(), kHeaderSize + 4, 1),
              MorvaAllocatorStrategy::Offer::full);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "an answer waited for room";
    EXPECT_EQ(set.depth(4).messages, 0u);  // nobody else got any of them
    // Exact buffers: what waits holds its bytes, not a pool chunk each.
    EXPECT_EQ(set.depth(3).bytes, size_t{kMax} * (kHeaderSize + 4));

    EXPECT_TRUE(set.finishReader(3));
    EXPECT_EQ(set.enqueueTo(3, *one, one->data(), kHeaderSize + 4, 1),
              MorvaAllocatorStrategy::Offer::none);
    size_t taken = 0;
    for (;;) {
        const std::vector<QueueEntry>& batch = set.takeBatch(asker, SIZE_MAX, 256);
        if (batch.empty()) break;
        for (const QueueEntry& e : batch) {
            EXPECT_EQ(RTIP::loadULong(e.data + kHeaderSize), taken) << "out of order";
            ++taken;
        }
    }
    EXPECT_EQ(taken, size_t{kMax});
}
