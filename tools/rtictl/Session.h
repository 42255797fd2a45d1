// What the commands share: opening the connections a command needs, and
// the two ways a long-running command (join, watch) is told to stop: Ctrl-C
// and the end of standard input.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Cli.h"
#include "rticlient/Executive.h"
#include "rticlient/Registry.h"

namespace rtictl {

// The registry of --registry, with --timeout for connecting and each reply.
rticlient::Registry openRegistry(const Options& o);

// Connects `client` to the executive given by --executive, or to the one the
// registry names for --name.
void connectExecutive(const Options& o, rticlient::Executive& client);

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
    // still delivered). A typed line is taken whole, however long.
    bool poll(std::vector<std::string>& lines);

  private:
    std::string pending_;   // the line being read
    bool sawText_ = false;  // a byte of the current line has arrived
    bool ended_ = false;
};

}  // namespace rtictl
