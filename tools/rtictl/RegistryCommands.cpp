#include "Commands.h"
#include "Session.h"

namespace rtictl {

int runRegistryCommand(const Options& o, Output& out) {
    rticlient::Registry registry = openRegistry(o);
    const std::string& cmd = o.command;
    JsonObject obj;
    obj.add("command", cmd);

    if (cmd == "reserve") {
        registry.reserve(o.args[0]);
        out.result("reserved " + o.args[0] + "\n", obj.add("name", o.args[0]));
    } else if (cmd == "register") {
        Endpoint ep = parseEndpoint(o.args[1], "reference");
        const rticlient::Reference ref{ep.host, ep.port};
        const std::string address = registry.registerExecution(o.args[0], ref).text();
        out.result("registered " + o.args[0] + " at " + ref.text() + ", best-effort address " +
                       address + "\n",
                   obj.add("name", o.args[0])
                       .add("host", ref.host)
                       .add("port", ref.port)
                       .add("address", address));
    } else if (cmd == "lookup") {
        const rticlient::Reference ref = registry.lookup(o.args[0]);
        obj.add("name", o.args[0]).add("host", ref.host).add("port", ref.port);
        out.result(ref.text() + "\n", obj);
    } else if (cmd == "list") {
        listResult(out, registry.list(), "no registered executions\n", obj, "executions");
    } else if (cmd == "obituary") {
        registry.obituary(o.args[0]);
        out.result("obituary sent for " + o.args[0] + "\n", obj.add("name", o.args[0]));
    }
    return kExitOk;
}

}  // namespace rtictl
