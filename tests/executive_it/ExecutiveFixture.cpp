#include "ExecutiveFixture.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <regex>

namespace it {

void ExecutiveTest::startServers(int idleTimeoutSeconds) {
    registryPort_ = testsupport::freePort();
    testsupport::Process::Options options;
    options.env = serverEnv_;
    quorvex_ = std::make_unique<testsupport::Process>(
        testsupport::binPath("quorvex"), std::vector<std::string>{std::to_string(registryPort_)},
        options);
    ASSERT_TRUE(testsupport::waitForPort(registryPort_, kWait)) << "quorvex did not listen";
    registry()->reserve(name_);

    morva_ = std::make_unique<testsupport::Process>(
        testsupport::binPath("morva"),
        std::vector<std::string>{name_, "127.0.0.1", std::to_string(registryPort_),
                                 std::to_string(idleTimeoutSeconds)},
        options);
    ASSERT_NE(morva_->waitStdout("LOG Morva started", 10s), "") << "morva did not start; stderr:\n"
                                                                << morva_->stderrText();
    morvaRef_ = registry()->lookup(name_);
    morvaPort_ = morvaRef_.port();
    ASSERT_NE(morvaPort_, 0);
}

void ExecutiveTest::TearDown() {
    for (auto* p : {quorvex_.get(), morva_.get()}) {
        if (p) {
            EXPECT_FALSE(hasSanitizerReport(p->stderrText())) << p->stderrText();
        }
    }
}

bool hasSanitizerReport(const std::string& text) {
    return text.find("Sanitizer") != std::string::npos ||
           text.find("runtime error:") != std::string::npos;
}

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
    morva_->write(line + "\n");
    return morva_->waitStdout(needle, kWait);
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

RTI::Exception failureOf(const Message& m) {
    return RTItransportationManager::decodeException(m.payload.data(), m.payload.size());
}

std::vector<char> bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<char> concat(const std::vector<char>& a, const std::vector<char>& b) {
    std::vector<char> out(a);
    out.insert(out.end(), b.begin(), b.end());
    return out;
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

uint16_t localPort(const Client& c) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(c.handle(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

RTIP::Reference settledReference(Client& c, uint16_t handle) {
    RTIP::Reference ref = c.federateReference(handle);
    for (int i = 0; i < 250 && std::string(ref.host()) == "127.0.0.1"; ++i) {
        std::this_thread::sleep_for(20ms);
        ref = c.federateReference(handle);
    }
    return ref;
}

}  // namespace it
