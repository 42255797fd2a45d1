// The writer loop that serves one connection slot: originator skipping, the
// records it sends and how it groups them, and its end when the slot's reader
// is removed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MorvaAllocatorStrategy.h"
#include "StderrCapture.h"

using morva::MorvaAllocatorStrategy;
using morva::OutgoingRecord;
using namespace std::chrono_literals;

namespace {

struct Sent {
    uint32_t type;
    std::string payload;
};

// What each writer handed to its connection, by slot, and in which batches.
class SentLog {
public:
    morva::SendBatch sender(int slot) {
        return [this, slot](const std::vector<const OutgoingRecord*>& batch) {
            std::lock_guard<std::mutex> lock(mutex_);
            batches_[slot].push_back(batch.size());
            for (const OutgoingRecord* record : batch) {
                sent_[slot].push_back(
                    {record->type, std::string(record->data.get(), record->length)});
            }
        };
    }
    std::vector<Sent> of(int slot) {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_[slot];
    }
    std::vector<size_t> batchesOf(int slot) {
        std::lock_guard<std::mutex> lock(mutex_);
        return batches_[slot];
    }
    bool waitFor(int slot, size_t count) {
        for (auto until = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < until;) {
            if (of(slot).size() >= count) return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

private:
    std::mutex mutex_;
    std::vector<Sent> sent_[MorvaAllocatorStrategy::kReaderSlots];
    std::vector<size_t> batches_[MorvaAllocatorStrategy::kReaderSlots];
};

std::unique_ptr<OutgoingRecord> recordOf(uint32_t type, size_t length, int originator) {
    const std::string payload(length, static_cast<char>('a' + type % 26));
    return morva::makeOutgoingRecord(type, payload.data(), static_cast<uint32_t>(length),
                                     originator);
}

}  // namespace

TEST(WriterLoop, SkipsItsOwnSlotsRecordsAndSendsEverythingElse) {
    std::atomic<int> freed{0};
    MorvaAllocatorStrategy set([&](void* item) {
        ++freed;
        morva::freeOutgoingRecord(item);
    });
    SentLog sent;
    std::vector<std::thread> writers;
    for (int slot = 1; slot <= 3; ++slot) {
        // Registered here, as the acceptor does, before the writer starts.
        auto reader = set.addReader(slot);
        writers.emplace_back([&set, &sent, slot, r = std::move(reader)]() mutable {
            morva::runWriter(set, std::move(r), sent.sender(slot));
        });
    }

    const char departed[4] = {0, 0, 0, 2};
    morva::enqueueRecord(set, morva::makeOutgoingRecord(132, departed, 4, 2));
    morva::enqueueRecord(set, morva::makeOutgoingRecord(600, "abc", 3, 0));
    morva::enqueueRecord(set, morva::makeOutgoingRecord(601, nullptr, 0, 0));

    EXPECT_TRUE(sent.waitFor(1, 3));
    EXPECT_TRUE(sent.waitFor(2, 2));  // seeing 601 means 132 was already passed over
    EXPECT_TRUE(sent.waitFor(3, 3));
    set.removeAllReaders();
    for (auto& writer : writers) writer.join();

    for (int slot : {1, 3}) {
        const auto got = sent.of(slot);
        ASSERT_EQ(got.size(), 3u) << "slot " << slot;
        EXPECT_EQ(got[0].type, 132u);
        EXPECT_EQ(got[0].payload, std::string(departed, 4));
        EXPECT_EQ(got[1].type, 600u);
        EXPECT_EQ(got[1].payload, "abc");
        EXPECT_EQ(got[2].type, 601u);
        EXPECT_EQ(got[2].payload, "");
    }
    const auto own = sent.of(2);
    ASSERT_EQ(own.size(), 2u);
    EXPECT_EQ(own[0].type, 600u);
    EXPECT_EQ(own[1].type, 601u);
    EXPECT_EQ(freed, 3) << "every record freed once all writers let go";
}

TEST(WriterLoop, RecordsQueuedWhenTheSlotIsRemovedAreFreedNotSent) {
    std::atomic<int> freed{0};
    MorvaAllocatorStrategy set([&](void* item) {
        ++freed;
        morva::freeOutgoingRecord(item);
    });
    SentLog sent;
    auto reader = set.addReader(4);
    for (uint32_t type = 700; type < 705; ++type) {
        morva::enqueueRecord(set, morva::makeOutgoingRecord(type, "x", 1, 0));
    }
    set.removeReader(4);  // closeConn before the writer got to run
    std::thread writer([&] { morva::runWriter(set, std::move(reader), sent.sender(4)); });
    writer.join();
    EXPECT_TRUE(sent.of(4).empty());
    EXPECT_EQ(freed, 5);
}

TEST(WriterLoop, WriterWithoutAReaderEndsAtOnceWithTheWarning) {
    MorvaAllocatorStrategy set(morva::freeOutgoingRecord);
    SentLog sent;
    queuetest::StderrCapture err;
    morva::runWriter(set, MorvaAllocatorStrategy::kReaderSlots, sent.sender(0));
    err.settle();
    EXPECT_EQ(err.text(), "warning: deleteReader called superflously\n");
}

// ---- batches -------------------------------------------------------------------

// Everything is queued before the writer starts, so its batches are fixed.
TEST(WriterBatches, BacklogGoesOutInOrderInBatchesOfAtMost64WithoutOwnRecords) {
    std::atomic<int> freed{0};
    MorvaAllocatorStrategy set([&](void* item) {
        ++freed;
        morva::freeOutgoingRecord(item);
    });
    SentLog sent;
    auto reader = set.addReader(2);
    // 64 of its own first: a batch with nothing left to send is not sent.
    for (uint32_t type = 1000; type < 1064; ++type) morva::enqueueRecord(set, recordOf(type, 4, 2));
    std::vector<uint32_t> expected;
    for (uint32_t type = 2000; type < 2150; ++type) {
        const int originator = type % 7 == 0 ? 2 : 0;
        morva::enqueueRecord(set, recordOf(type, 10, originator));
        if (originator != 2) expected.push_back(type);
    }
    std::thread writer([&] { morva::runWriter(set, std::move(reader), sent.sender(2)); });
    ASSERT_TRUE(sent.waitFor(2, expected.size()));
    set.removeReader(2);
    writer.join();

    const auto got = sent.of(2);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i].type, expected[i]) << "record " << i;
        ASSERT_EQ(got[i].payload, std::string(10, static_cast<char>('a' + expected[i] % 26)));
    }
    // 150 queued records make batches of 64, 64 and 22, less the skipped ones.
    auto keptOf = [](uint32_t from, uint32_t to) {
        size_t kept = 0;
        for (uint32_t type = from; type < to; ++type) kept += type % 7 != 0;
        return kept;
    };
    EXPECT_EQ(sent.batchesOf(2),
              (std::vector<size_t>{keptOf(2000, 2064), keptOf(2064, 2128), keptOf(2128, 2150)}));
    EXPECT_EQ(freed, 64 + 150);
}

TEST(WriterBatches, ByteBoundSplitsBatchesAndALargeRecordGoesAlone) {
    MorvaAllocatorStrategy set(morva::freeOutgoingRecord);
    SentLog sent;
    auto reader = set.addReader(3);
    // Two of these fit in a batch with their headers, three do not.
    const size_t third = morva::kWriterBatchBytes * 3 / 8;
    const size_t lengths[] = {third, third, third, morva::kWriterBatchBytes + 1, 10, 10};
    uint32_t type = 1;
    for (size_t length : lengths) morva::enqueueRecord(set, recordOf(type++, length, 0));
    std::thread writer([&] { morva::runWriter(set, std::move(reader), sent.sender(3)); });
    ASSERT_TRUE(sent.waitFor(3, std::size(lengths)));
    set.removeReader(3);
    writer.join();

    EXPECT_EQ(sent.batchesOf(3), (std::vector<size_t>{2, 1, 1, 2}));
    const auto got = sent.of(3);
    ASSERT_EQ(got.size(), std::size(lengths));
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].type, i + 1);
        EXPECT_EQ(got[i].payload.size(), lengths[i]);
    }
}
