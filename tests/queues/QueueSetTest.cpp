// The queue set's sharing, lifetime, slot reuse, full-queue and concurrency
// rules. Items are heap ints carrying an id; the set's FreeItem records every
// free, so a leak or a double free shows up as a wrong count (and under ASan).
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MorvaAllocatorStrategy.h"
#include "StderrCapture.h"

using morva::MorvaAllocatorStrategy;
using Handle = MorvaAllocatorStrategy::ReaderHandle;
using queuetest::StderrCapture;
using namespace std::chrono_literals;

namespace {

class FreeLog {
public:
    MorvaAllocatorStrategy::FreeItem freeItem() {
        return [this](void* item) {
            int* value = static_cast<int*>(item);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++freed_[*value];
            }
            delete value;
        };
    }
    int times(int id) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = freed_.find(id);
        return it == freed_.end() ? 0 : it->second;
    }
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
std::vector<int> idsOf(const std::vector<void*>& items) {
    std::vector<int> ids;
    for (void* each : items) ids.push_back(idOf(each));
    return ids;
}
// An item's id is its size, for the batches' byte bound.
size_t idIsSize(const void* item) { return static_cast<size_t>(*static_cast<const int*>(item)); }

const char* const kBlockingOn3 = "WARNING: enqueue is blocking on reader 3\n";

}  // namespace

// ---- sharing and item lifetime ---------------------------------------------

TEST(QueueSetSharing, OneCopyReachesEveryReaderAndIsFreedAfterTheLastLetsGo) {
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
}

TEST(QueueSetSharing, EnqueueWithoutReadersFreesTheItemBeforeReturning) {
    FreeLog log;
    MorvaAllocatorStrategy set(log.freeItem());
    set.enqueue(item(1));
    EXPECT_EQ(log.times(1), 1);

    Handle gone = set.addReader(4);
    set.deleteReader(gone);
    set.enqueue(item(2));
    EXPECT_EQ(log.times(2), 1) << "a deleted reader must not keep a copy";
}

// ---- removal, deletion and destruction -------------------------------------

TEST(QueueSetLifecycle, RemoveReaderWakesAWaitingDequeueAndOthersStillReceive) {
    FreeLog log;
    MorvaAllocatorStrategy set(log.freeItem());
    Handle waiting = set.addReader(4), other = set.addReader(5);

    auto taken = std::async(std::launch::async, [&] { return set.dequeue(waiting); });
    std::this_thread::sleep_for(50ms);  // let it block (the test holds either way)
    set.removeReader(4);
    ASSERT_EQ(taken.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(taken.get(), nullptr);

    StderrCapture err;
    set.enqueue(item(1));
    err.settle();
    EXPECT_EQ(err.text(), "failed to enqueue message for reader 4\n");
    EXPECT_EQ(idOf(set.dequeue(other)), 1);
    EXPECT_EQ(set.dequeue(waiting), nullptr) << "a removed reader never delivers again";
}

TEST(QueueSetLifecycle, ItemsLeftInARemovedReaderAreFreedByDeleteReaderOnce) {
    FreeLog log;
    MorvaAllocatorStrategy set(log.freeItem());
    Handle reader = set.addReader(3);
    for (int id = 1; id <= 3; ++id) set.enqueue(item(id));
    set.removeReader(3);
    EXPECT_EQ(set.dequeue(reader), nullptr);
    EXPECT_TRUE(log.all().empty()) << "removal alone must not free queued items";

    set.deleteReader(reader);
    EXPECT_FALSE(reader.valid());
    EXPECT_EQ(log.all(), (std::map<int, int>{{1, 1}, {2, 1}, {3, 1}}));
}

TEST(QueueSetLifecycle, DestructionFreesQueuedAndCurrentItemsOfEveryReader) {
    FreeLog log;
    Handle registered, detached;  // outlive the set on purpose
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
    }
    EXPECT_EQ(log.all(), (std::map<int, int>{{1, 1}, {2, 1}, {3, 1}, {4, 1}}));
    // The handles are destroyed after the set here: they must not touch it.
}

TEST(QueueSetLifecycle, DeleteReaderWithoutAQueueOnlyWarns) {
    FreeLog log;
    MorvaAllocatorStrategy set(log.freeItem());
    StderrCapture err;

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
    EXPECT_EQ(err.text(), "warning: deleteReader called superflously\n"
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

    EXPECT_EQ(set.dequeue(old), nullptr);  // the old queue stays shut
    EXPECT_EQ(log.times(1), 0) << "new reader's registration released the old current item";
    EXPECT_EQ(log.times(2), 0);

    set.deleteReader(old);                 // the old writer leaves late
    EXPECT_EQ(log.times(1), 1);
    EXPECT_EQ(log.times(2), 1);
    EXPECT_EQ(log.times(3), 0) << "old reader's delete reached the new queue";

    set.enqueue(item(4));                  // the new reader is still registered
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

TEST(QueueSetFull, StalledReaderTakes4096ItemsThenWarnsOncePerEpisode) {
    FreeLog log;
    std::atomic<int> cutOffs{0};
    MorvaAllocatorStrategy set(log.freeItem(), [&](int) { ++cutOffs; });
    Handle stalled = set.addReader(3);
    StderrCapture err;

    const int fits = static_cast<int>(MorvaAllocatorStrategy::kHighWaterMark /
                                      MorvaAllocatorStrategy::kItemSize);
    ASSERT_EQ(fits, 4096);
    for (int id = 0; id < fits; ++id) set.enqueue(item(id));
    err.settle();
    EXPECT_EQ(err.count("WARNING"), 0) << "the queue filled up too early";

    auto producer = std::async(std::launch::async, [&] { set.enqueue(item(fits)); });
    ASSERT_TRUE(err.waitFor(kBlockingOn3)) << "item 4097 did not find the queue full";
    std::this_thread::sleep_for(100ms);  // a busy retry would print many more
    EXPECT_EQ(producer.wait_for(0s), std::future_status::timeout) << "enqueue gave up early";

    EXPECT_EQ(idOf(set.dequeue(stalled)), 0);  // room for one: the episode ends
    ASSERT_EQ(producer.wait_for(5s), std::future_status::ready);
    err.settle();
    EXPECT_EQ(err.count("WARNING"), 1);
    EXPECT_EQ(cutOffs, 0);

    int last = -1;
    for (int n = 0; n < fits; ++n) last = idOf(set.dequeue(stalled));
    EXPECT_EQ(last, fits) << "the blocked item must arrive, last";
}

TEST(QueueSetFull, ReaderStillFullAfterTheLimitIsCutOffAndOthersGetTheItem) {
    FreeLog log;
    std::mutex mutex;
    std::vector<int> cutOff;
    MorvaAllocatorStrategy* self = nullptr;
    MorvaAllocatorStrategy set(
        log.freeItem(),
        [&](int index) {
            bool first;
            {
                std::lock_guard<std::mutex> lock(mutex);
                cutOff.push_back(index);
                first = cutOff.size() == 1;
            }
            // As a departure notice would: no lock of the set may be held here.
            if (first) self->enqueue(item(6000));
        },
        200ms);
    self = &set;
    Handle stalled = set.addReader(3), live = set.addReader(7);

    for (int id = 0; id < 4096; ++id) {
        set.enqueue(item(id));
        ASSERT_EQ(idOf(set.dequeue(live)), id);
    }
    StderrCapture err;
    set.enqueue(item(5000));
    EXPECT_EQ(idOf(set.dequeue(live)), 5000);
    EXPECT_EQ(idOf(set.dequeue(live)), 6000);
    EXPECT_EQ(cutOff, std::vector<int>{3});

    set.enqueue(item(5001));  // the cut-off reader gets nothing more, at once
    EXPECT_EQ(idOf(set.dequeue(live)), 5001);
    err.settle();
    const std::string refused = "failed to enqueue message for reader 3\n";
    EXPECT_EQ(err.text(), kBlockingOn3 + refused + refused);
    EXPECT_EQ(cutOff.size(), 1u);
    EXPECT_EQ(set.dequeue(stalled), nullptr);

    set.deleteReader(stalled);
    set.deleteReader(live);
    const auto freed = log.all();
    EXPECT_EQ(freed.size(), 4099u);
    for (const auto& [id, times] : freed) EXPECT_EQ(times, 1) << "item " << id;
}

// ---- batches -------------------------------------------------------------------

TEST(QueueSetBatch, TakesWhatIsQueuedUpToTheBoundAndHoldsItUntilTheNextCall) {
    FreeLog log;
    MorvaAllocatorStrategy set(log.freeItem());
    Handle batcher = set.addReader(1), single = set.addReader(2);
    for (int id = 1; id <= 5; ++id) set.enqueue(item(id));

    std::vector<void*> items;
    ASSERT_EQ(set.dequeueBatch(batcher, items, 3), 3u);
    EXPECT_EQ(idsOf(items), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(set.dequeue(single), items[0]) << "a batch shares the one copy";
    for (int id = 2; id <= 5; ++id) EXPECT_EQ(idOf(set.dequeue(single)), id);
    EXPECT_TRUE(log.all().empty()) << "freed while the batch still held it";
    EXPECT_EQ(idsOf(items), (std::vector<int>{1, 2, 3}));

    // What is left, at once: the call does not wait to fill the batch.
    ASSERT_EQ(set.dequeueBatch(batcher, items, 3), 2u);
    EXPECT_EQ(idsOf(items), (std::vector<int>{4, 5}));
    EXPECT_EQ(log.all(), (std::map<int, int>{{1, 1}, {2, 1}, {3, 1}}));

    set.deleteReader(batcher);
    EXPECT_EQ(log.times(4), 1);
    EXPECT_EQ(log.times(5), 0) << "reader 2 still holds it";
    set.deleteReader(single);
    EXPECT_EQ(log.all(), (std::map<int, int>{{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}}));
}

TEST(QueueSetBatch, ByteBoundCountsEveryItemButTheFirstIsAlwaysTaken) {
    FreeLog log;
    MorvaAllocatorStrategy set(log.freeItem());
    Handle reader = set.addReader(3);
    for (int size : {100, 101, 102, 1000, 1, 2, 7, 8}) set.enqueue(item(size));

    std::vector<void*> items;
    auto take = [&](size_t maxItems) {
        set.dequeueBatch(reader, items, maxItems, 250, idIsSize);
        return idsOf(items);
    };
    EXPECT_EQ(take(64), (std::vector<int>{100, 101}));  // 303 with the next
    EXPECT_EQ(take(64), (std::vector<int>{102}));
    EXPECT_EQ(take(64), (std::vector<int>{1000})) << "too big alone, but must go";
    EXPECT_EQ(take(3), (std::vector<int>{1, 2, 7})) << "the count bounds it too";
    EXPECT_EQ(take(0), (std::vector<int>{8})) << "a batch has room for one at least";
    set.deleteReader(reader);
    EXPECT_EQ(log.all().size(), 8u);
}

TEST(QueueSetBatch, WaitsForTheFirstItemOnlyAndAStoppedReaderGetsNothingMore) {
    FreeLog log;
    MorvaAllocatorStrategy set(log.freeItem());
    Handle reader = set.addReader(4), other = set.addReader(5);

    std::vector<void*> items;
    auto first =
        std::async(std::launch::async, [&] { return set.dequeueBatch(reader, items, 64); });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(first.wait_for(0s), std::future_status::timeout) << "returned an empty batch";
    set.enqueue(item(1));
    ASSERT_EQ(first.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(first.get(), 1u);
    EXPECT_EQ(idsOf(items), std::vector<int>{1});
    EXPECT_EQ(idOf(set.dequeue(other)), 1);

    set.enqueue(item(2));
    set.enqueue(item(3));
    set.removeReader(4);
    EXPECT_EQ(set.dequeueBatch(reader, items, 64), 0u) << "sent records queued after removal";
    EXPECT_TRUE(items.empty());
    EXPECT_EQ(log.times(2), 0);

    // A batch still waiting when its reader is removed wakes empty.
    std::vector<void*> otherItems;
    EXPECT_EQ(set.dequeueBatch(other, otherItems, 64), 2u);
    auto waiting =
        std::async(std::launch::async, [&] { return set.dequeueBatch(other, otherItems, 64); });
    std::this_thread::sleep_for(50ms);
    set.removeReader(5);
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 0u);

    set.deleteReader(reader);
    set.deleteReader(other);
    EXPECT_EQ(log.all(), (std::map<int, int>{{1, 1}, {2, 1}, {3, 1}}));
}

TEST(QueueSetBatch, ABatchMakesRoomInAFullQueueAndTheMarkCountsWhatIsLeft) {
    FreeLog log;
    MorvaAllocatorStrategy set(log.freeItem());
    Handle stalled = set.addReader(3);
    StderrCapture err;
    for (int id = 0; id < 4096; ++id) set.enqueue(item(id));

    auto producer = std::async(std::launch::async, [&] { set.enqueue(item(4096)); });
    ASSERT_TRUE(err.waitFor(kBlockingOn3));
    std::vector<void*> items;
    ASSERT_EQ(set.dequeueBatch(stalled, items, 64), 64u);
    ASSERT_EQ(producer.wait_for(5s), std::future_status::ready) << "the batch did not wake it";
    // 63 more fit, and then the queue is full again.
    for (int id = 4097; id < 4160; ++id) set.enqueue(item(id));
    err.settle();
    EXPECT_EQ(err.count("WARNING"), 1);
    auto blocked = std::async(std::launch::async, [&] { set.enqueue(item(4160)); });
    ASSERT_TRUE(err.waitFor(kBlockingOn3, 2)) << "a stalled reader escaped the bound";
    set.removeReader(3);
    ASSERT_EQ(blocked.wait_for(5s), std::future_status::ready);

    std::vector<int> ids = idsOf(items);
    EXPECT_EQ(ids.front(), 0);
    EXPECT_EQ(ids.back(), 63);
    set.deleteReader(stalled);
    EXPECT_EQ(log.all().size(), 4161u);
}

TEST(QueueSetBatch, DestructionFreesABatchStillHeld) {
    FreeLog log;
    Handle reader;  // outlives the set
    std::vector<void*> items;
    {
        MorvaAllocatorStrategy set(log.freeItem());
        reader = set.addReader(6);
        for (int id = 1; id <= 4; ++id) set.enqueue(item(id));
        ASSERT_EQ(set.dequeueBatch(reader, items, 3), 3u);
    }
    EXPECT_EQ(log.all(), (std::map<int, int>{{1, 1}, {2, 1}, {3, 1}, {4, 1}}));
}

// ---- concurrency -------------------------------------------------------------

// Odd readers take batches, even ones single items.
TEST(QueueSetConcurrency, TwoProducersEightReadersEveryItemOnceInOrder) {
    constexpr int kPerProducer = 2000;
    constexpr int kReaders = 8;
    FreeLog log;
    MorvaAllocatorStrategy set(log.freeItem());

    std::vector<std::future<std::vector<int>>> readers;
    for (int index = 1; index <= kReaders; ++index) {
        Handle handle = set.addReader(index);
        const bool batches = index % 2 == 1;
        readers.push_back(
            std::async(std::launch::async, [&set, batches, h = std::move(handle)]() mutable {
                std::vector<int> got;
                std::vector<void*> items;
                while (got.size() < 2u * kPerProducer) {
                    if (batches) {
                        if (set.dequeueBatch(h, items, 16) == 0) break;
                        for (void* each : items) got.push_back(idOf(each));
                    } else {
                        void* next = set.dequeue(h);
                        if (next == nullptr) break;
                        got.push_back(idOf(next));
                    }
                }
                set.deleteReader(h);
                return got;
            }));
    }
    auto produce = [&set](int base) {
        for (int i = 0; i < kPerProducer; ++i) set.enqueue(item(base + i));
    };
    std::thread first(produce, 0), second(produce, 100000);
    first.join();
    second.join();

    for (auto& reader : readers) {
        if (reader.wait_for(10s) != std::future_status::ready) {
            set.removeAllReaders();  // unblock the rest before failing
            ADD_FAILURE() << "a reader missed items";
        }
    }
    for (auto& reader : readers) {
        const std::vector<int> got = reader.get();
        ASSERT_EQ(got.size(), 2u * kPerProducer);
        int lastOfFirst = -1, lastOfSecond = 99999;  // each producer's order is kept
        for (int id : got) {
            int& last = id < 100000 ? lastOfFirst : lastOfSecond;
            ASSERT_EQ(id, last + 1);
            last = id;
        }
    }
    const auto freed = log.all();
    EXPECT_EQ(freed.size(), 2u * kPerProducer);
    for (const auto& [id, times] : freed) ASSERT_EQ(times, 1) << "item " << id;
}
