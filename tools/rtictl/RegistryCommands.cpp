#include <sstream>

#include "Commands.h"
#include "Session.h"

namespace rtictl {

namespace {

std::string refText(const RTIP::Reference& ref) {
    std::ostringstream s;
    s << ref;
    return s.str();
}

}  // namespace

int runRegistryCommand(const Options& o, Output& out) {
    auto registry = openRegistry(o);
    const std::string& cmd = o.command;
    JsonObject obj;
    obj.add("command", cmd);

    if (cmd == "reserve") {
        registry->reserve(o.args[0]);
        out.result("reserved " + o.args[0] + "\n", obj.add("name", o.args[0]));
    } else if (cmd == "register") {
        Endpoint ep = parseEndpoint(o.args[1], "reference");
        RTIP::Reference ref(ep.port, ep.host.c_str());
        RTIP::BestEffortAddress addr = registry->registerExecution(o.args[0], ref);
        std::ostringstream a;
        a << addr;
        out.result("registered " + o.args[0] + " at " + refText(ref) + ", best-effort address " +
                       a.str() + "\n",
                   obj.add("name", o.args[0])
                       .add("host", std::string(ref.host()))
                       .add("port", ref.port())
                       .add("address", a.str()));
    } else if (cmd == "lookup") {
        RTIP::Reference ref = registry->lookup(o.args[0]);
        obj.add("name", o.args[0]).add("host", std::string(ref.host())).add("port", ref.port());
        out.result(refText(ref) + "\n", obj);
    } else if (cmd == "list") {
        RTIP::FederationExecutionList list = registry->list();
        std::string human;
        std::vector<JsonObject> entries;
        for (const auto& e : list.entries()) {
            human += std::string(e.name) + "\t" + refText(e.ref) + "\n";
            entries.push_back(JsonObject()
                                  .add("name", std::string(e.name))
                                  .add("host", std::string(e.ref.host()))
                                  .add("port", e.ref.port()));
        }
        if (list.size() == 0) human = "no registered executions\n";
        out.result(human, obj.add("executions", entries));
    } else if (cmd == "obituary") {
        registry->obituary(o.args[0]);
        out.result("obituary sent for " + o.args[0] + "\n", obj.add("name", o.args[0]));
    }
    return kExitOk;
}

}  // namespace rtictl
