// The executive's status endpoint: the snapshot (one short hold of the
// federation lock), the metrics and the status document rendered from it
// outside the lock, and the page that shows the document.
#include "MorvaStatus.h"

#include <ace/INET_Addr.h>

#include <cstdio>

#include "Log.h"
#include "RTIMorvaImpl.h"
#include "ServerMetrics.h"
#include "StatusHttp.h"

using statushttp::jsonString;
using statushttp::MetricsText;

// --- Snapshot ------------------------------------------------------------------

void RTIMorvaCommHandler::connectionSnapshot(std::vector<morva::ConnectionStatus>& out) {
    for (int i = 1; i < kSlots; ++i) {
        const ConnectionSlot& s = slots_[i];
        if (!s.inUse) continue;
        morva::ConnectionStatus c;
        c.slot = i;
        c.messagesIn = s.messagesIn;
        c.answersOut = s.answersOut;
        ACE_INET_Addr peer;
        char host[INET6_ADDRSTRLEN] = "";
        // Numeric: a name lookup could wait on the resolver with the lock held.
        if (s.stream.get_remote_addr(peer) == 0 && peer.get_host_addr(host, sizeof host)) {
            c.peer = std::string(host) + ":" + std::to_string(peer.get_port_number());
        }
        c.queue = federateQueues_.readerStats(i);
        out.push_back(std::move(c));
    }
}

morva::MorvaSnapshot RTIMorvaImpl::statusSnapshot() {
    morva::MorvaSnapshot snap;
    snap.slots.reserve(kSlots);
    {
        std::lock_guard<std::recursive_mutex> guard(federationLock());
        snap.execution = state_.federationName();
        snap.reference = reference_;
        snap.connections = connectionCount();
        snap.federates = state_.joinedCount();
        snap.orphans = orphans_.orphanCount();
        connectionSnapshot(snap.slots);
        for (morva::ConnectionStatus& c : snap.slots) {
            c.handle = state_.handleOn(c.slot);
            if (const char* name = c.handle != 0 ? state_.getFederateName(c.handle) : nullptr) {
                c.name = name;
            }
        }
    }
    const auto elapsed = std::chrono::steady_clock::now() - started_;
    snap.uptimeUs = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
    return snap;
}

bool RTIMorvaImpl::startStatusHttp() {
    auto server = std::make_unique<statushttp::StatusServer>();
    server->route("/metrics", "text/plain; version=0.0.4; charset=utf-8", [this](const auto&) {
        const morva::MorvaSnapshot snap = statusSnapshot();
        return statushttp::Reply{200, morva::renderMetrics(snap, counters_, queueTotals())};
    });
    server->route("/status.json", "application/json", [this](const auto&) {
        const morva::MorvaSnapshot snap = statusSnapshot();
        return statushttp::Reply{200, morva::renderStatusJson(snap, counters_, queueTotals())};
    });
    server->route("/", "text/html; charset=utf-8", [](const auto&) {
        return statushttp::Reply{200, morva::morvaStatusPage()};
    });
    std::string line;
    switch (statushttp::startFromEnvironment("MORVA_HTTP", *server, line)) {
        case statushttp::Started::off:
            return true;
        case statushttp::Started::failed:
            morva::ErrLine() << line;
            return false;
        case statushttp::Started::listening:
            break;
    }
    statusHttp_ = std::move(server);
    morva::OutLine() << line;
    return true;
}

namespace morva {

namespace {

constexpr uint32_t kAnsweredTypes[] = {500, 502, 504, 506, 508, 510, 512, 514};

// type="500",name="msgJoinFederationExecution": the number dashboards
// already select on, and the request's name beside it.
std::string requestLabels(uint32_t type) {
    return MetricsText::label("type", std::to_string(type)) + "," +
           MetricsText::label("name", servermetrics::messageName(type));
}

std::string microsAsMillis(uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%03llu", static_cast<unsigned long long>(us / 1000),
                  static_cast<unsigned long long>(us % 1000));
    return text;
}

}  // namespace

// --- Metrics -------------------------------------------------------------------

std::string renderMetrics(const MorvaSnapshot& snap, const MorvaCounters& c,
                          const MorvaAllocatorStrategy::Totals& queues) {
    MetricsText m;
    m.family("morva_connections", "gauge", "Open connections.").sample(snap.connections);
    m.family("morva_connections_accepted_total", "counter", "Connections accepted.")
        .sample(c.accepted.get());
    m.family("morva_connections_lost_total", "counter",
             "Connections found ended or broken while reading: closed by the far side, or shut "
             "down after a failed send, a cut-off or the console's remove.")
        .sample(c.lost.get());
    m.family("morva_federates", "gauge", "Joined federates.").sample(snap.federates);
    m.family("morva_messages_received_total", "counter",
             "Messages received, by kind: requests to the executive (500 to 517), relayed "
             "messages, federation messages (roll call and roster).")
        .sample(c.requestsReceived.get(), MetricsText::label("kind", "request"))
        .sample(c.relaysReceived.get(), MetricsText::label("kind", "relay"))
        .sample(c.federationReceived.get(), MetricsText::label("kind", "federation"));
    m.family("morva_relay_deliveries_total", "counter",
             "Messages handed to connections by the relay path (relayed messages, roll call and "
             "roster copies, departure notices), once per receiving connection.")
        .sample(queues.deliveredMessages);
    m.family("morva_relay_delivered_bytes_total", "counter",
             "Bytes of those deliveries, headers included, once per receiving connection.")
        .sample(queues.deliveredBytes);
    m.family("morva_requests_answered_total", "counter", "Requests answered, by request type.");
    for (uint32_t type : kAnsweredTypes) {
        m.sample(c.answered[type - MorvaCounters::kFirstRequest].get(), requestLabels(type));
    }
    m.family("morva_requests_refused_total", "counter",
             "Requests answered with a failure, by request type.");
    for (uint32_t type : kAnsweredTypes) {
        m.sample(c.refused[type - MorvaCounters::kFirstRequest].get(), requestLabels(type));
    }
    m.family("morva_joins_total", "counter", "Federates joined (handle given).")
        .sample(c.joins.get());
    m.family("morva_resigns_total", "counter", "Federates resigned.").sample(c.resigns.get());
    m.family("morva_disconnects_total", "counter",
             "Federates disconnected by a disconnect request or the console's remove.")
        .sample(c.disconnects.get());
    m.family("morva_queue_messages", "gauge", "Messages waiting for a connection, by slot.");
    for (const ConnectionStatus& s : snap.slots) {
        m.sample(s.queue.depth.messages, MetricsText::label("slot", std::to_string(s.slot)));
    }
    m.family("morva_queue_bytes", "gauge",
             "Buffer bytes held for a connection's waiting messages, by slot.");
    for (const ConnectionStatus& s : snap.slots) {
        m.sample(s.queue.depth.bytes, MetricsText::label("slot", std::to_string(s.slot)));
    }
    m.family("morva_queue_largest_messages", "gauge",
             "The most messages any connection's queue has held.")
        .sample(queues.largest.messages);
    m.family("morva_queue_largest_bytes", "gauge",
             "The most buffer bytes any connection's queue has held.")
        .sample(queues.largest.bytes);
    m.family("morva_queue_bound_messages", "gauge", "Messages a connection's queue may hold.")
        .sample(MorvaAllocatorStrategy::kMaxMessages);
    m.family("morva_queue_bound_bytes", "gauge", "Buffer bytes a connection's queue may hold.")
        .sample(MorvaAllocatorStrategy::kDefaultByteBound);
    m.family("morva_queue_blocking_episodes_total", "counter",
             "Episodes of a full queue holding relaying up (each printed one WARNING line).")
        .sample(queues.blockingEpisodes);
    m.family("morva_queue_cutoffs_total", "counter",
             "Connections cut off for taking nothing from a full queue.")
        .sample(queues.cutOffs);
    m.family("morva_oversize_headers_total", "counter",
             "Connections closed for a header announcing more than 16 MiB.")
        .sample(c.oversize.get());
    m.family("morva_malformed_messages_total", "counter",
             "Requests that did not decode (too short, bad names or attribute sets).")
        .sample(c.malformed.get());
    m.family("morva_orphans", "gauge", "Orphaned attribute sets held.").sample(snap.orphans);
    m.family("morva_roll_calls_total", "counter", "Roll calls started.").sample(c.rollCalls.get());
    m.family("morva_federates_capacity", "gauge", "Federates that can join (handles 1 to 20).")
        .sample(FederationState::kMaxFederates);
    m.family("morva_connections_capacity", "gauge", "Connections the executive serves at once.")
        .sample(RTIMorvaCommHandler::kSlots - 1);
    return m.text() + servermetrics::serverFamilies("morva", snap.uptimeUs) +
           servermetrics::processFamilies(servermetrics::readProcessFigures());
}

// --- Status document -------------------------------------------------------------

std::string renderStatusJson(const MorvaSnapshot& snap, const MorvaCounters& c,
                             const MorvaAllocatorStrategy::Totals& queues) {
    std::string j = "{\"server\":\"morva\"";
    j += ",\"execution\":" + jsonString(snap.execution);
    j += ",\"reference\":" + jsonString(snap.reference);
    j += ",\"uptimeMs\":" + microsAsMillis(snap.uptimeUs);
    j += ",\"connections\":" + std::to_string(snap.connections);
    j += ",\"federatesJoined\":" + std::to_string(snap.federates);
    j += ",\"orphans\":" + std::to_string(snap.orphans);
    j += ",\"queueBound\":{\"messages\":" + std::to_string(MorvaAllocatorStrategy::kMaxMessages) +
         ",\"bytes\":" + std::to_string(MorvaAllocatorStrategy::kDefaultByteBound) + "}";
    j += ",\"received\":{\"request\":" + std::to_string(c.requestsReceived.get()) +
         ",\"relay\":" + std::to_string(c.relaysReceived.get()) +
         ",\"federation\":" + std::to_string(c.federationReceived.get()) + "}";
    j += ",\"delivered\":{\"messages\":" + std::to_string(queues.deliveredMessages) +
         ",\"bytes\":" + std::to_string(queues.deliveredBytes) + "}";
    j += ",\"blockingEpisodes\":" + std::to_string(queues.blockingEpisodes);
    j += ",\"cutOffs\":" + std::to_string(queues.cutOffs);
    auto connection = [](const ConnectionStatus& s) {
        return "\"slot\":" + std::to_string(s.slot) + ",\"peer\":" + jsonString(s.peer) +
               ",\"queue\":{\"messages\":" + std::to_string(s.queue.depth.messages) +
               ",\"bytes\":" + std::to_string(s.queue.depth.bytes) + "}" +
               ",\"messagesIn\":" + std::to_string(s.messagesIn) +
               ",\"messagesOut\":" + std::to_string(s.queue.deliveredMessages + s.answersOut);
    };
    j += ",\"federates\":[";
    bool first = true;
    for (const ConnectionStatus& s : snap.slots) {
        if (s.handle == 0) continue;
        j += first ? "" : ",";
        first = false;
        j += "{\"handle\":" + std::to_string(s.handle) + ",\"name\":" + jsonString(s.name) + "," +
             connection(s) + "}";
    }
    j += "],\"otherConnections\":[";
    first = true;
    for (const ConnectionStatus& s : snap.slots) {
        if (s.handle != 0) continue;
        j += first ? "" : ",";
        first = false;
        j += "{" + connection(s) + "}";
    }
    return j + "]}\n";
}

// --- Page ------------------------------------------------------------------------

// The page's own parts; statusPage adds what every status page shares.
constexpr const char* kPageStyle =
    R"PAGE(.bar{width:12em;height:.8em;background:#e8ebef;border-radius:3px;display:inline-block;vertical-align:middle;overflow:hidden}
.fill{height:100%;background:#3a7bd5}
.fill.warn{background:#e0a100}.fill.full{background:#d64541}
)PAGE";

constexpr const char* kPageMarkup = R"PAGE(<h1>Execution <span id="execution">&hellip;</span></h1>
<div class="sub">executive at <span id="reference"></span> &middot; <span id="state">loading</span></div>
<div class="cards">
<div class="card">connections<b id="connections">-</b></div>
<div class="card">federates<b id="federates">-</b></div>
<div class="card">relays in /s<b id="relayRate">-</b></div>
<div class="card">deliveries /s<b id="deliveryRate">-</b></div>
<div class="card">orphans<b id="orphans">-</b></div>
<div class="card">blocking episodes<b id="blocking">-</b></div>
<div class="card">cut-offs<b id="cutOffs">-</b></div>
</div>
<table>
<thead><tr><th class="num">handle</th><th>federate</th><th>peer</th><th class="num">in</th>
<th class="num">in /s</th><th class="num">out</th><th class="num">out /s</th>
<th>queue (against its bound)</th></tr></thead>
<tbody id="rows"></tbody>
</table>
)PAGE";

constexpr const char* kPageScript = R"PAGE(function perSecond(now, before, value) {
  if (before === undefined || now.dt <= 0) return "\u2026";
  return (Math.max(0, value - before) / now.dt).toFixed(1) + "/s";
}
function queueCell(q, bound) {
  const share = Math.min(1, Math.max(q.messages / bound.messages, q.bytes / bound.bytes));
  const td = el("td");
  const bar = el("span", undefined, "bar");
  const fill = el("span", undefined, "fill" + (share >= 1 ? " full" : share >= 0.5 ? " warn" : ""));
  fill.style.display = "block";
  fill.style.width = (share * 100).toFixed(1) + "%";
  bar.appendChild(fill);
  td.appendChild(bar);
  td.appendChild(el("span", " " + q.messages + " msgs, " + (q.bytes / 1024).toFixed(0) + " KiB", "muted"));
  td.title = q.messages + " of " + bound.messages + " messages, " + q.bytes + " of " + bound.bytes + " bytes";
  return td;
}
function render(s) {
  const now = {dt: previous ? (s.uptimeMs - previous.status.uptimeMs) / 1000 : 0};
  const seen = previous ? previous.rows : {};
  document.getElementById("execution").textContent = s.execution || "(not registered)";
  document.getElementById("reference").textContent = s.reference || "-";
  document.getElementById("connections").textContent = s.connections;
  document.getElementById("federates").textContent = s.federatesJoined;
  document.getElementById("orphans").textContent = s.orphans;
  document.getElementById("blocking").textContent = s.blockingEpisodes;
  document.getElementById("cutOffs").textContent = s.cutOffs;
  document.getElementById("relayRate").textContent =
    perSecond(now, previous && previous.status.received.relay, s.received.relay);
  document.getElementById("deliveryRate").textContent =
    perSecond(now, previous && previous.status.delivered.messages, s.delivered.messages);
  const rows = {};
  const body = document.getElementById("rows");
  body.replaceChildren();
  const all = s.federates.concat(s.otherConnections);
  for (const c of all) {
    const key = c.slot + "/" + c.peer;
    const before = seen[key];
    rows[key] = c;
    const tr = el("tr");
    if (c.handle !== undefined) tr.dataset.federate = c.name;
    tr.appendChild(el("td", c.handle !== undefined ? String(c.handle) : "-", "num"));
    tr.appendChild(el("td", c.handle !== undefined ? c.name : "(not joined)", c.handle !== undefined ? "" : "muted"));
    tr.appendChild(el("td", c.peer));
    tr.appendChild(el("td", String(c.messagesIn), "num"));
    tr.appendChild(el("td", perSecond(now, before && before.messagesIn, c.messagesIn), "num rate-in"));
    tr.appendChild(el("td", String(c.messagesOut), "num"));
    tr.appendChild(el("td", perSecond(now, before && before.messagesOut, c.messagesOut), "num rate-out"));
    tr.appendChild(queueCell(c.queue, s.queueBound));
    body.appendChild(tr);
  }
  previous = {status: s, rows: rows};
}
)PAGE";

const char* morvaStatusPage() {
    static const std::string page =
        statushttp::statusPage({"morva", kPageStyle, kPageMarkup, kPageScript, "executive"});
    return page.c_str();
}

}  // namespace morva
