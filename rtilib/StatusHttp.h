// The optional status endpoint both servers can open: a small HTTP server on
// threads of its own that answers GET requests for a few fixed paths
// (metrics, a status document, a page), plus the helpers that render them.
//
// Off unless asked for: a server opens it only when its environment
// variable names an address (startFromEnvironment), so nothing changes for
// anyone who does not set it.
//
// Threads: start() binds on the calling thread and then serves on threads
// of the HTTP library (a listener and one thread per connection) plus a
// watchdog, all started with the asynchronous signals blocked (SIGINT keeps
// landing on the thread that waits for it). Handlers run on the connection
// threads, never on a server's reactor thread, so a handler that waits for
// its server holds up its own client only. stop() (or the destructor) ends
// every thread; the handlers and what they use must stay valid until it
// returns.
//
// Every request is bounded, whatever the client does: request line and
// headers at most kMaxHeaderBytes and kMaxHeaders (431 and close past
// either), kRequestSeconds from connecting to a complete request, and
// kIdleSeconds without progress at any point; each connection's memory is
// capped, so no request grows the process by more than a few pages. At most
// kPerAddress connections per client address and kMaxConnections in all:
// a newcomer past either cap closes the oldest connection that has not yet
// delivered its request (a newcomer only when there is none), so clients
// that trickle or sit idle cannot keep a quick one from being served, and
// the endpoint's descriptors stay bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace statushttp {

// Parses "HOST:PORT" ("[v6]:PORT" for an IPv6 address); PORT is decimal, 0
// to 65535, 0 meaning any free port. False, with `why`, for anything else.
bool parseAddress(const std::string& text, std::string& host, uint16_t& port, std::string& why);

// The address as printed: HOST:PORT, brackets around an IPv6 host.
std::string formatAddress(const std::string& host, uint16_t port);

struct Reply {
    int status = 200;
    std::string body;
};
using Params = std::multimap<std::string, std::string>;  // the query string
using Handler = std::function<Reply(const Params& query)>;

class StatusServer {
  public:
    static constexpr int kIdleSeconds = 2;                // without a byte in either direction
    static constexpr int kRequestSeconds = 10;            // from connecting to a complete request
    static constexpr size_t kMaxHeaderBytes = 16 * 1024;  // request line and headers
    static constexpr size_t kMaxHeaders = 64;
    static constexpr size_t kPerAddress = 8;
    static constexpr size_t kMaxConnections = 64;

    StatusServer();
    ~StatusServer();
    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

    // Answers GET `path` with `handler`'s reply. Call before start().
    void route(const std::string& path, const std::string& contentType, Handler handler);

    // Listens on host:port (0: any free port) and starts serving. False, with
    // `why`, when the host is unknown or the address cannot be bound.
    bool start(const std::string& host, uint16_t port, std::string& why);
    uint16_t port() const { return port_; }  // the bound port, once started
    // Stops serving and joins every thread; idempotent.
    void stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    uint16_t port_ = 0;
};

// What startFromEnvironment did; `line` is what the server should print.
enum class Started { off, listening, failed };

// Reads `variable`: absent or empty, nothing is opened and `line` stays
// empty (off). Otherwise starts `server` on that address: listening, with
// `line` = "LOG HTTP status on HOST:PORT"; or failed, with `line` =
// "ERR VARIABLE: cannot listen on 'TEXT': REASON".
Started startFromEnvironment(const char* variable, StatusServer& server, std::string& line);

// --- Rendering helpers ---------------------------------------------------

// The text exposition format: each family's HELP and TYPE lines, then its
// samples. Label values are escaped as the format requires.
class MetricsText {
  public:
    MetricsText& family(const std::string& name, const std::string& type, const std::string& help);
    // A sample of the current family (`labels` is "k=\"v\",..." or empty).
    MetricsText& sample(uint64_t value, const std::string& labels = "");
    // A label pair, value escaped: label("slot", "3") gives slot="3".
    static std::string label(const std::string& name, const std::string& value);
    const std::string& text() const { return text_; }

  private:
    std::string text_;
    std::string current_;
};

// The parts of a status page that differ between the servers. Every page
// has the same head, base style, element helper and refresh loop (fetching
// /status.json each second and handing it to the page's render(s)).
struct PageParts {
    const char* title;   // the server's program name
    const char* style;   // the page's own CSS rules, one or more lines
    const char* markup;  // the body's elements, before the script
    const char* script;  // the page's own functions, render(s) among them
    const char* server;  // what the page calls its server when it does not answer
};

// The whole page, ready to serve as text/html.
std::string statusPage(const PageParts& parts);

// `text` as a JSON string literal, quotes included: quotes, backslashes and
// control characters escaped; bytes that are not UTF-8 replaced by U+FFFD,
// so any name a client sent still makes a valid document.
std::string jsonString(const std::string& text);

}  // namespace statushttp
