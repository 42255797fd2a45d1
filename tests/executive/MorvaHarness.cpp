#include "MorvaHarness.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <regex>
#include <stdexcept>

#include "RTIexceptions.h"

namespace morvatest {

using Clock = std::chrono::steady_clock;

Registry::Registry(const std::vector<std::string>& env) : port_(testsupport::freePort()) {
    testsupport::Process::Options opt;
    opt.env = env;
    process_ = std::make_unique<testsupport::Process>(
        testsupport::binPath("quorvex"), std::vector<std::string>{std::to_string(port_)}, opt);
    if (!testsupport::waitForPort(port_)) throw std::runtime_error("quorvex did not start");
}

void Registry::reserve(const std::string& name) {
    RegistryClient client("127.0.0.1", port_);
    client.reserve(name);
}

RTIP::Reference Registry::lookup(const std::string& name) {
    RegistryClient client("127.0.0.1", port_);
    return client.lookup(name);
}

bool Registry::isRegistered(const std::string& name) {
    RegistryClient client("127.0.0.1", port_);
    try {
        client.lookup(name);
        return true;
    } catch (const RTI::Exception&) {
        return false;
    }
}

bool Registry::waitForgotten(const std::string& name) {
    const auto deadline = Clock::now() + kWait;
    do {
        RegistryClient client("127.0.0.1", port_);
        try {
            client.lookup(name);
        } catch (const RTI::FederationExecutionDoesNotExist& e) {
            EXPECT_EQ(e.serial(), 12104u);
            return true;
        }
        std::this_thread::sleep_for(50ms);
    } while (Clock::now() < deadline);
    return false;
}

std::unique_ptr<testsupport::Process> startMorva(const std::string& name, uint16_t registryPort,
                                                 const std::string& timeoutSec, bool stdinDevNull,
                                                 const std::vector<std::string>& env) {
    testsupport::Process::Options opt;
    opt.stdinDevNull = stdinDevNull;
    opt.env = env;
    return std::make_unique<testsupport::Process>(
        testsupport::binPath("morva"),
        std::vector<std::string>{name, "127.0.0.1", std::to_string(registryPort), timeoutSec}, opt);
}

Execution::Execution(const std::string& timeoutSec, const std::string& executionName,
                     const std::vector<std::string>& morvaEnv,
                     const std::vector<std::string>& registryEnv)
    : registry(registryEnv), name(executionName) {
    registry.reserve(name);
    morva = startMorva(name, registry.port(), timeoutSec, false, morvaEnv);
    if (morva->waitStdout("LOG Morva started", 10s).empty()) {
        throw std::runtime_error("morva did not start: " + morva->stderrText());
    }
    reference = registry.lookup(name);
    port = reference.port();
}

Execution::~Execution() {
    if (morva && morva->running()) {
        // Every test ends with an orderly shutdown; under the sanitizer
        // builds a report (leak, race) turns into a non-zero status.
        morva->signal(SIGINT);
        const int status = morva->wait(20s);
        if (status != 0) {
            ADD_FAILURE() << "morva ended with status " << status << "\n"
                          << morva->stderrText().substr(0, 4000);
        }
    }
    // Reports written while a server kept running (or by one a test ended).
    for (testsupport::Process* p : {&registry.process(), morva.get()}) {
        if (p != nullptr && hasSanitizerReport(p->stderrText())) {
            ADD_FAILURE() << p->stderrText().substr(0, 4000);
        }
    }
}

std::string Execution::console(const std::string& line, const std::string& expect) {
    morva->write(line + "\n");
    return morva->waitStdout(expect);
}

bool hasSanitizerReport(const std::string& text) {
    return text.find("Sanitizer") != std::string::npos ||
           text.find("runtime error:") != std::string::npos;
}

// --- The library's executive client as the federate -----------------------------

void ExecutiveTest::startServers(int idleTimeoutSeconds) {
    try {
        execution_ = std::make_unique<Execution>(std::to_string(idleTimeoutSeconds), name_,
                                                 serverEnv_, serverEnv_);
    } catch (const std::exception& e) {
        FAIL() << e.what();
    }
    registryPort_ = execution_->registry.port();
    morvaRef_ = execution_->reference;
    morvaPort_ = execution_->port;
    quorvex_ = &execution_->registry.process();
    morva_ = execution_->morva.get();
    ASSERT_NE(morvaPort_, 0);
}

void ExecutiveTest::TearDown() { execution_.reset(); }

std::unique_ptr<Client> ExecutiveTest::connect() {
    auto c = std::make_unique<Client>();
    c->setTimeout(kWait);
    c->connect("127.0.0.1", morvaPort_);
    return c;
}

std::unique_ptr<Client> ExecutiveTest::join(const std::string& federate, uint16_t* handle) {
    auto c = connect();
    uint16_t h = c->join(federate);
    if (handle) *handle = h;
    return c;
}

std::unique_ptr<RegistryClient> ExecutiveTest::registry() {
    return std::make_unique<RegistryClient>("127.0.0.1", registryPort_);
}

std::string ExecutiveTest::console(const std::string& line, const std::string& needle) {
    return execution_->console(line, needle);
}

int ExecutiveTest::orphanCount() {
    std::string line = console("orphan", "orphaned objects");
    std::smatch m;
    static const std::regex re("^LOG Currently have ([0-9]+) orphaned objects$");
    if (!std::regex_match(line, m, re)) {
        ADD_FAILURE() << "unexpected orphan line: '" << line << "'";
        return -1;
    }
    return std::stoi(m[1]);
}

Message next(Client& c, std::chrono::milliseconds wait) {
    auto m = c.receive(wait);
    if (!m) {
        ADD_FAILURE() << (c.peerClosed() ? "connection closed" : "no message") << " within "
                      << wait.count() << " ms";
        return Message{};
    }
    return *m;
}

Message expectMessage(Client& c, uint32_t type) {
    Message m = next(c);
    EXPECT_EQ(m.type, type);
    return m;
}

bool quiet(Client& c, std::chrono::milliseconds wait) {
    auto m = c.receive(wait);
    if (m) {
        ADD_FAILURE() << "unexpected message " << m->type << " length " << m->payload.size();
        return false;
    }
    return !c.peerClosed();
}

std::vector<char> vectorBytes(const std::vector<uint16_t>& handles) {
    RTIP::FederateVector v;
    for (auto h : handles) v.set(h, true);
    std::vector<char> out(RTIP::FederateVector::encodedLength());
    v.encode(out.data());
    return out;
}

RTI::AttributeHandleSet attributeSet(const std::vector<uint32_t>& handles) {
    RTI::AttributeHandleSet set;
    for (auto h : handles) set.add(h);
    return set;
}

RTIP::Reference settledReference(Client& c, uint16_t handle) {
    RTIP::Reference ref = c.federateReference(handle);
    for (int i = 0; i < 250 && std::string(ref.host()) == "127.0.0.1"; ++i) {
        std::this_thread::sleep_for(20ms);
        ref = c.federateReference(handle);
    }
    return ref;
}

}  // namespace morvatest
