// rtictl status: the whole site in one view. The registry's table (960)
// names every execution, reserved or registered; each registered one's
// executive is then asked for its federates (508), all at once, so that a
// site with several executives that do not answer still takes one timeout.
#include <sstream>
#include <thread>

#include "Commands.h"
#include "Session.h"

namespace rtictl {

namespace {

// What one executive said, or why it said nothing.
struct Probe {
    bool answered = false;
    RTIP::FederateList federates;
    std::string failureClass;  // empty for a failure without an exception
    uint32_t failureSerial = 0;
    std::string failureReason;
};

Probe probeExecutive(const RTIP::Reference& ref, std::chrono::milliseconds timeout) {
    Probe p;
    try {
        RTIP::ExecutiveClient client;
        client.setTimeout(timeout);
        client.connect(ref);
        p.federates = client.federateList();
        p.answered = true;
    } catch (const RTI::Exception& e) {
        p.failureClass = e.name();
        p.failureSerial = e.serial();
        p.failureReason = e.reason();
    } catch (const std::exception& e) {
        p.failureReason = e.what();
    }
    return p;
}

std::string refText(const RTIP::Reference& ref) {
    std::ostringstream s;
    s << ref;
    return s.str();
}

std::string failureText(const Probe& p) {
    if (p.failureClass.empty()) return p.failureReason;
    return p.failureClass + " [" + std::to_string(p.failureSerial) + "] " + p.failureReason;
}

JsonObject federateJson(const RTIP::FederateEntry& f) {
    return JsonObject()
        .add("name", std::string(f.name))
        .add("host", std::string(f.ref.host()))
        .add("port", f.ref.port());
}

}  // namespace

int runStatusCommand(const Options& o, Output& out) {
    const RTIP::ExecutionTable table = openRegistry(o)->executionTable();

    std::vector<Probe> probes(table.size());
    {
        std::vector<std::thread> threads;
        for (size_t i = 0; i < table.size(); ++i) {
            if (table[i].state != RTIP::ExecutionTableEntry::registered) continue;
            threads.emplace_back([&, i] { probes[i] = probeExecutive(table[i].ref, o.timeout); });
        }
        for (auto& t : threads) t.join();
    }

    const std::string registry = o.registry->host + ":" + std::to_string(o.registry->port);
    std::string human = "registry " + registry + ": " +
                        (table.empty() ? std::string("no executions")
                                       : std::to_string(table.size()) +
                                             (table.size() == 1 ? " execution" : " executions")) +
                        "\n";
    std::vector<JsonObject> executions;
    for (size_t i = 0; i < table.size(); ++i) {
        const RTIP::ExecutionTableEntry& e = table[i];
        JsonObject obj;
        obj.add("name", e.name);
        if (e.state == RTIP::ExecutionTableEntry::reserved) {
            human += e.name + "\treserved\n";
            executions.push_back(obj.add("state", "reserved"));
            continue;
        }
        obj.add("state", "registered")
            .add("host", std::string(e.ref.host()))
            .add("port", e.ref.port());
        human += e.name + "\tregistered\t" + refText(e.ref) + "\t";
        const Probe& p = probes[i];
        if (!p.answered) {
            const std::string obituary = "rtictl --registry " + registry + " obituary " + e.name;
            human += "unreachable: " + failureText(p) +
                     "\n\tif its executive has ended without an obituary (Ctrl-C, SIGINT), '" +
                     obituary + "' frees the name\n";
            JsonObject failure;
            if (!p.failureClass.empty()) {
                failure.add("class", p.failureClass).add("serial", p.failureSerial);
            }
            failure.add("reason", p.failureReason);
            executions.push_back(
                obj.add("reachable", false).add("error", failure).add("hint", obituary));
            continue;
        }
        const size_t n = p.federates.size();
        human += n == 0 ? "no joined federates\n"
                        : std::to_string(n) + (n == 1 ? " federate\n" : " federates\n");
        std::vector<JsonObject> federates;
        for (const auto& f : p.federates.entries()) {
            human += "\t" + std::string(f.name) + "\t" + refText(f.ref) + "\n";
            federates.push_back(federateJson(f));
        }
        executions.push_back(obj.add("reachable", true).add("federates", federates));
    }
    out.result(human, JsonObject()
                          .add("command", "status")
                          .add("registry", registry)
                          .add("executions", executions));
    return kExitOk;
}

}  // namespace rtictl
