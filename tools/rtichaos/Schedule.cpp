#include "Schedule.h"

#include <random>

namespace chaos {

const char* kindName(Kind k) {
    switch (k) {
        case Kind::Open:
            return "open";
        case Kind::Relay:
            return "relay";
        case Kind::SplitRelay:
            return "split-relay";
        case Kind::BigRelay:
            return "big-relay";
        case Kind::Request:
            return "request";
        case Kind::Join:
            return "join";
        case Kind::Resign:
            return "resign";
        case Kind::Disconnect:
            return "disconnect";
        case Kind::OrphanReport:
            return "orphan-report";
        case Kind::RollCall:
            return "roll-call";
        case Kind::RollAnswer:
            return "roll-answer";
        case Kind::Drop:
            return "drop";
        case Kind::Pause:
            return "pause";
        case Kind::StopReading:
            return "stop-reading";
        case Kind::Garbage:
            return "garbage";
        case Kind::Registry:
            return "registry";
        case Kind::MorvaConsole:
            return "morva-console";
        case Kind::QuorvexConsole:
            return "quorvex-console";
        case Kind::Restart:
            return "restart";
        case Kind::NonReader:
            return "non-reader";
        case Kind::StrangerObituary:
            return "stranger-obituary";
        case Kind::ForeignResign:
            return "foreign-resign";
        case Kind::Silent:
            return "silent";
        case Kind::HeaderBomb:
            return "header-bomb";
        case Kind::Slowloris:
            return "slowloris";
        case Kind::HttpProbe:
            return "http-probe";
    }
    return "?";
}

bool isHostile(Kind k) { return k >= Kind::NonReader; }

std::vector<Action> makeSchedule(uint64_t seed, int seconds) {
    // Weights in tenths of a percent of the ticks.
    struct Weight {
        Kind kind;
        int perMille;
    };
    static const Weight weights[] = {
        {Kind::Open, 200},
        {Kind::Relay, 300},
        {Kind::SplitRelay, 40},
        {Kind::BigRelay, 2},
        {Kind::Request, 120},
        {Kind::Join, 60},
        {Kind::Resign, 15},
        {Kind::Disconnect, 8},
        {Kind::OrphanReport, 30},
        {Kind::RollCall, 12},
        {Kind::RollAnswer, 20},
        {Kind::Drop, 80},
        {Kind::Pause, 10},
        {Kind::StopReading, 1},
        {Kind::Garbage, 40},
        {Kind::Registry, 30},
        {Kind::MorvaConsole, 10},
        {Kind::QuorvexConsole, 6},
        // About one hostile peer a second, of each kind every 10 to 30 s.
        {Kind::NonReader, 2},
        {Kind::StrangerObituary, 1},
        {Kind::ForeignResign, 2},
        {Kind::Silent, 1},
        {Kind::HeaderBomb, 1},
        {Kind::Slowloris, 1},
        {Kind::HttpProbe, 3},
    };
    int total = 0;
    for (const Weight& w : weights) total += w.perMille;

    std::mt19937_64 rng(seed);
    std::vector<Action> schedule;
    const uint32_t ticks = static_cast<uint32_t>(seconds) * (1000 / kTickMs);
    const uint32_t restartEvery = 20 * (1000 / kTickMs);
    const uint32_t quietTail = 10 * (1000 / kTickMs);  // no restart in the last 10 s
    for (uint32_t t = 0; t < ticks; ++t) {
        Action a{};
        a.tick = t;
        a.exec = static_cast<uint8_t>(rng() % kExecutives);
        a.slot = static_cast<uint8_t>(rng() % kClientSlots);
        a.arg = static_cast<uint32_t>(rng());
        if (t % restartEvery == restartEvery / 2 && t + quietTail < ticks) {
            a.kind = Kind::Restart;
            // chaos0 is never restarted: one executive lives through the
            // whole run, so what it holds at the end says something.
            a.exec = static_cast<uint8_t>(1 + (t / restartEvery) % (kExecutives - 1));
        } else {
            int pick = static_cast<int>(rng() % static_cast<uint64_t>(total));
            for (const Weight& w : weights) {
                if (pick < w.perMille) {
                    a.kind = w.kind;
                    break;
                }
                pick -= w.perMille;
            }
        }
        if (a.kind == Kind::Garbage) a.slot %= kGarbageSlots;
        if (a.kind == Kind::Registry) a.slot %= kRegistrySlots;
        if (isHostile(a.kind)) a.slot %= kHostileSlots;
        schedule.push_back(a);
    }
    return schedule;
}

uint64_t scheduleDigest(const std::vector<Action>& schedule) {
    uint64_t h = 1469598103934665603ull;
    auto mix = [&h](uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            h ^= (v >> (8 * i)) & 0xff;
            h *= 1099511628211ull;
        }
    };
    for (const Action& a : schedule) {
        mix(a.tick, 4);
        mix(static_cast<uint8_t>(a.kind), 1);
        mix(a.exec, 1);
        mix(a.slot, 1);
        mix(a.arg, 4);
    }
    return h;
}

}  // namespace chaos
