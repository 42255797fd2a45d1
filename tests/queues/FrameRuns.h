// Runs of frames for the queue tests, written into pool buffers and decoded
// back from what a reader took: a test checks the bytes that would go out.
#pragma once

#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

#include "Coding.h"
#include "MorvaAllocatorStrategy.h"
#include "RTImessageStream.h"

namespace queuetest {

constexpr uint32_t kFrame = kHeaderSize + 4;  // a frame of putFrames without padding

// One frame as a reader saw it: its type and the number its payload starts with.
struct SeenFrame {
    uint32_t type;
    uint32_t seq;
    bool operator==(const SeenFrame& o) const { return type == o.type && seq == o.seq; }
};
inline void PrintTo(const SeenFrame& f, std::ostream* os) { *os << f.type << ":" << f.seq; }

inline std::vector<SeenFrame> numbered(uint32_t type, uint32_t from, uint32_t to) {
    std::vector<SeenFrame> frames;
    for (uint32_t seq = from; seq < to; ++seq) frames.push_back({type, seq});
    return frames;
}

// Writes `count` frames of `type` at `at`, numbered from `seq`, each with
// `pad` more payload bytes; returns the bytes written.
inline size_t putFrames(char* at, uint32_t type, uint32_t seq, uint32_t count, uint32_t pad = 0) {
    size_t n = 0;
    for (uint32_t i = 0; i < count; ++i, n += pad) {
        n += RTItransportationManager::encode(at + n, type);
        n += RTItransportationManager::encode(at + n, uint32_t{4} + pad);
        n += RTItransportationManager::encode(at + n, seq + i);
        std::memset(at + n, 'p', pad);
    }
    return n;
}

// putFrames at byte `offset` of `buffer`, queued as one run; returns its bytes.
inline size_t queueRun(morva::MorvaAllocatorStrategy& set, morva::SharedBuffer& buffer,
                       size_t offset, uint32_t type, uint32_t seq, uint32_t count, int originator,
                       uint32_t pad = 0) {
    char* at = buffer.data() + offset;
    const size_t bytes = putFrames(at, type, seq, count, pad);
    set.enqueueFrames(buffer, at, bytes, count, originator);
    return bytes;
}

// Appends the frames of `entry` to `out`; false unless they fill it exactly
// and number entry.messages.
inline bool decodeRun(const morva::QueueEntry& entry, std::vector<SeenFrame>& out) {
    size_t at = 0;
    uint32_t frames = 0;
    for (; entry.bytes - at >= kFrame; ++frames) {
        const char* frame = entry.data + at;
        const uint32_t length = RTItransportationManager::decodeULong(frame + 4, 4);
        if (length < 4 || length > entry.bytes - at - kHeaderSize) return false;
        out.push_back({RTItransportationManager::decodeULong(frame, 4),
                       RTItransportationManager::decodeULong(frame + kHeaderSize, 4)});
        at += kHeaderSize + length;
    }
    return at == entry.bytes && frames == entry.messages;
}

}  // namespace queuetest
