// The registry's request dispatch: the input is what one client sends on its
// connection, read by the registry exactly as from a socket (through the
// connection's FrameReader and readMessage), with every reply read back.
// Each input meets a fresh registry with one execution reserved and one
// registered. A client thread reads the replies as they come. Every request
// but the obituary gets exactly one reply, and a reply is one the protocol
// allows.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <thread>
#include <vector>

#include "FrameReader.h"
#include "FuzzCheck.h"
#include "MsgType.h"
#include "QuorvexCommHandler.h"

struct QuorvexFuzzAccess {
    // Puts `fd` in slot 0 as acceptConnection would.
    static void adopt(QuorvexCommHandler& h, int fd) {
        auto& slot = h.connections_[0];
        slot.stream.set_handle(fd);
        FUZZ_CHECK(
            h.reactor_.register_handler(fd, &h.messageHandler_, ACE_Event_Handler::READ_MASK) == 0);
        slot.stream.setSendTimeout(QuorvexCommHandler::kSendTimeoutMs);
        slot.reader.reset();
        slot.inUse = true;
        ++h.connectionCount_;
    }
    static bool open(QuorvexCommHandler& h) { return h.connections_[0].inUse; }
    static void read(QuorvexCommHandler& h, int fd) { h.readMessage(fd); }
};

namespace {

bool isReplyType(uint32_t t) {
    switch (t) {
        case msgReserveFederationExecutionReply:
        case msgRegisterFederationExecutionReply:
        case msgGetMorvaByNameReply:
        case msgGetAllFederationExecutionsReply:
        case msgException:
        case msgFederationExecutionAlreadyExists:
        case msgMorvaReferenceNotInitialized:
        case msgFederationCountExceeded:
        case msgFederationExecutionDoesNotExist:
        case msgUnknownRequest:
            return true;
        default:
            return false;
    }
}

// Reads every reply until the registry closes the connection.
size_t readReplies(int fd) {
    FrameReader replies;
    size_t n = 0;
    for (;;) {
        char buf[4096];
        const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return n;
        replies.feed(buf, static_cast<size_t>(got));
        while (replies.next() == FrameReader::Result::Frame) {
            FUZZ_CHECK(isReplyType(replies.type()));
            ++n;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::ostringstream log;
    log.str("");
    int fds[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
    size_t requests = 0, obituaries = 0;
    {
        QuorvexCommHandler registry(log);
        registry.table().reserveFederationExecution("alpha");
        registry.table().reserveFederationExecution("beta");
        registry.table().registerFederationExecution("beta", RTIP::Reference(4000, "host"));
        QuorvexFuzzAccess::adopt(registry, fds[0]);

        // Count what the registry will find: whole frames up to the first refusal.
        FrameReader expect;
        expect.feed(reinterpret_cast<const char*>(data), size);
        for (FrameReader::Result r; (r = expect.next()) == FrameReader::Result::Frame;) {
            (expect.type() == msgMorvaObituary ? obituaries : requests)++;
        }
        FUZZ_CHECK(::send(fds[1], data, size, 0) == static_cast<ssize_t>(size));
        ::shutdown(fds[1], SHUT_WR);

        size_t answered = 0;
        std::thread client([&] { answered = readReplies(fds[1]); });
        while (QuorvexFuzzAccess::open(registry)) QuorvexFuzzAccess::read(registry, fds[0]);
        client.join();
        FUZZ_CHECK(answered == requests);
        FUZZ_CHECK(registry.connectionCount() == 0);
    }
    ::close(fds[1]);
    return 0;
}
