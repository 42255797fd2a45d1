// One executive for the executive's fuzz targets, built once and put back
// into the same state after every input: three federate connections open
// (over loopback, as accepted by the executive), nobody joined, no orphaned
// attributes stored, trace off. There is no registry: a destroy request or
// quit is refused for want of one, so the executive never ends.
#pragma once

#include <vector>

#include "RTIMorvaImpl.h"

namespace fuzz {

class ExecutiveSite {
  public:
    static constexpr int kClients = 3;
    static ExecutiveSite& get();

    RTIMorvaImpl& executive();
    // Slots whose connection is open.
    std::vector<int> openSlots();
    // Reads what the clients were sent, reconnects any the executive closed
    // and clears the federation.
    void restore();

  private:
    ExecutiveSite();
    void connectClient(int i);
    void drainClients();
    std::vector<int> clients_;
    uint16_t port_ = 0;
};

}  // namespace fuzz
