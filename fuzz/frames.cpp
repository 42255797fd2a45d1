// The incremental frame readers, side by side: the client library's
// FrameReader (fed from memory) and the executive's ChunkReader (reading a
// socket into shared buffers) are given the same stream in the same pieces
// and must find the same frames, and the same refusal of an oversize header.
// Some frames are kept, as a writer keeps a relayed run: a buffer somebody
// still holds must never be written again, so their bytes must not change.
//
// Input: two bytes seed the sizes of the pieces, one byte says which frames
// are kept, the rest is the stream.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

#include "ChunkReader.h"
#include "FrameReader.h"
#include "FuzzCheck.h"
#include "SharedBuffer.h"

namespace {

struct Found {
    uint32_t type;
    std::vector<char> payload;
    bool operator==(const Found& o) const { return type == o.type && payload == o.payload; }
};

struct Kept {
    morva::BufferRef buffer;
    const char* frame;
    std::vector<char> bytes;
};

morva::BufferPool& pool() {
    static morva::BufferPool* p = new morva::BufferPool();
    return *p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Bytes in(data, size);
    std::minstd_rand pieces((uint32_t{in.byte()} << 8) | in.byte() | 1u);
    const uint8_t keepMask = in.byte();

    int fds[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
    FrameReader plain;
    morva::ChunkReader chunked;
    std::vector<Found> a, b;
    std::vector<Kept> kept;
    bool plainRefused = false, chunkedRefused = false;
    uint32_t plainAnnounced = 0, chunkedAnnounced = 0;
    size_t frameNo = 0;

    while (in.left() > 0 && !plainRefused && !chunkedRefused) {
        size_t got = 0;
        const char* piece = in.take(1 + pieces() % 700, got);
        plain.feed(piece, got);
        for (;;) {
            const FrameReader::Result r = plain.next();
            if (r == FrameReader::Result::NeedMore) break;
            if (r == FrameReader::Result::TooLarge) {
                plainRefused = true;
                plainAnnounced = plain.announcedLength();
                break;
            }
            FUZZ_CHECK(plain.length() <= kMaxPayload);
            a.push_back({plain.type(),
                         std::vector<char>(plain.payload(), plain.payload() + plain.length())});
        }

        FUZZ_CHECK(::send(fds[1], piece, got, 0) == static_cast<ssize_t>(got));
        for (;;) {
            const ssize_t r = chunked.fill(fds[0], pool());
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            FUZZ_CHECK(r > 0);
            for (;;) {
                const morva::ChunkReader::Result next = chunked.next();
                if (next == morva::ChunkReader::Result::NeedMore) break;
                if (next == morva::ChunkReader::Result::TooLarge) {
                    chunkedRefused = true;
                    chunkedAnnounced = chunked.announcedLength();
                    break;
                }
                FUZZ_CHECK(chunked.frameBytes() == kHeaderSize + chunked.length());
                FUZZ_CHECK(chunked.frame() >= chunked.buffer()->data());
                FUZZ_CHECK(chunked.frame() + chunked.frameBytes() <=
                           chunked.buffer()->data() + chunked.buffer()->capacity());
                b.push_back(
                    {chunked.type(),
                     std::vector<char>(chunked.payload(), chunked.payload() + chunked.length())});
                if ((keepMask >> (frameNo++ % 8)) & 1) {
                    chunked.buffer()->retain();
                    kept.push_back({morva::BufferRef(chunked.buffer()), chunked.frame(),
                                    std::vector<char>(chunked.frame(),
                                                      chunked.frame() + chunked.frameBytes())});
                }
            }
            if (chunkedRefused) break;
        }
    }
    ::close(fds[0]);
    ::close(fds[1]);

    FUZZ_CHECK(a == b);
    FUZZ_CHECK(plainRefused == chunkedRefused);
    FUZZ_CHECK(plainAnnounced == chunkedAnnounced);
    if (!plainRefused) FUZZ_CHECK(plain.buffered() == chunked.buffered());
    for (const Kept& k : kept)
        FUZZ_CHECK(std::memcmp(k.frame, k.bytes.data(), k.bytes.size()) == 0);
    chunked.reset();
    return 0;
}
