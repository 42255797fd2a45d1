// The registry's status endpoint: the hand-off from the reactor thread, the
// snapshot, its renderings and the page.
#include "QuorvexStatus.h"

#include <cstdio>

#include "MsgType.h"
#include "QuorvexCommHandler.h"
#include "StatusHttp.h"

using statushttp::jsonString;
using statushttp::MetricsText;

// --- Counters --------------------------------------------------------------------

int QuorvexCounters::indexOf(uint32_t type) {
    if (type >= msgReserveFederationExecution && type <= msgMorvaObituary && type % 2 == 0) {
        return static_cast<int>(type - msgReserveFederationExecution) / 2;
    }
    return kKinds - 1;
}

const char* QuorvexCounters::label(int index) {
    static const char* const labels[kKinds] = {"900", "902", "904", "906", "908", "other"};
    return index >= 0 && index < kKinds ? labels[index] : "other";
}

// --- Hand-off ----------------------------------------------------------------------

StatusHandOff::StatusHandOff(ACE_Reactor& reactor, Take take)
    : reactor_(reactor), take_(std::move(take)) {}

bool StatusHandOff::request(QuorvexSnapshot& out, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_) return false;
    const uint64_t mine = ++asked_;
    if (!notified_) {
        notified_ = true;
        lock.unlock();
        ACE_Time_Value bound(1);  // a full notification pipe must not hold this thread
        const int rc = reactor_.notify(this, ACE_Event_Handler::EXCEPT_MASK, &bound);
        lock.lock();
        if (rc == -1) {
            notified_ = false;
            return false;
        }
    }
    if (!answered_.wait_for(lock, limit, [&] { return closed_ || served_ >= mine; }) || closed_) {
        // The reactor is busy or gone; the next request notifies it anew.
        notified_ = false;
        return false;
    }
    out = latest_;
    return true;
}

void StatusHandOff::close() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        closed_ = true;
    }
    answered_.notify_all();
}

int StatusHandOff::handle_exception(ACE_HANDLE) {
    uint64_t covers = 0;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (closed_) return 0;
        covers = asked_;
        notified_ = false;
    }
    QuorvexSnapshot snapshot = take_();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        latest_ = std::move(snapshot);
        served_ = covers;
    }
    answered_.notify_all();
    return 0;
}

// --- The registry's side -------------------------------------------------------------

QuorvexSnapshot QuorvexCommHandler::statusSnapshot() const {
    QuorvexSnapshot snap;
    for (const QuorvexImpl::Entry& entry : table_.entries()) {
        ExecutionStatus e;
        e.slot = entry.slot;
        e.name = entry.name;
        e.state = QuorvexImpl::stateName(entry.state);
        if (entry.state != QuorvexImpl::reserved) {
            const RTIP::Reference& ref = entry.reference;
            e.reference = std::string(ref.host()) + ":" + std::to_string(ref.port());
        }
        e.graceLeft = entry.graceLeft;
        snap.executions.push_back(std::move(e));
    }
    snap.connections = connectionCount_;
    snap.counters = counters_;
    snap.uptimeUs = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                              std::chrono::steady_clock::now() - started_)
                                              .count());
    return snap;
}

bool QuorvexCommHandler::startStatusHttp() {
    // Long enough for a reply stuck on its send timeout, short of a browser's patience.
    static constexpr std::chrono::milliseconds kWait{3000};
    auto handOff = std::make_unique<StatusHandOff>(reactor_, [this] { return statusSnapshot(); });
    auto server = std::make_unique<statushttp::StatusServer>();
    StatusHandOff* h = handOff.get();
    const auto busy = statushttp::Reply{503, "the registry did not answer in time\n"};
    server->route("/metrics", "text/plain; version=0.0.4; charset=utf-8", [h, busy](const auto&) {
        QuorvexSnapshot snap;
        return h->request(snap, kWait) ? statushttp::Reply{200, renderQuorvexMetrics(snap)} : busy;
    });
    server->route("/status.json", "application/json", [h, busy](const auto&) {
        QuorvexSnapshot snap;
        return h->request(snap, kWait) ? statushttp::Reply{200, renderQuorvexStatusJson(snap)}
                                       : busy;
    });
    server->route("/execution.json", "application/json", [h, busy](const statushttp::Params& q) {
        QuorvexSnapshot snap;
        if (!h->request(snap, kWait)) return busy;
        const auto name = q.find("name");
        for (const ExecutionStatus& e : snap.executions) {
            if (name != q.end() && e.name == name->second) {
                return statushttp::Reply{200, renderExecutionJson(e) + "\n"};
            }
        }
        return statushttp::Reply{404, "no such execution\n"};
    });
    server->route("/", "text/html; charset=utf-8", [](const auto&) {
        return statushttp::Reply{200, quorvexStatusPage()};
    });
    std::string line;
    const statushttp::Started started =
        statushttp::startFromEnvironment("QUORVEX_HTTP", *server, line);
    if (started == statushttp::Started::off) return true;
    out_ << line << std::endl;
    if (started == statushttp::Started::failed) return false;
    statusHandOff_ = std::move(handOff);
    statusHttp_ = std::move(server);
    return true;
}

void QuorvexCommHandler::stopStatusHttp() {
    if (!statusHttp_) return;
    statusHandOff_->close();  // waiting requests give up at once
    statusHttp_->stop();
    reactor_.purge_pending_notifications(statusHandOff_.get());
    statusHttp_.reset();
    statusHandOff_.reset();
}

// --- Metrics and document ------------------------------------------------------------

std::string renderQuorvexMetrics(const QuorvexSnapshot& snap) {
    uint64_t reserved = 0, registered = 0, lost = 0;
    for (const ExecutionStatus& e : snap.executions) {
        (e.state == "registered" ? registered : e.state == "lost" ? lost : reserved) += 1;
    }
    const QuorvexCounters& c = snap.counters;
    MetricsText m;
    m.family("quorvex_executions", "gauge", "Federation executions in the table, by state.")
        .sample(reserved, MetricsText::label("state", "reserved"))
        .sample(registered, MetricsText::label("state", "registered"))
        .sample(lost, MetricsText::label("state", "lost"));
    m.family("quorvex_executions_lost", "gauge",
             "Executions whose executive's connection was lost, still answered during the grace.")
        .sample(lost);
    m.family("quorvex_executions_lost_total", "counter",
             "Executions whose executive's connection was lost without an obituary.")
        .sample(c.lost);
    m.family("quorvex_connections", "gauge", "Open client connections.").sample(snap.connections);
    m.family("quorvex_connections_accepted_total", "counter", "Client connections accepted.")
        .sample(c.accepted);
    m.family("quorvex_requests_total", "counter",
             "Requests received, by type (\"other\": types the registry does not know).");
    for (int i = 0; i < QuorvexCounters::kKinds; ++i) {
        m.sample(c.requests[i], MetricsText::label("type", QuorvexCounters::label(i)));
    }
    m.family("quorvex_refusals_total", "counter",
             "Requests answered with a failure, by request type.");
    for (int i = 0; i < QuorvexCounters::kKinds; ++i) {
        m.sample(c.refusals[i], MetricsText::label("type", QuorvexCounters::label(i)));
    }
    m.family("quorvex_obituaries_total", "counter", "Obituaries received from executives.")
        .sample(c.obituaries);
    return m.text();
}

std::string renderExecutionJson(const ExecutionStatus& e) {
    std::string j = "{\"slot\":" + std::to_string(e.slot) + ",\"name\":" + jsonString(e.name) +
                    ",\"state\":" + jsonString(e.state) +
                    ",\"reference\":" + jsonString(e.reference);
    // Only a lost entry has a grace; the others keep the form readers know.
    if (e.state == "lost") j += ",\"graceLeftS\":" + std::to_string(e.graceLeft);
    return j + "}";
}

std::string renderQuorvexStatusJson(const QuorvexSnapshot& snap) {
    const QuorvexCounters& c = snap.counters;
    char uptime[32];
    std::snprintf(uptime, sizeof uptime, "%llu.%03llu",
                  static_cast<unsigned long long>(snap.uptimeUs / 1000),
                  static_cast<unsigned long long>(snap.uptimeUs % 1000));
    std::string j = "{\"server\":\"quorvex\",\"uptimeMs\":";
    j += uptime;
    j += ",\"connections\":" + std::to_string(snap.connections);
    j += ",\"accepted\":" + std::to_string(c.accepted);
    j += ",\"obituaries\":" + std::to_string(c.obituaries);
    j += ",\"lost\":" + std::to_string(c.lost);
    j += ",\"requests\":{";
    for (int i = 0; i < QuorvexCounters::kKinds; ++i) {
        j += std::string(i ? "," : "") + "\"" + QuorvexCounters::label(i) +
             "\":" + std::to_string(c.requests[i]);
    }
    j += "},\"refusals\":{";
    for (int i = 0; i < QuorvexCounters::kKinds; ++i) {
        j += std::string(i ? "," : "") + "\"" + QuorvexCounters::label(i) +
             "\":" + std::to_string(c.refusals[i]);
    }
    j += "},\"executions\":[";
    for (size_t i = 0; i < snap.executions.size(); ++i) {
        j += (i ? "," : "") + renderExecutionJson(snap.executions[i]);
    }
    return j + "]}\n";
}

// --- Page ------------------------------------------------------------------------------

// The page's own parts; statusPage adds what every status page shares.
constexpr const char* kPageStyle =
    R"PAGE(.state-reserved{color:#a06b00}.state-registered{color:#1d7a3a}.state-lost{color:#b3261e}
)PAGE";

constexpr const char* kPageMarkup = R"PAGE(<h1>Registry of federation executions</h1>
<div class="sub"><span id="state">loading</span></div>
<div class="cards">
<div class="card">registered<b id="registered">-</b></div>
<div class="card">reserved<b id="reserved">-</b></div>
<div class="card">connections<b id="connections">-</b></div>
<div class="card">requests /s<b id="requestRate">-</b></div>
<div class="card">refusals /s<b id="refusalRate">-</b></div>
<div class="card">obituaries<b id="obituaries">-</b></div>
</div>
<table>
<thead><tr><th class="num">slot</th><th>execution</th><th>state</th><th>executive at</th></tr></thead>
<tbody id="rows"></tbody>
</table>
)PAGE";

constexpr const char* kPageScript =
    R"PAGE(function sum(counts) { return Object.values(counts).reduce((a, b) => a + b, 0); }
function perSecond(s, key) {
  if (!previous) return "\u2026";
  const dt = (s.uptimeMs - previous.uptimeMs) / 1000;
  if (dt <= 0) return "\u2026";
  return (Math.max(0, sum(s[key]) - sum(previous[key])) / dt).toFixed(1) + "/s";
}
function render(s) {
  const registered = s.executions.filter(e => e.state !== "reserved").length;
  document.getElementById("registered").textContent = registered;
  document.getElementById("reserved").textContent = s.executions.length - registered;
  document.getElementById("connections").textContent = s.connections;
  document.getElementById("obituaries").textContent = s.obituaries;
  document.getElementById("requestRate").textContent = perSecond(s, "requests");
  document.getElementById("refusalRate").textContent = perSecond(s, "refusals");
  const body = document.getElementById("rows");
  body.replaceChildren();
  for (const e of s.executions) {
    const tr = el("tr");
    tr.dataset.execution = e.name;
    tr.appendChild(el("td", String(e.slot), "num"));
    const name = el("td");
    if (e.state !== "reserved") {
      const a = el("a", e.name);
      a.href = "/execution.json?name=" + encodeURIComponent(e.name);
      name.appendChild(a);
    } else {
      name.textContent = e.name;
    }
    tr.appendChild(name);
    const state = e.state === "lost" ? "lost (" + e.graceLeftS + " s left)" : e.state;
    tr.appendChild(el("td", state, "state-" + e.state));
    tr.appendChild(el("td", e.reference || "-", e.reference ? "" : "muted"));
    body.appendChild(tr);
  }
  previous = s;
}
)PAGE";

const char* quorvexStatusPage() {
    static const std::string page =
        statushttp::statusPage({"quorvex", kPageStyle, kPageMarkup, kPageScript, "registry"});
    return page.c_str();
}
