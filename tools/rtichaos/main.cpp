// rtichaos: a chaos and soak run against a whole site over loopback.
//
//   rtichaos [--seed N] [--seconds N] [--bin DIR] [--rss-slack-mib N] [--no-hostile]
//            [--scenario chaos|site]
//
// Exit status 0 when every check held, 1 when one failed, 2 on a usage
// error or when the site could not be started.
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "Chaos.h"
#include "Platform.h"

namespace {

int usage() {
    std::cerr << "usage: rtichaos [--seed N] [--seconds N] [--bin DIR] [--rss-slack-mib N]\n"
                 "                [--no-hostile] [--scenario chaos|site]\n";
    return 2;
}

std::string ownFolder() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = '\0';
    std::string p(path);
    return p.substr(0, p.rfind('/'));
}

}  // namespace

int main(int argc, char** argv) {
    platform::ignoreSigpipe();
    chaos::Options o;
    o.binDir = ownFolder();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        unsigned long v = 0;
        auto value = [&](unsigned long min, unsigned long max) {
            return i + 1 < argc && platform::parseDecimal(argv[++i], min, max, v);
        };
        if (a == "--seed") {
            if (!value(0, ULONG_MAX)) return usage();
            o.seed = v;
        } else if (a == "--seconds") {
            if (!value(1, 24 * 3600)) return usage();
            o.seconds = static_cast<int>(v);
        } else if (a == "--rss-slack-mib") {
            if (!value(0, 4096)) return usage();
            o.residentSlackKiB = static_cast<long>(v) * 1024;
        } else if (a == "--no-hostile") {
            o.hostile = false;
        } else if (a == "--scenario" && i + 1 < argc) {
            o.scenario = argv[++i];
            if (o.scenario != "chaos" && o.scenario != "site") return usage();
        } else if (a == "--bin" && i + 1 < argc) {
            o.binDir = argv[++i];
        } else {
            return usage();
        }
    }
    // The site scenario is about crashes and restarts alone.
    if (o.scenario == "site") o.hostile = false;
    return chaos::run(o);
}
