// The writer loop that serves one connection slot: originator skipping, the
// records it sends, and its end when the slot's reader is removed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

// What each writer handed to its connection, by slot.
class SentLog {
public:
    morva::SendRecord sender(int slot) {
        return [this, slot](const OutgoingRecord& record) {
            std::lock_guard<std::mutex> lock(mutex_);
            sent_[slot].push_back({record.type, std::string(record.data.get(), record.length)});
        };
    }
    std::vector<Sent> of(int slot) {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_[slot];
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
};

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
