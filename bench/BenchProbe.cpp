#include "BenchProbe.h"

#include <sys/resource.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>

namespace bench {

namespace {

double ticksPerSecond() {
    static const double hz = static_cast<double>(sysconf(_SC_CLK_TCK));
    return hz;
}

double seconds(const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; }

}  // namespace

double processCpuSeconds(pid_t pid) {
    if (pid <= 0) return -1;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return -1;
    // The command name may hold blanks and parentheses: fields start after the last ')'.
    const size_t close = line.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(line.substr(close + 2));
    std::string skip;
    for (int i = 3; i <= 13; ++i) fields >> skip;  // state .. cmajflt
    unsigned long long utime = 0, stime = 0;
    if (!(fields >> utime >> stime)) return -1;
    return static_cast<double>(utime + stime) / ticksPerSecond();
}

long residentKb(pid_t pid) {
    if (pid <= 0) return -1;
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
    }
    return -1;
}

double selfCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return seconds(ru.ru_utime) + seconds(ru.ru_stime);
}

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double machineIdleSeconds() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    in >> cpu;  // the "cpu" line sums all processors
    unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0;
    in >> user >> nice >> system >> idle >> iowait;
    return static_cast<double>(idle + iowait) / ticksPerSecond();
}

int processorCount() {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

MachineInfo machineInfo() {
    MachineInfo m;
    m.processors = processorCount();
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 10, "model name") == 0) {
            const size_t colon = line.find(':');
            m.cpuModel = colon == std::string::npos ? "" : line.substr(colon + 2);
            break;
        }
    }
    utsname u{};
    if (uname(&u) == 0) m.kernel = std::string(u.sysname) + " " + u.release + " " + u.machine;
    return m;
}

RssSampler::RssSampler(pid_t pid, int periodMs) : pid_(pid) {
    if (pid_ <= 0) return;
    peak_ = residentKb(pid_);
    thread_ = std::thread([this, periodMs] {
        while (!stop_.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
            const long kb = residentKb(pid_);
            if (kb > peak_.load()) peak_ = kb;
        }
    });
}

long RssSampler::stop() {
    if (thread_.joinable()) {
        stop_ = true;
        thread_.join();
        peak_ = std::max(peak_.load(), residentKb(pid_));
    }
    return peak_;
}

double Usage::otherShare() const { return wall > 0 ? other() / (wall * processorCount()) : 0; }

UsageWindow::UsageWindow(pid_t server)
    : server_(server),
      wall0_(nowNs()),
      server0_(processCpuSeconds(server)),
      self0_(selfCpuSeconds()),
      idle0_(machineIdleSeconds()) {}

Usage UsageWindow::finish() const {
    Usage u;
    u.wall = static_cast<double>(nowNs() - wall0_) / 1e9;
    const double s = processCpuSeconds(server_);
    u.server = s >= 0 && server0_ >= 0 ? s - server0_ : 0;
    u.generator = selfCpuSeconds() - self0_;
    u.machine = u.wall * processorCount() - (machineIdleSeconds() - idle0_);
    return u;
}

}  // namespace bench
