// What the commands share: opening the connections a command needs, and
// the two ways a long-running command (join, watch) is told to stop: Ctrl-C
// and the end of standard input.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Cli.h"
#include "ConsoleLines.h"
#include "ExecutiveClient.h"
#include "RegistryClient.h"

namespace rtictl {

std::unique_ptr<RegistryClient> openRegistry(const Options& o);

// Connects `client` to the executive given by --executive, or to the one the
// registry names for --name.
void connectExecutive(const Options& o, RTIP::ExecutiveClient& client);

// SIGINT sets a flag instead of ending the process, so that a joined
// federate resigns before rtictl exits. Installed only by the commands that
// stay joined; every other command is short and Ctrl-C simply ends it.
namespace interrupt {
void install();
bool requested();
}  // namespace interrupt

// Standard input read without blocking, split into lines. Main thread only.
class StdinLines {
  public:
    // Takes whatever input is ready; complete lines are appended to `lines`.
    // Returns false once standard input has ended (a last unterminated line is
    // still delivered).
    bool poll(std::vector<std::string>& lines);

  private:
    // A typed line is sent as it is, however long.
    RTIP::ConsoleLineSplitter splitter_{RTIP::ConsoleLineSplitter::kUnbounded};
    bool ended_ = false;
};

}  // namespace rtictl
