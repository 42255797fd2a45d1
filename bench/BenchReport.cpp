#include "BenchReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

namespace bench {

namespace {

// How a figure appears in the table; figures not listed are in the JSON only.
struct Shown {
    const char* key;
    const char* label;
    double scale;
};
const Shown kShown[] = {
    {"msgs_per_s_per_receiver", "msgs/s per receiver", 1},
    {"mb_per_s", "MB/s delivered", 1},
    {"p50_us", "latency p50 us", 1},
    {"p99_us", "latency p99 us", 1},
    {"p999_us", "latency p99.9 us", 1},
    {"requests_per_s", "answers/s", 1},
    {"server_cpu_ns_per_request", "server CPU ns/answer", 1},
    {"cycles_per_s", "cycles/s", 1},
    {"server_cpu_us_per_cycle", "server CPU us/cycle", 1},
    {"server_cpu_ns_per_delivery", "server CPU ns/delivery", 1},
    {"idle_rss_kb", "idle RSS MiB", 1.0 / 1024},
    {"peak_rss_kb", "peak RSS MiB", 1.0 / 1024},
    {"morva_510_p50_ms", "morva 510 p50 ms", 1},
    {"morva_510_p99_ms", "morva 510 p99 ms", 1},
    {"morva_510_max_ms", "morva 510 max ms", 1},
    {"morva_510_timeouts", "morva 510 unanswered", 1},
    {"quorvex_904_p50_ms", "quorvex 904 p50 ms", 1},
    {"quorvex_904_p99_ms", "quorvex 904 p99 ms", 1},
    {"quorvex_904_max_ms", "quorvex 904 max ms", 1},
    {"quorvex_904_timeouts", "quorvex 904 unanswered", 1},
};

// A victim's percentile figure of a non-reader run ("morva_510_p99_ms"):
// the victim's key and the share, or false.
bool victimPercentile(const std::string& key, std::string& victim, double& p) {
    static const std::pair<const char*, double> kinds[] = {
        {"_p50_ms", 0.5}, {"_p99_ms", 0.99}, {"_max_ms", 1.0}};
    for (const auto& [suffix, share] : kinds) {
        const size_t n = std::strlen(suffix);
        if (key.size() > n && key.compare(key.size() - n, n, suffix) == 0) {
            victim = key.substr(0, key.size() - n);
            p = share;
            return true;
        }
    }
    return false;
}

std::string number(double v) {
    if (std::isnan(v)) return "-";
    char buf[32];
    const double a = std::fabs(v);
    std::snprintf(buf, sizeof buf, a >= 100 ? "%.0f" : a >= 10 ? "%.1f" : "%.2f", v);
    return buf;
}

double ratio(double a, double b) {
    if (std::isnan(a) || std::isnan(b) || b == 0) return std::numeric_limits<double>::quiet_NaN();
    return a / b;
}

std::vector<std::string> figureKeys(const ScenarioResult& s) {
    std::vector<std::string> keys;
    for (const auto& [target, runs] : s.runs) {
        for (const auto& r : runs) {
            for (const auto& f : r.figures) {
                if (std::find(keys.begin(), keys.end(), f.key) == keys.end()) keys.push_back(f.key);
            }
        }
    }
    return keys;
}

// --- A small JSON writer ----------------------------------------------------------

class Json {
  public:
    explicit Json(std::ostream& out) : out_(out) {}
    Json& open(char c) {
        sep();
        out_ << c;
        first_ = true;
        return *this;
    }
    Json& close(char c) {
        out_ << c;
        first_ = false;
        return *this;
    }
    Json& key(const std::string& k) {
        sep();
        str(k);
        out_ << ':';
        first_ = true;  // the value follows without a comma
        return *this;
    }
    Json& value(double v) {
        sep();
        if (std::isfinite(v)) {
            char buf[40];
            std::snprintf(buf, sizeof buf, "%.6g", v);
            out_ << buf;
        } else {
            out_ << "null";
        }
        return *this;
    }
    Json& value(const std::string& s) {
        sep();
        str(s);
        return *this;
    }
    Json& value(bool b) {
        sep();
        out_ << (b ? "true" : "false");
        return *this;
    }

  private:
    void sep() {
        if (!first_) out_ << ',';
        first_ = false;
    }
    void str(const std::string& s) {
        out_ << '"';
        for (const char c : s) {
            if (c == '"' || c == '\\') {
                out_ << '\\' << c;
            } else if (static_cast<unsigned char>(c) < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out_ << buf;
            } else {
                out_ << c;
            }
        }
        out_ << '"';
    }
    std::ostream& out_;
    bool first_ = true;
};

void writeRun(Json& j, const RunResult& r) {
    j.open('{').key("figures").open('{');
    for (const auto& f : r.figures) j.key(f.key).value(f.value);
    j.close('}');
    j.key("usage").open('{');
    j.key("wall_s").value(r.usage.wall);
    j.key("server_cpu_s").value(r.usage.server);
    j.key("generator_cpu_s").value(r.usage.generator);
    j.key("machine_busy_cpu_s").value(r.usage.machine);
    j.key("other_cpu_s").value(r.usage.other());
    j.key("other_share").value(r.usage.otherShare());
    j.close('}');
    j.key("generator_busiest_thread").value(r.generatorBusiest);
    j.close('}');
}

// Latency at chosen percentiles, for plotting a distribution: 0 (the
// least), then 1 - 10^(-k/10) up to 99.99 %, then 100 % (the most).
void writeDistribution(Json& j, const std::vector<double>& sorted) {
    j.open('[');
    if (!sorted.empty()) {
        for (int k = 0; k <= 40; ++k) {
            const double p = 1 - std::pow(10.0, -k / 10.0);
            const size_t i = std::min(sorted.size() - 1,
                                      static_cast<size_t>(p * static_cast<double>(sorted.size())));
            j.open('[').value(p * 100).value(sorted[i]).close(']');
        }
        j.open('[').value(100.0).value(sorted.back()).close(']');
    }
    j.close(']');
}

}  // namespace

double ScenarioResult::median(const std::string& target, const std::string& key) const {
    if (kind == "latency" && key.size() > 3 && key.compare(key.size() - 3, 3, "_us") == 0) {
        // Percentiles come from the latencies of all rounds together.
        const std::vector<double> all = pooledLatencies(target);
        if (all.empty()) return std::numeric_limits<double>::quiet_NaN();
        const double p = key == "p50_us"    ? 0.5
                         : key == "p99_us"  ? 0.99
                         : key == "p999_us" ? 0.999
                                            : 1.0;
        return all[std::min(all.size() - 1,
                            static_cast<size_t>(p * static_cast<double>(all.size())))];
    }
    std::string victim;
    double share = 0;
    if (kind == "nonreaders" && victimPercentile(key, victim, share)) {
        // Percentiles of the victim's answers of all rounds together.
        std::vector<double> all;
        const auto found = runs.find(target);
        if (found != runs.end()) {
            for (const auto& r : found->second) {
                const auto samples = r.samplesMs.find(victim);
                if (samples != r.samplesMs.end())
                    all.insert(all.end(), samples->second.begin(), samples->second.end());
            }
        }
        if (all.empty()) return std::numeric_limits<double>::quiet_NaN();
        std::sort(all.begin(), all.end());
        return share >= 1.0
                   ? all.back()
                   : all[std::min(all.size() - 1,
                                  static_cast<size_t>(share * static_cast<double>(all.size())))];
    }
    std::vector<double> v;
    const auto it = runs.find(target);
    if (it == runs.end()) return std::numeric_limits<double>::quiet_NaN();
    for (const auto& r : it->second) {
        for (const auto& f : r.figures) {
            if (f.key == key) v.push_back(f.value);
        }
    }
    if (v.empty()) return std::numeric_limits<double>::quiet_NaN();
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::vector<double> ScenarioResult::pooledLatencies(const std::string& target) const {
    std::vector<double> all;
    const auto it = runs.find(target);
    if (it == runs.end()) return all;
    for (const auto& r : it->second)
        all.insert(all.end(), r.latenciesUs.begin(), r.latenciesUs.end());
    std::sort(all.begin(), all.end());
    return all;
}

std::vector<std::string> runWarnings(const std::string& title, const std::string& target, int round,
                                     const RunResult& r) {
    std::vector<std::string> w;
    char buf[320];
    const std::string where = title + ", " + target + ", round " + std::to_string(round);
    if (r.usage.otherShare() > kBusyMachineShare) {
        std::snprintf(buf, sizeof buf,
                      "WARNING machine busy during %s: other processes used %.2f CPU-s in %.2f s "
                      "(%.0f%% of the machine)",
                      where.c_str(), r.usage.other(), r.usage.wall, r.usage.otherShare() * 100);
        w.push_back(buf);
    }
    // A generator thread busy all the time limits the figure only if the
    // server had time to spare meanwhile.
    const double serverShare = r.usage.wall > 0 ? r.usage.server / r.usage.wall : 0;
    if (r.generatorBusiest > kGeneratorSaturated && serverShare < kGeneratorSaturated) {
        std::snprintf(
            buf, sizeof buf,
            "WARNING generator busy during %s: a generator thread ran %.0f%% of the time, "
            "the server %.0f%% of one processor; the figure may be the generator's limit",
            where.c_str(), r.generatorBusiest * 100, serverShare * 100);
        w.push_back(buf);
    }
    return w;
}

void printTable(const Report& report, std::ostream& out) {
    const bool both = report.targets.size() == 2;
    const std::string product = "morva";
    const std::string reference = "reference";
    char line[256];
    std::snprintf(line, sizeof line, "%-28s %-24s %12s %12s %10s\n", "scenario", "figure",
                  product.c_str(), reference.c_str(), "morva/ref");
    out << "\nrelaybench, " << report.mode << " run, " << report.rounds
        << (report.rounds == 1 ? " round" : " rounds") << " (medians; latencies pooled)\n"
        << line;
    for (const ScenarioResult& s : report.scenarios) {
        const std::vector<std::string> keys = figureKeys(s);
        bool firstRow = true;
        for (const Shown& shown : kShown) {
            if (std::find(keys.begin(), keys.end(), shown.key) == keys.end()) continue;
            const double m = s.median(product, shown.key) * shown.scale;
            const double r = s.median(reference, shown.key) * shown.scale;
            const std::string title = firstRow ? s.title + (s.flagged ? " !" : "") : "";
            std::snprintf(line, sizeof line, "%-28s %-24s %12s %12s %10s\n", title.c_str(),
                          shown.label, number(m).c_str(), number(r).c_str(),
                          both ? number(ratio(m, r)).c_str() : "-");
            out << line;
            firstRow = false;
        }
    }
    if (!report.warnings.empty()) {
        out << "\n! marks scenarios with a warning:\n";
        for (const auto& w : report.warnings) out << w << "\n";
    }
    out.flush();
}

void writeJson(const Report& report, const std::string& path) {
    std::ostringstream text;
    Json j(text);
    j.open('{');
    j.key("tool").value(std::string("relaybench"));
    j.key("mode").value(report.mode);
    j.key("rounds").value(static_cast<double>(report.rounds));
    j.key("started_utc").value(report.startedUtc);
    j.key("seconds").value(report.seconds);
    j.key("machine").open('{');
    j.key("processors").value(static_cast<double>(report.machine.processors));
    j.key("cpu").value(report.machine.cpuModel);
    j.key("kernel").value(report.machine.kernel);
    j.close('}');
    j.key("targets").open('{');
    for (const auto& [label, text2] : report.targetDescriptions) j.key(label).value(text2);
    j.close('}');
    j.key("scenarios").open('[');
    for (const ScenarioResult& s : report.scenarios) {
        j.open('{');
        j.key("kind").value(s.kind);
        j.key("title").value(s.title);
        for (const auto& [k, v] : s.params) j.key(k).value(v);
        j.key("flagged").value(s.flagged);
        const std::vector<std::string> keys = figureKeys(s);
        for (const std::string& target : report.targets) {
            j.key(target).open('{').key("median").open('{');
            for (const auto& k : keys) j.key(k).value(s.median(target, k));
            j.close('}');
            if (s.kind == "latency") {
                j.key("distribution");
                writeDistribution(j, s.pooledLatencies(target));
            }
            j.key("runs").open('[');
            const auto it = s.runs.find(target);
            if (it != s.runs.end()) {
                for (const auto& r : it->second) writeRun(j, r);
            }
            j.close(']').close('}');
        }
        if (report.targets.size() == 2) {
            j.key("ratio").open('{');
            for (const auto& k : keys)
                j.key(k).value(ratio(s.median("morva", k), s.median("reference", k)));
            j.close('}');
        }
        j.close('}');
    }
    j.close(']');
    j.key("warnings").open('[');
    for (const auto& w : report.warnings) j.value(w);
    j.close(']');
    j.close('}');

    std::ofstream out(path, std::ios::trunc);
    out << text.str() << "\n";
    if (!out) fail("cannot write " + path);
}

}  // namespace bench
