// rtictl status: the whole site in one view. The registry's table (960,
// extended form: lost entries with their grace) names every execution; each
// registered or lost one's executive is then asked for its federates (508),
// all at once, so that a site with several executives that do not answer
// still takes one timeout. What each probe saw is said as it was (refused,
// timed out, unresolvable, ...): a name is never advised to be freed, since
// an executive out of reach from here may still be running.
#include <thread>

#include "Commands.h"
#include "Session.h"

namespace rtictl {

namespace {

using rticlient::TableEntry;

// What one executive said, or why it said nothing.
struct Probe {
    bool answered = false;
    std::vector<rticlient::FederateEntry> federates;
    std::string seen;  // what stopped the probe: "refused", "timed out", ...
    std::string code;  // the same for scripts: "refused", "timed-out", ...
    bool hasFailure = false;
    Failure failure;
    std::string reason;  // a failure outside the library (no class, no serial)
};

void classify(const rticlient::Error& e, Probe& p) {
    using Cause = rticlient::ConnectError::Cause;
    p.hasFailure = true;
    p.failure = describe(e);
    auto say = [&p](const char* seen, const char* code) {
        p.seen = seen;
        p.code = code;
    };
    if (auto c = dynamic_cast<const rticlient::ConnectError*>(&e)) {
        switch (c->cause()) {
            case Cause::Refused:
                return say("connection refused", "refused");
            case Cause::TimedOut:
                return say("timed out", "timed-out");
            case Cause::Unresolvable:
                return say("host does not resolve", "unresolvable");
            case Cause::Other:
                return say("cannot connect", "cannot-connect");
        }
    }
    if (dynamic_cast<const rticlient::Timeout*>(&e)) return say("timed out", "timed-out");
    if (dynamic_cast<const rticlient::ConnectionLost*>(&e)) {
        return say("connection lost", "connection-lost");
    }
    if (dynamic_cast<const rticlient::RTIError*>(&e)) {
        return say("failure answer", "failure-answer");
    }
    say("unreadable answer", "unreadable");
}

Probe probeExecutive(const rticlient::Reference& ref, std::chrono::milliseconds timeout) {
    Probe p;
    try {
        rticlient::Executive client(ref.host, ref.port, timeout);
        p.federates = client.federateList();
        p.answered = true;
    } catch (const rticlient::Error& e) {
        classify(e, p);
    } catch (const std::exception& e) {
        p.seen = "failed";
        p.code = "failed";
        p.reason = e.what();
    }
    return p;
}

std::string failureText(const Probe& p) {
    if (!p.hasFailure) return p.reason;
    return p.failure.className + " [" + std::to_string(p.failure.serial) + "] " + p.failure.reason;
}

JsonObject federateJson(const rticlient::FederateEntry& f) {
    return JsonObject().add("name", f.name).add("host", f.ref.host).add("port", f.ref.port);
}

// The probe's result: after the entry's line in `human`, into `obj`.
void describeProbe(const Probe& p, std::string& human, JsonObject& obj) {
    if (!p.answered) {
        human += "unreachable (" + p.seen + "): " + failureText(p) + "\n";
        JsonObject failure;
        if (p.hasFailure) {
            failure.add("class", p.failure.className)
                .add("serial", p.failure.serial)
                .add("reason", p.failure.reason);
        } else {
            failure.add("reason", p.reason);
        }
        obj.add("reachable", false).add("failure", p.code).add("error", failure);
        return;
    }
    const size_t n = p.federates.size();
    human += n == 0 ? "no joined federates\n"
                    : std::to_string(n) + (n == 1 ? " federate\n" : " federates\n");
    std::vector<JsonObject> federates;
    for (const auto& f : p.federates) {
        human += "\t" + f.name + "\t" + f.ref.text() + "\n";
        federates.push_back(federateJson(f));
    }
    obj.add("reachable", true).add("federates", federates);
}

}  // namespace

int runStatusCommand(const Options& o, Output& out) {
    const rticlient::ExecutionTable table = openRegistry(o).executionTable();
    const std::vector<TableEntry>& entries = table.entries;

    std::vector<Probe> probes(entries.size());
    {
        std::vector<std::thread> threads;
        for (size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].state == TableEntry::State::Reserved) continue;
            threads.emplace_back([&, i] { probes[i] = probeExecutive(entries[i].ref, o.timeout); });
        }
        for (auto& t : threads) t.join();
    }

    const std::string registry = o.registry->host + ":" + std::to_string(o.registry->port);
    std::string human =
        "registry " + registry + ": " +
        (entries.empty() ? std::string("no executions")
                         : std::to_string(entries.size()) +
                               (entries.size() == 1 ? " execution" : " executions")) +
        "\n";
    std::vector<JsonObject> executions;
    for (size_t i = 0; i < entries.size(); ++i) {
        const TableEntry& e = entries[i];
        JsonObject obj;
        obj.add("name", e.name);
        if (e.state == TableEntry::State::Reserved) {
            human += e.name + "\treserved\n";
            executions.push_back(obj.add("state", "reserved"));
            continue;
        }
        const bool lost = e.state == TableEntry::State::Lost;
        obj.add("state", lost ? "lost" : "registered")
            .add("host", e.ref.host)
            .add("port", e.ref.port);
        if (lost) obj.add("graceSeconds", e.graceSeconds);
        human += e.name + (lost ? "\tlost\t" : "\tregistered\t") + e.ref.text() + "\t";
        describeProbe(probes[i], human, obj);
        if (lost) {
            human += "\tthe registry lost its executive's connection; it frees the name in " +
                     std::to_string(e.graceSeconds) + " s unless the executive registers again\n";
        }
        executions.push_back(obj);
    }
    out.result(human, JsonObject()
                          .add("command", "status")
                          .add("registry", registry)
                          .add("executions", executions));
    return kExitOk;
}

}  // namespace rtictl
