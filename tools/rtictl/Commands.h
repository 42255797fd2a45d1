// The commands of rtictl. Each returns its exit status; RTI exceptions
// (refusals from a server, or the clients' own connection failures) are left
// to main, which prints them and picks the status.
#pragma once

#include "Cli.h"
#include "Output.h"

namespace rtictl {

int runRegistryCommand(const Options& o, Output& out);
int runExecutiveCommand(const Options& o, Output& out);
// The registry's whole table, and each registered execution's federates.
int runStatusCommand(const Options& o, Output& out);

}  // namespace rtictl
