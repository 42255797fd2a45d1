// The writer loop that serves one connection slot: the frames it sends, how it
// groups them, never a run from its own slot's federate, and how it ends.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FrameRuns.h"
#include "MorvaAllocatorStrategy.h"
#include "OutputCapture.h"

using namespace morva;
using namespace queuetest;
using testsupport::OutputCapture;
using namespace std::chrono_literals;

namespace {

// What one writer handed to its connection, and in which batches.
struct Sent {
    std::vector<SeenFrame> frames;
    std::vector<size_t> entries, bytes, firstBytes;  // per batch
};

}  // namespace

// Everything is queued before the writers start, so their batches are fixed:
// 400 runs of small frames (more than a batch holds), some from the federates
// on slots 1 and 2, then 100 KB frames, then one frame larger than a batch.
TEST(WriterLoop, SendsEveryRunOnceInOrderInFullBoundedBatchesButNeverItsSlotsOwn) {
    BufferPool pool;
    MorvaAllocatorStrategy set([](void*) {});  // carries runs only
    MorvaAllocatorStrategy::ReaderHandle readers[3];
    for (int slot : {1, 2}) readers[slot] = set.addReader(slot);  // as the acceptor does
    std::vector<SeenFrame> expected[3];
    uint32_t seq = 0;
    // Queues a run and notes its frames for the slots that must get them.
    auto queue = [&](SharedBuffer& buffer, size_t at, uint32_t n, int originator, uint32_t pad) {
        for (const SeenFrame& frame : numbered(700, seq, seq + n)) {
            for (int slot : {1, 2}) {
                if (slot != originator) expected[slot].push_back(frame);
            }
        }
        seq += n;
        return queueRun(set, buffer, at, 700, seq - n, n, originator, pad);
    };
    {
        BufferRef small(pool.acquire());
        size_t at = 0;
        for (uint32_t run = 0; run < 400; ++run) {
            at += queue(*small, at, 1 + run % 3, run % 5 == 0 ? 1 : run % 7 == 0 ? 2 : 0, 0);
        }
        for (uint32_t pad : {100000, 100000, 100000, 300000}) {
            queue(*BufferRef(pool.acquire(kFrame + pad)), 0, 1, 0, pad);
        }
    }
    Sent sent[3];
    std::vector<std::future<void>> writers;
    for (int slot : {1, 2}) {
        SendBatch send = [&set, &sent, &expected, slot](const std::vector<QueueEntry>& batch) {
            Sent& own = sent[slot];
            own.entries.push_back(batch.size());
            own.firstBytes.push_back(batch.front().bytes);
            own.bytes.push_back(0);
            for (const QueueEntry& entry : batch) {
                own.bytes.back() += entry.bytes;
                EXPECT_TRUE(decodeRun(entry, own.frames)) << "torn run";
            }
            if (own.frames.size() >= expected[slot].size()) set.removeReader(slot);
        };
        writers.push_back(std::async(std::launch::async, runWriter, std::ref(set),
                                     std::move(readers[slot]), send));
    }
    for (auto& writer : writers) {
        if (writer.wait_for(5s) != std::future_status::ready) {
            set.removeAllReaders();
            ADD_FAILURE() << "a writer missed frames";
        }
    }
    for (int slot : {1, 2}) {
        const Sent& got = sent[slot];
        EXPECT_EQ(got.frames, expected[slot]) << "slot " << slot;
        ASSERT_GT(got.entries.size(), 3u);
        for (size_t i = 0; i < got.entries.size(); ++i) {
            EXPECT_LE(got.entries[i], kWriterBatchEntries);
            EXPECT_TRUE(got.bytes[i] <= kWriterBatchBytes || got.entries[i] == 1) << "batch " << i;
            // Nothing that was queued already and fit was left for later.
            EXPECT_TRUE(i + 1 == got.entries.size() || got.entries[i] == kWriterBatchEntries ||
                        got.bytes[i] + got.firstBytes[i + 1] > kWriterBatchBytes)
                << "slot " << slot << " batch " << i << " was cut short";
        }
    }
    EXPECT_EQ(pool.bytesOutstanding(), pool.idleCount() * BufferPool::kChunkSize)
        << "a buffer was never let go of";
}

// A writer whose slot closed before it ran sends nothing and lets go of
// everything queued; one without a reader at all ends at once.
TEST(WriterLoop, RemovedOrMissingReaderEndsTheWriterWithoutSending) {
    BufferPool pool;
    MorvaAllocatorStrategy set([](void*) {});
    auto reader = set.addReader(4);
    {
        BufferRef a(pool.acquire()), b(pool.acquire());
        queueRun(set, *a, queueRun(set, *a, 0, 700, 0, 2, 0), 700, 2, 1, 0);
        queueRun(set, *b, 0, 700, 3, 1, 0);
    }
    set.removeReader(4);  // closeConn before the writer got to run
    EXPECT_EQ(pool.idleCount(), 0u) << "removal alone let go of queued runs";
    int batches = 0;
    const SendBatch count = [&](const std::vector<QueueEntry>&) { ++batches; };
    runWriter(set, std::move(reader), count);
    EXPECT_EQ(pool.idleCount(), 2u);

    OutputCapture err(2);
    runWriter(set, set.addReader(MorvaAllocatorStrategy::kReaderSlots), count);
    err.settle();
    EXPECT_EQ(err.text(), "warning: deleteReader called superflously\n");
    EXPECT_EQ(batches, 0);
}

namespace {

// Decodes a byte stream into frames; false unless it ends at a frame's end.
bool decodeWire(const std::string& wire, std::vector<SeenFrame>& out) {
    QueueEntry whole;
    whole.data = wire.data();
    whole.bytes = static_cast<uint32_t>(wire.size());
    whole.messages = static_cast<uint32_t>(wire.size() / kFrame);
    return decodeRun(whole, out);
}

}  // namespace

// A reader whose writer waits gets runs written by the enqueuing thread; what
// the connection does not take at once goes to the writer as a continuation,
// first in line, and is handed over even when the reader is removed at that
// moment: the stream never ends inside a message.
TEST(WriterLoop, IdleReadersGetDirectWritesAndACutWriteIsAlwaysFinished) {
    BufferPool pool;
    MorvaAllocatorStrategy set([](void*) {});
    std::mutex mutex;
    std::string wire;          // what reached the connection, in order
    size_t accept = SIZE_MAX;  // what the connection takes at once
    int direct = 0, continuations = 0;
    auto reader = set.addReader(4, [&](const char* data, size_t bytes) {
        std::lock_guard<std::mutex> lock(mutex);
        const size_t n = std::min(bytes, accept);
        wire.append(data, n);
        ++direct;
        return n;
    });
    auto writer = std::async(std::launch::async, [&, r = std::move(reader)]() mutable {
        runWriter(set, std::move(r), [&](const std::vector<QueueEntry>& batch) {
            std::lock_guard<std::mutex> lock(mutex);
            continuations += batch.front().continuation ? 1 : 0;
            for (const QueueEntry& e : batch) wire.append(e.data, e.bytes);
        });
    });
    auto directWrites = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return direct;
    };
    BufferRef buf(pool.acquire());
    size_t at = 0;
    uint32_t seq = 0;
    // Until the writer waits, runs are queued; then they are written directly.
    for (int i = 0; i < 500 && directWrites() == 0; ++i, seq += 3) {
        std::this_thread::sleep_for(2ms);
        at += queueRun(set, *buf, at, 700, seq, 3, 0);
    }
    ASSERT_GT(directWrites(), 0) << "an idle writer was woken instead";
    EXPECT_EQ(set.depth(4).messages, 0u) << "a run written directly was queued too";

    // The connection takes 10 bytes of the next run: the rest is the writer's.
    {
        std::lock_guard<std::mutex> lock(mutex);
        accept = 10;
    }
    const int before = directWrites();
    for (int i = 0; i < 500 && directWrites() == before; ++i, seq += 3) {
        std::this_thread::sleep_for(2ms);
        at += queueRun(set, *buf, at, 700, seq, 3, 0);
    }
    // One more run behind it (the connection is full now), then the
    // connection closes at once.
    {
        std::lock_guard<std::mutex> lock(mutex);
        accept = 0;
    }
    at += queueRun(set, *buf, at, 700, seq, 3, 0);
    seq += 3;
    set.removeReader(4);
    ASSERT_EQ(writer.wait_for(5s), std::future_status::ready);

    std::vector<SeenFrame> frames;
    EXPECT_TRUE(decodeWire(wire, frames)) << "the stream ends inside a message";
    EXPECT_EQ(continuations, 1);
    ASSERT_GE(frames.size(), static_cast<size_t>(seq - 3));
    EXPECT_EQ(frames, numbered(700, 0, static_cast<uint32_t>(frames.size())))
        << "lost, repeated or reordered";
    buf.reset();
    EXPECT_EQ(pool.idleCount(), 1u) << "a reference was kept or dropped twice";
}
