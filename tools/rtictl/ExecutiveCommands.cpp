#include <algorithm>
#include <chrono>

#include "Commands.h"
#include "Session.h"

namespace rtictl {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kPollStep{200};

// Joins, printing the handle. Returns 0 (and prints the refusal) when the
// execution has no free handle.
uint16_t joinAs(const std::string& name, rticlient::Executive& client, Output& out) {
    uint16_t h = client.join(name);
    if (h == 0) {
        out.error("no free federate handle: the execution already has 20 federates");
        return 0;
    }
    out.result("joined as federate " + std::to_string(h) + "\n",
               JsonObject().add("command", "join").add("name", name).add("handle", h));
    return h;
}

void resign(uint16_t h, rticlient::Executive& client, Output& out) {
    client.resign(h);
    out.result("resigned federate " + std::to_string(h) + "\n",
               JsonObject().add("command", "resign").add("handle", h));
}

void sendOne(uint32_t type, const rticlient::Bytes& payload, rticlient::Executive& client,
             Output& out) {
    client.send(type, payload);
    out.result(
        "sent message " + std::to_string(type) + " length " + std::to_string(payload.size()) + "\n",
        JsonObject().add("command", "send").add("type", type).add("length", payload.size()));
}

// "TYPE[:TEXT]" from --send, or "TYPE [TEXT]" from an input line.
void sendDescribed(const std::string& described, char separator, rticlient::Executive& client,
                   Output& out) {
    auto sep = described.find(separator);
    uint32_t type = parseMessageType(described.substr(0, sep));
    std::string text = sep == std::string::npos ? "" : described.substr(sep + 1);
    // A line longer than any receiver takes is refused here, not sent.
    if (text.size() > rticlient::kMaxPayload) throw UsageError("payload longer than 16 MiB");
    sendOne(type, parsePayload(text, false), client, out);
}

// Stays joined as `h` until Ctrl-C, the end of input, or (watch) the bounds
// of --count and --seconds; then resigns.
int stayJoined(const Options& o, uint16_t h, rticlient::Executive& client, Output& out) {
    const bool isWatch = o.command == "watch";
    const bool show = isWatch || o.watch;
    // A bounded watch ignores its input, so it also runs with stdin closed.
    const bool useInput = !isWatch || (!o.count && !o.seconds);
    const auto deadline =
        o.seconds
            ? Clock::now() + std::chrono::milliseconds(static_cast<long long>(*o.seconds * 1000))
            : Clock::time_point::max();
    uint64_t shown = 0;
    StdinLines input;

    for (const auto& s : o.sends) sendDescribed(s, ':', client, out);
    for (;;) {
        if (interrupt::requested()) break;
        if (o.count && shown >= *o.count) break;
        auto now = Clock::now();
        if (now >= deadline) break;
        if (useInput) {
            std::vector<std::string> lines;
            bool open = input.poll(lines);
            for (const auto& line : lines) {
                if (line.empty() || isWatch) continue;
                try {
                    sendDescribed(line, ' ', client, out);
                } catch (const UsageError& e) {
                    out.error(std::string("input line ignored: ") + e.what());
                }
            }
            if (!open) break;
        }
        auto step = std::min<Clock::duration>(kPollStep, deadline - now);
        std::optional<rticlient::Message> m;
        try {
            m = client.receive(std::chrono::duration_cast<std::chrono::milliseconds>(step));
        } catch (const rticlient::ConnectionLost&) {
            out.error("the executive closed the connection");
            return kExitConnection;
        }
        if (m && show) {
            out.message(*m);
            ++shown;
        }
    }
    resign(h, client, out);
    return kExitOk;
}

}  // namespace

int runExecutiveCommand(const Options& o, Output& out) {
    rticlient::Executive client;
    connectExecutive(o, client);
    const std::string& cmd = o.command;
    JsonObject obj;
    obj.add("command", cmd);

    if (cmd == "join" || cmd == "watch") {
        interrupt::install();
        uint16_t h = joinAs(o.args[0], client, out);
        if (h == 0) return kExitRefused;
        return stayJoined(o, h, client, out);
    }
    if (cmd == "send") {
        // One result, also with --join: join and send are steps on its way.
        const uint32_t type = parseMessageType(o.args[0]);
        const rticlient::Bytes payload = parsePayload(o.args.size() > 1 ? o.args[1] : "", o.hex);
        const std::string sent = "sent message " + std::to_string(type) + " length " +
                                 std::to_string(payload.size()) + "\n";
        obj.add("type", type).add("length", payload.size());
        if (!o.joinAs) {
            client.send(type, payload);
            out.result(sent, obj);
            return kExitOk;
        }
        const uint16_t h = client.join(*o.joinAs);
        if (h == 0) {
            out.error("no free federate handle: the execution already has 20 federates");
            return kExitRefused;
        }
        out.note("joined as federate " + std::to_string(h) + "\n");
        client.send(type, payload);
        out.note(sent);
        client.resign(h);
        out.result("resigned federate " + std::to_string(h) + "\n",
                   obj.add("name", *o.joinAs).add("handle", h));
        return kExitOk;
    }
    if (cmd == "federates") {
        listResult(out, client.federateList(), "no joined federates\n", obj, "federates");
    } else if (cmd == "vector") {
        std::vector<uint64_t> joined;
        std::string text;
        for (uint16_t h : client.federateVector()) {
            joined.push_back(h);
            text += (text.empty() ? "" : " ") + std::to_string(h);
        }
        out.result("joined handles: " + (text.empty() ? std::string("none") : text) + "\n",
                   obj.add("joined", joined));
    } else if (cmd == "reference") {
        uint16_t h = parseHandle(o.args[0]);
        const rticlient::Reference ref = client.federateReference(h);
        out.result(ref.text() + "\n",
                   obj.add("handle", h).add("host", ref.host).add("port", ref.port));
    } else if (cmd == "number") {
        uint32_t n = client.allocateNumber();
        out.result(std::to_string(n) + "\n", obj.add("number", n));
    } else if (cmd == "address") {
        std::string a = client.bestEffortAddress().text();
        out.result(a + "\n", obj.add("address", a));
    } else if (cmd == "destroy") {
        client.destroy();
        out.result("execution destroyed\n", obj);
    }
    return kExitOk;
}

}  // namespace rtictl
