// Incremental frame decoder for non-blocking reads: feed it bytes as they
// arrive, in any split, and take whole messages out. A partial frame simply
// waits for more bytes. A header announcing more than kMaxPayload is reported
// and never allocated. Not thread-safe: one reader per connection.
#pragma once

#include <ace/Basic_Types.h>
#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "RTImessageStream.h"

class FrameReader {
  public:
    enum class Result {
        NeedMore,  // no complete frame buffered
        Frame,     // a frame is available through type()/length()/payload()
        TooLarge,  // the next header announces more than kMaxPayload
    };

    // Reads once from `handle` (recv, never blocking for more than is ready)
    // into the buffer. Returns bytes read, 0 at end of stream, -1 on error
    // (errno set; EAGAIN/EWOULDBLOCK/EINTR mean nothing was ready).
    ssize_t fill(ACE_HANDLE handle);
    // Appends bytes already read elsewhere.
    void feed(const char* data, size_t n);

    // Extracts the next complete frame. After Frame the accessors describe
    // it until the next call to next(), fill() or feed().
    Result next();
    uint32_t type() const { return type_; }
    uint32_t length() const { return length_; }
    const char* payload() const { return payload_; }
    // Valid after TooLarge: the announced payload length.
    uint32_t announcedLength() const { return length_; }

    size_t buffered() const { return end_ - start_; }
    void reset();

  private:
    void compact();
    std::vector<char> buf_;
    size_t start_ = 0;  // first unconsumed byte
    size_t end_ = 0;    // one past the last received byte
    uint32_t type_ = 0;
    uint32_t length_ = 0;
    const char* payload_ = nullptr;
};
