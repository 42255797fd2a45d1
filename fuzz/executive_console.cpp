// The executive's console: input in arbitrary pieces through the line
// splitter (at most 199 characters a line, an overlong line one command),
// each line executed as the console thread does, against an executive with
// two federates joined. Removing a federate closes its connection for real.
//
// Input: one byte seeds the sizes of the pieces, the rest is typed.
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "ConsoleReader.h"
#include "ExecutiveSite.h"
#include "FuzzCheck.h"
#include "MsgType.h"

namespace {

void join(RTIMorvaImpl& executive, int slot, const char* name) {
    // A counted string: count, text, NUL, padding.
    const size_t n = std::strlen(name) + 1;
    std::vector<char> payload(4 + ((n + 3) & ~size_t{3}), 0);
    payload[3] = static_cast<char>(n);
    std::memcpy(payload.data() + 4, name, n - 1);
    executive.dispatchMessage(msgJoinFederationExecution, static_cast<uint32_t>(payload.size()),
                              payload.data(), slot);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ExecutiveSite& site = fuzz::ExecutiveSite::get();
    RTIMorvaImpl& executive = site.executive();
    {
        std::lock_guard<std::recursive_mutex> guard(executive.federationLock());
        const std::vector<int> open = site.openSlots();
        FUZZ_CHECK(open.size() >= 2);
        join(executive, open[0], "alpha");
        join(executive, open[1], "beta");
    }
    fuzz::Bytes in(data, size);
    std::minstd_rand pieces(in.byte() | 1u);
    morva::ConsoleLineSplitter splitter;
    auto execute = [&](const std::string& line) {
        FUZZ_CHECK(line.size() <= morva::ConsoleLineSplitter::kMaxLine);
        executive.executeConsoleLine(line.c_str());
    };
    while (in.left() > 0) {
        size_t got = 0;
        const char* piece = in.take(1 + pieces() % 64, got);
        splitter.feed(piece, got, execute);
    }
    splitter.finish(execute);
    site.restore();
    return 0;
}
