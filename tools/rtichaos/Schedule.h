// The chaos schedule: what happens at each tick of a run, decided by the
// seed and the length alone, so the same seed always gives the same
// schedule. What an action meets when it runs (a connection already closed,
// an executive being restarted) may differ from run to run; the action then
// does what fits or nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace chaos {

constexpr int kExecutives = 5;
constexpr int kClientSlots = 33;   // per executive: relay senders, receivers, members
constexpr int kGarbageSlots = 3;   // per executive
constexpr int kHostileSlots = 3;   // per executive: 33 + 3 + 3 = the 39 connections morva takes
constexpr int kRegistrySlots = 6;  // the registry's 20 connections less the executives'
constexpr int kHostileRegistrySlots = 4;  // and less these: 5 + 6 + 4, and one for rtichaos
constexpr int kHttpSlots = 4;             // per server's status endpoint
constexpr int kTickMs = 5;

enum class Kind : uint8_t {
    Open,            // open client slot (it asks 510 first: once answered it is live)
    Relay,           // a burst of numbered relays
    SplitRelay,      // one relay written in two pieces, the second after a pause (split or stall)
    BigRelay,        // one relay of 64 KiB to 1 MiB
    Request,         // 502, 506, 508, 510 or 512
    Join,            // 500
    Resign,          // 504 of its own handle: 505, then morva closes
    Disconnect,      // 516 of its own handle: morva closes
    OrphanReport,    // 517
    RollCall,        // 127
    RollAnswer,      // 129
    Drop,            // close: orderly, abortive (reset) or half-closed
    Pause,           // stop reading for 1 to 3 s, then read on
    StopReading,     // stop reading for good (morva cuts it off)
    Garbage,         // a garbage connection: random frames, malformed requests,
                     // a header over 16 MiB, a stall mid-frame, a close
    Registry,        // a short registry client: look-ups, lists, reservations, garbage
    MorvaConsole,    // list, orphan, ref, help, trace twice
    QuorvexConsole,  // list, ref, help
    Restart,         // SIGINT one executive, remove its entry, start it again
    // Hostile peers: each must harm nobody but itself.
    NonReader,         // pumps requests (510 to morva, 904 to quorvex) and never reads
    StrangerObituary,  // a registry client sends 908 for a live execution, then looks it up
    ForeignResign,     // 504 or 516 naming another connection's federate handle
    Silent,            // connects and never sends a byte
    HeaderBomb,        // an HTTP request whose headers never end (megabytes of them)
    Slowloris,         // two HTTP requests trickled one byte every 1.5 s
    HttpProbe,         // a plain GET /metrics, which must be answered in time
};
bool isHostile(Kind k);
const char* kindName(Kind k);

struct Action {
    uint32_t tick;
    Kind kind;
    uint8_t exec;
    uint8_t slot;
    uint32_t arg;
};

std::vector<Action> makeSchedule(uint64_t seed, int seconds);
// A digest of the schedule (FNV-1a over its actions), printed so two runs
// can be seen to have followed the same one.
uint64_t scheduleDigest(const std::vector<Action>& schedule);

}  // namespace chaos
