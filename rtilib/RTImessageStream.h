// A TCP stream with the RTI framing: an 8-byte header (type, payload length,
// both 32-bit big-endian) followed by the payload.
#pragma once

#include <ace/SOCK_Stream.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "MsgType.h"

constexpr uint32_t kHeaderSize = 8;
constexpr uint32_t kMaxPayload = 16u * 1024u * 1024u;  // larger headers are refused

class RTImessageStream : public ACE_SOCK_Stream {
  public:
    RTImessageStream() = default;
    RTImessageStream(const RTImessageStream&) = delete;
    RTImessageStream& operator=(const RTImessageStream&) = delete;

    // Writes header and payload in one gathered write (retrying partial
    // writes) with MSG_NOSIGNAL, so a vanished peer gives an error instead of
    // SIGPIPE. Thread-safe: concurrent callers on one stream never interleave
    // their messages. Returns length + 8 on success, else the bytes written
    // (or -1 with errno). `data` may be null when length is 0.
    ssize_t sendMsg(uint32_t type, uint32_t length, const void* data);

    // One message of a batch: what sendMsg takes, by pointer.
    struct Frame {
        uint32_t type;
        uint32_t length;
        const void* data;  // may be null when length is 0
    };

    // Writes `count` messages, in order, with as few gathered writes as the
    // system allows (one per IOV_MAX iovecs), under the same lock as sendMsg:
    // no other sender's message lands between or inside them. Partial writes
    // are resumed where the kernel stopped, MSG_NOSIGNAL as for sendMsg.
    // Returns the number of messages that went out whole: `count` on
    // success, fewer on failure (errno tells why; the next message may have
    // gone out in part). A frame with null data and a length is refused
    // before anything is written (0, errno EINVAL), and so is a batch that
    // finds no memory for its headers (errno ENOMEM). The scratch space is
    // kept between calls, so a steady stream of batches allocates nothing.
    // Batches pay off while they fit the socket's send buffer; a larger one
    // waits partway for the peer's acknowledgements.
    size_t sendMsgs(const Frame* frames, size_t count);

    // Writes bytes that are already framed (whole messages, header and
    // payload, as received or built by the caller) from `count` iovecs, in
    // order, under the same lock as sendMsg, resuming partial writes. The
    // iovecs are consumed. Returns the bytes written: `total` on success,
    // fewer on failure (errno tells why).
    size_t sendFramed(iovec* iov, size_t count, size_t total);

    // Writes what the socket takes at once of `bytes` framed bytes, without
    // waiting, neither for the socket nor for another sender (0 when one is
    // busy). When only a part went out, the stream stays reserved to the
    // caller's side: the next call must be sendFramedReserved with the rest,
    // from any thread; every other sender waits until then, so no message
    // lands inside the one cut short. Returns the bytes written.
    size_t trySendFramedNow(const char* data, size_t bytes);
    // Same as sendFramed, for a stream reserved by trySendFramedNow (the
    // iovecs start with the rest of the cut message); ends the reservation.
    size_t sendFramedReserved(iovec* iov, size_t count, size_t total);

    // Blocking reads, for synchronous clients. recvHeader returns 8 for a
    // whole header, 0 when the peer closed before any byte, -1 on error, or
    // the number of bytes read before the stream ended.
    ssize_t recvHeader(uint32_t& type, uint32_t& length);
    // Returns length when the whole payload arrived; anything else is a bad
    // message (errno tells why).
    ssize_t recvMsg(void* buffer, uint32_t length);

    // Bounds every blocking send (SO_SNDTIMEO), so a peer that stops
    // reading cannot hold a sender forever. 0 means no bound.
    int setSendTimeout(unsigned milliseconds);

  private:
    // Writes all `total` bytes of iov[0..count); the entries are consumed.
    // Call with the gate held. Returns the bytes written.
    size_t sendAllLocked(iovec* iov, size_t count, size_t total);

    // Serialises writers on this stream. A lock that another thread may
    // release, since a write cut short on one thread is finished on another.
    class SendGate {
      public:
        void acquire();
        bool tryAcquire();
        void release();

      private:
        std::mutex mutex_;
        std::condition_variable free_;
        bool busy_ = false;  // guarded by mutex_
    };
    struct GateHold {
        explicit GateHold(SendGate& g) : gate(g) { gate.acquire(); }
        ~GateHold() { gate.release(); }
        SendGate& gate;
    };
    SendGate sendLock_;
    // sendMsgs' scratch space, guarded by the gate.
    std::vector<char> headers_;
    std::vector<iovec> iov_;
    std::vector<size_t> ends_;  // stream offset after each message of the batch
};
