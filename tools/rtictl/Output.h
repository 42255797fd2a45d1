// How rtictl prints results: readable lines by default, or with --json one
// JSON document per command (JSON Lines, one object per event, for the
// commands that stay joined). Errors always go to standard error as
// "ERR <class> [<serial>] <reason>"; with --json the error object is then
// the document on standard output. Every result is flushed at once, so a
// script reading a running `watch` sees each message as it arrives.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "Json.h"
#include "rticlient/Errors.h"
#include "rticlient/Types.h"

namespace rtictl {

// A failure as rtictl prints it: "<class> [<serial>] <reason>". A server's
// refusal keeps its own class, serial and reason; the client's own failures
// are RTI::RTIinternalError with a serial per kind (registry 24000-24006,
// executive 24100-24106: connect, send, timeout, connection lost, unknown
// request, unreadable answer, not connected) and a reason that names the
// client and the operation.
struct Failure {
    std::string className;
    uint32_t serial = 0;
    std::string reason;
};
Failure describe(const rticlient::Error& e);
// True for every failure but a server's refusal (a failure answer, or 1008).
bool isConnectionFailure(const rticlient::Error& e);

class Output {
  public:
    Output(bool json, std::ostream& out, std::ostream& err);

    bool json() const { return json_; }
    // One result: `human` (complete lines) or `obj`, depending on the mode.
    void result(const std::string& human, const JsonObject& obj);
    // A step on the way to a command's one result: readable output only.
    void note(const std::string& human);
    // A failure of the library: a server's refusal or the client's own.
    void error(const rticlient::Error& e);
    // A failure without an exception object.
    void error(const std::string& text);
    // An incoming message of the executive: relays, 132, 518, anything.
    void message(const rticlient::Message& m);

  private:
    bool json_;
    std::ostream& out_;
    std::ostream& err_;
};

// The one result of a list of names with references: a "name<TAB>reference"
// line each, or `none` when the list is empty; in JSON an array under `key`
// of the name, host and port of each.
template <class Entry>
void listResult(Output& out, const std::vector<Entry>& list, const std::string& none,
                JsonObject& obj, const std::string& key) {
    std::string human;
    std::vector<JsonObject> entries;
    for (const auto& e : list) {
        human += e.name + "\t" + e.ref.text() + "\n";
        entries.push_back(
            JsonObject().add("name", e.name).add("host", e.ref.host).add("port", e.ref.port));
    }
    if (entries.empty()) human = none;
    out.result(human, obj.add(key, entries));
}

// Payload bytes as lower-case hex, and as text when every byte is printable.
std::string toHex(const rticlient::Bytes& bytes, size_t begin, size_t end);
bool isPrintable(const rticlient::Bytes& bytes, size_t begin, size_t end);

}  // namespace rtictl
