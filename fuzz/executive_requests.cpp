// The executive's request dispatch, driven in-process: each record of the
// input is one message handed to dispatchMessage for one of three open
// federate connections, under the federation lock, as the reactor thread
// hands over what it read. Answers, relays and closed connections happen
// for real on loopback sockets; after each input the federation is cleared.
//
// Record: one byte choosing the connection, then a frame as on the wire
// (type, length, payload); a length past the end of the input is cut to
// what is there, since a frame is dispatched only once it is whole.
#include <mutex>
#include <vector>

#include "ExecutiveSite.h"
#include "FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ExecutiveSite& site = fuzz::ExecutiveSite::get();
    RTIMorvaImpl& executive = site.executive();
    fuzz::Bytes in(data, size);
    while (in.left() > 0) {
        const uint8_t choice = in.byte();
        const uint32_t type = in.ulong();
        size_t length = 0;
        const char* payload = in.take(in.ulong(), length);
        const std::vector<int> open = site.openSlots();
        if (open.empty()) break;
        const int slot = open[choice % open.size()];
        std::lock_guard<std::recursive_mutex> guard(executive.federationLock());
        executive.dispatchMessage(type, static_cast<uint32_t>(length), payload, slot);
        FUZZ_CHECK(executive.orphanCount() <= 1u << 20);
    }
    site.restore();
    return 0;
}
