// What the benchmark reads from /proc while a run goes on: the CPU time of
// the server under test, of the generator itself and of the whole machine,
// and the server's resident memory.
//
// CPU accounting of one run (UsageWindow): the machine's busy time (from the
// idle time in /proc/stat) minus what the generator (getrusage) and the
// server under test (/proc/PID/stat) used is what everything else on the
// machine took. When
// that share is large the figures of the run are not to be trusted, and the
// suite says so.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <thread>

#include "BenchNet.h"

namespace bench {

// utime + stime of a process (all its threads, live and ended), in seconds;
// negative when it cannot be read (no pid, or the process is gone).
double processCpuSeconds(pid_t pid);
// VmRSS in KiB; negative when it cannot be read.
long residentKb(pid_t pid);
// This process, all threads (getrusage).
double selfCpuSeconds();
// The calling thread.
double threadCpuSeconds();
// Idle time (with iowait) of all processors together since boot, from
// /proc/stat, in seconds. The kernel keeps idle time exactly (the busy
// columns are sampled at clock ticks), so a run's busy time is its wall
// time on every processor minus this.
double machineIdleSeconds();
int processorCount();

struct MachineInfo {
    int processors = 0;
    std::string cpuModel;
    std::string kernel;
};
MachineInfo machineInfo();

// Samples the server's VmRSS every `periodMs` on a thread of its own until
// stop(); the peak is the largest sample (and the first and last reading).
class RssSampler {
  public:
    RssSampler(pid_t pid, int periodMs);
    ~RssSampler() { stop(); }
    RssSampler(const RssSampler&) = delete;
    RssSampler& operator=(const RssSampler&) = delete;
    long stop();  // the peak in KiB (negative without a pid)

  private:
    pid_t pid_;
    std::atomic<bool> stop_{false};
    std::atomic<long> peak_{-1};
    std::thread thread_;
};

struct Usage {
    double wall = 0;       // seconds
    double server = 0;     // CPU seconds of the server under test
    double generator = 0;  // CPU seconds of this process
    double machine = 0;    // busy CPU seconds of the whole machine
    double other() const { return machine - server - generator; }
    // Share of the machine's capacity (wall x processors) the others took.
    double otherShare() const;
};

class UsageWindow {
  public:
    explicit UsageWindow(pid_t server);
    Usage finish() const;

  private:
    pid_t server_;
    Ns wall0_;
    double server0_, self0_, idle0_;
};

}  // namespace bench
