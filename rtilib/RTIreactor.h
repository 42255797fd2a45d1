// A tiny poller for one synchronous client connection: "tell me when this
// descriptor is readable, or give up after a time".
#pragma once

#include <ace/Basic_Types.h>
#include <ace/Time_Value.h>

class RTIreactor {
  public:
    // mask 1 = readable (the only mask used). Returns 0, or -1 on failure.
    int register_descriptor(ACE_HANDLE handle, int mask);
    // True once the registered handle is readable (or at end of stream),
    // false when the time runs out or nothing is registered.
    bool poll(const ACE_Time_Value& timeout);

  private:
    ACE_HANDLE handle_ = ACE_INVALID_HANDLE;
};
