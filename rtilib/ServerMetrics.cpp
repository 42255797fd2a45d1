#include "ServerMetrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "MsgType.h"
#include "RtiVersion.h"

namespace servermetrics {

namespace {

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double clockSeconds(clockid_t clock) {
    timespec t{};
    if (::clock_gettime(clock, &t) != 0) return 0;
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The wall-clock time this process started: its start in clock ticks since
// boot (/proc/self/stat, field 22) placed on the wall clock through the
// boot-time clock, which /proc/stat's btime would need a wider /proc for.
double startTime() {
    std::ifstream in("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name (field 2) may hold blanks and parentheses: count from
    // its closing parenthesis, after which field 3 starts.
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    for (int i = 3; i < 22 && fields >> field; ++i) {
    }
    unsigned long long ticks = 0;
    const long perSecond = ::sysconf(_SC_CLK_TCK);
    if (!(fields >> ticks) || perSecond <= 0) return 0;
    const double boot = clockSeconds(CLOCK_REALTIME) - clockSeconds(CLOCK_BOOTTIME);
    return boot + static_cast<double>(ticks) / static_cast<double>(perSecond);
}

uint64_t countOpenFds() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return 0;
    uint64_t count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count > 0 ? count - 1 : 0;  // the directory's own descriptor
}

// One family with one unlabelled sample; `value` already formatted.
void family(std::string& out, const char* name, const char* type, const char* help,
            const std::string& value) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
           name + " " + value + "\n";
}

std::string decimal(double value, int places) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", places, value);
    return text;
}

}  // namespace

ProcessFigures readProcessFigures() {
    ProcessFigures f;
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) == 0) {
        f.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    }
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) f.maxFds = limit.rlim_cur;
    unsigned long long pages = 0, resident = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%llu %llu", &pages, &resident) == 2) {
            const long page = ::sysconf(_SC_PAGESIZE);
            f.virtualBytes = pages * static_cast<uint64_t>(page);
            f.residentBytes = resident * static_cast<uint64_t>(page);
        }
        std::fclose(statm);
    }
    f.openFds = countOpenFds();
    f.startTimeSeconds = startTime();
    return f;
}

std::string processFamilies(const ProcessFigures& f) {
    std::string out;
    family(out, "process_cpu_seconds_total", "counter",
           "Total user and system CPU time spent in seconds.", decimal(f.cpuSeconds, 6));
    family(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
           std::to_string(f.residentBytes));
    family(out, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.",
           std::to_string(f.virtualBytes));
    family(out, "process_open_fds", "gauge", "Number of open file descriptors.",
           std::to_string(f.openFds));
    family(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.",
           std::to_string(f.maxFds));
    family(out, "process_start_time_seconds", "gauge",
           "Start time of the process since unix epoch in seconds.",
           decimal(f.startTimeSeconds, 2));
    return out;
}

std::string serverFamilies(const std::string& prefix, uint64_t uptimeUs) {
    // Written out here rather than through the status endpoint's helpers, so
    // that this file needs nothing but rtilib. The version is digits and
    // dots: nothing in it needs escaping.
    const std::string info = prefix + "_build_info";
    std::string out = "# HELP " + info + " The version of the running " + prefix +
                      ", always 1.\n# TYPE " + info + " gauge\n" + info + "{version=\"" +
                      RTI_VERSION + "\"} 1\n";
    const std::string uptime = prefix + "_uptime_seconds";
    family(out, uptime.c_str(), "gauge", "Seconds since the server started.",
           decimal(static_cast<double>(uptimeUs) / 1e6, 3));
    return out;
}

const char* messageName(uint32_t type) {
    switch (type) {
        case msgJoinFederationExecution:
            return "msgJoinFederationExecution";
        case msgGetBestEffortAddress:
            return "msgGetBestEffortAddress";
        case msgResignFederationExecution:
            return "msgResignFederationExecution";
        case msgAllocateNumber:
            return "msgAllocateNumber";
        case msgGetFederateList:
            return "msgGetFederateList";
        case msgGetFederateVector:
            return "msgGetFederateVector";
        case msgGetFederateReference:
            return "msgGetFederateReference";
        case msgDestroyFederationExecution:
            return "msgDestroyFederationExecution";
        case msgDisconnectFederate:
            return "msgDisconnectFederate";
        case msgOrphanedAttributes:
            return "msgOrphanedAttributes";
        case msgAdoptOrphanedAttributes:
            return "msgAdoptOrphanedAttributes";
        case msgReserveFederationExecution:
            return "msgReserveFederationExecution";
        case msgRegisterFederationExecution:
            return "msgRegisterFederationExecution";
        case msgGetMorvaByName:
            return "msgGetMorvaByName";
        case msgGetAllFederationExecutions:
            return "msgGetAllFederationExecutions";
        case msgMorvaObituary:
            return "msgMorvaObituary";
        case msgGetExecutionTable:
            return "msgGetExecutionTable";
        default:
            return "other";
    }
}

}  // namespace servermetrics
