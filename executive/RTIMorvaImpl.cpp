// Construction, the federation-state operations that need the connection
// table, and the event loop.
#include "RTIMorvaImpl.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "Log.h"

RTIMorvaImpl::RTIMorvaImpl()
    : RTIMorvaCommHandler(this),
      state_(
          [this](int connection) { return getFederateByIndex(static_cast<unsigned>(connection)); }),
      orphans_(
          [this](int slot, uint32_t objectId, uint16_t tag, const RTI::AttributeHandleSet& attrs) {
              offerOrphanedAttributes(slot, objectId, tag, attrs);
          },
          [this](uint16_t leaveOut) { return state_.pickFederate(leaveOut); }) {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    startConsole();
}

RTIMorvaImpl::~RTIMorvaImpl() {
    // The status endpoint's, console and writer threads use this object's
    // members: stop them while everything still exists.
    if (statusHttp_) statusHttp_->stop();
    stopRegistryKeeper();
    shutdownThreads();
}

void RTIMorvaImpl::run(const ACE_Time_Value& timeout) {
    while (pollEvents(timeout) == 0) {
    }
}

void RTIMorvaImpl::endExecution() {
    // Log lines are written unbuffered; this flushes whatever else stdio holds.
    std::fflush(nullptr);
    std::_Exit(kExitEnded);
}

uint16_t RTIMorvaImpl::joinFederationExecution(const char* name, int connection) {
    return state_.joinFederationExecution(name, connection);
}

int RTIMorvaImpl::disconnect(uint16_t handle) { return state_.disconnect(handle); }

RTIP::Reference RTIMorvaImpl::getFederateByHandle(uint16_t handle) const {
    return state_.getFederateByHandle(handle);
}

void RTIMorvaImpl::destroyFederationExecution() {
    state_.checkNoneJoined();
    sendMorvaObituary(state_.federationName());
}

int RTIMorvaImpl::redistributeOrphan() { return orphans_.redistributeOrphan(); }
