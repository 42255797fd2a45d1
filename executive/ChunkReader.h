// Incremental frame decoder of one federate connection that reads into
// shared buffers (SharedBuffer), so that the messages it finds can be queued
// for other connections without being copied.
//
// Each fill() does one recv into the free tail of the current buffer; next()
// then takes whole frames out, in order. A frame's bytes (header and payload,
// exactly as received) stay where they are: frame() points at them inside
// buffer(), and anyone who needs them after the next fill() takes a
// reference to that buffer. A partial frame waits for more bytes; when it
// would not fit what is left of the buffer it moves to a fresh one (large
// enough for the whole frame once its header is in), so a buffer still
// referenced elsewhere is never written again. A buffer nobody else holds is
// reused in place.
//
// A header announcing more than kMaxPayload is reported (TooLarge) and never
// allocated.
//
// Threads: one thread (the reactor) per reader. Buffers come from the
// BufferPool given to fill(), which must outlive what the reader holds
// (reset() lets go of it).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "RTImessageStream.h"
#include "SharedBuffer.h"

namespace morva {

class ChunkReader {
  public:
    enum class Result {
        NeedMore,  // no complete frame buffered
        Frame,     // a frame is described by the accessors below
        TooLarge,  // the next header announces more than kMaxPayload
    };

    ChunkReader() = default;
    ChunkReader(const ChunkReader&) = delete;
    ChunkReader& operator=(const ChunkReader&) = delete;

    // Reads once from `fd` without blocking, taking buffers from `pool`.
    // Returns the bytes read, 0 at end of stream, -1 on error (errno;
    // EAGAIN/EWOULDBLOCK/EINTR: nothing was ready; ENOMEM: no buffer could be
    // had).
    ssize_t fill(int fd, BufferPool& pool);

    // Takes the next whole frame. After Frame the accessors describe it until
    // the next call of next(), fill(), feed() or reset().
    Result next();
    uint32_t type() const { return type_; }
    uint32_t length() const { return length_; }
    const char* payload() const { return frame_ + kHeaderSize; }
    const char* frame() const { return frame_; }  // header, then payload
    size_t frameBytes() const { return kHeaderSize + size_t{length_}; }
    SharedBuffer* buffer() const { return buf_.get(); }
    // Valid after TooLarge: the announced payload length.
    uint32_t announcedLength() const { return length_; }

    // Bytes received and not yet taken as a whole frame.
    size_t buffered() const { return end_ - start_; }
    // Drops what is buffered and lets go of the buffer.
    void reset();

  private:
    // Makes room for the next read; false when no buffer could be had.
    bool prepare(BufferPool& pool, size_t minFree);

    BufferRef buf_;
    size_t start_ = 0;  // first byte not yet taken
    size_t end_ = 0;    // one past the last byte received
    uint32_t type_ = 0;
    uint32_t length_ = 0;
    const char* frame_ = nullptr;
};

}  // namespace morva
