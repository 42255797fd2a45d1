// How rtictl prints results: readable lines by default, or with --json one
// JSON document per command (JSON Lines, one object per event, for the
// commands that stay joined). Errors always go to standard error as
// "ERR <class> [<serial>] <reason>"; with --json the error object is then
// the document on standard output. Every result is flushed at once, so a
// script reading a running `watch` sees each message as it arrives.
#pragma once

#include <iosfwd>
#include <sstream>
#include <string>
#include <vector>

#include "ExecutiveClient.h"
#include "Json.h"
#include "RTIexceptions.h"

namespace rtictl {

class Output {
  public:
    Output(bool json, std::ostream& out, std::ostream& err);

    bool json() const { return json_; }
    // One result: `human` (complete lines) or `obj`, depending on the mode.
    void result(const std::string& human, const JsonObject& obj);
    // A step on the way to a command's one result: readable output only.
    void note(const std::string& human);
    // An RTI exception (from a server or from the client itself).
    void error(const RTI::Exception& e);
    // A failure without an exception object.
    void error(const std::string& text);
    // An incoming message of the executive: relays, 132, 518, anything.
    void message(const RTIP::ExecutiveClient::Message& m);

  private:
    bool json_;
    std::ostream& out_;
    std::ostream& err_;
};

// A value as its operator<< prints it.
template <class T>
std::string printed(const T& value) {
    std::ostringstream s;
    s << value;
    return s.str();
}

// The one result of a list of names with references: a "name<TAB>reference"
// line each, or `none` when the list is empty; in JSON an array under `key`
// of the name, host and port of each.
template <class Entry>
void listResult(Output& out, const std::vector<Entry>& list, const std::string& none,
                JsonObject& obj, const std::string& key) {
    std::string human;
    std::vector<JsonObject> entries;
    for (const auto& e : list) {
        human += std::string(e.name) + "\t" + printed(e.ref) + "\n";
        entries.push_back(JsonObject()
                              .add("name", std::string(e.name))
                              .add("host", std::string(e.ref.host()))
                              .add("port", e.ref.port()));
    }
    if (entries.empty()) human = none;
    out.result(human, obj.add(key, entries));
}

// Payload bytes as lower-case hex, and as text when every byte is printable.
std::string toHex(const std::vector<char>& bytes, size_t begin, size_t end);
bool isPrintable(const std::vector<char>& bytes, size_t begin, size_t end);

}  // namespace rtictl
