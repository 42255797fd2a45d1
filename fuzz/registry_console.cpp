// The registry's console: input in arbitrary pieces through the line splitter (at
// most 199 characters a line), each line executed as the reactor thread
// does, against a registry holding one reserved and one registered
// execution. Nothing typed may end the registry but quit.
//
// Input: one byte seeds the sizes of the pieces, the rest is typed.
#include <random>
#include <sstream>
#include <string>

#include "ConsoleCommand.h"
#include "ConsoleLines.h"
#include "FuzzCheck.h"
#include "QuorvexCommHandler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::ostringstream log;
    log.str("");
    QuorvexCommHandler registry(log);
    registry.table().reserveFederationExecution("alpha");
    registry.table().reserveFederationExecution("beta");
    registry.table().registerFederationExecution("beta", RTIP::Reference(4000, "host"));

    fuzz::Bytes in(data, size);
    std::minstd_rand pieces(in.byte() | 1u);
    RTIP::ConsoleLineSplitter lines(RTIP::ConsoleLineSplitter::kServerConsoleLine);
    bool quitTyped = false;
    auto execute = [&](const std::string& line) {
        FUZZ_CHECK(line.size() <= RTIP::ConsoleLineSplitter::kServerConsoleLine);
        const ConsoleCommand cmd = ConsoleCommand::parse(line.substr(0, line.find('\0')));
        quitTyped = quitTyped || cmd.verb == "quit";
        registry.executeConsoleLine(line);
    };
    while (in.left() > 0) {
        size_t got = 0;
        const char* piece = in.take(1 + pieces() % 64, got);
        lines.feed(piece, got, execute);
    }
    lines.finish(execute);
    FUZZ_CHECK(registry.stopRequested() == quitTyped);
    return 0;
}
