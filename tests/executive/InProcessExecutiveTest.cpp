// The executive run inside the test process, so its connection table can be
// inspected directly while connections come, misbehave and go.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <random>

#include "MorvaHarness.h"
#include "RTIMorvaImpl.h"
#include "References.h"

using namespace morvatest;

namespace {

// Runs one executive on a thread of its own (its reactor thread).
class InProcessExecutive {
  public:
    InProcessExecutive(uint16_t registryPort, const std::string& name) {
        // The console would read this process's standard input: give it
        // /dev/null, which it reads as end of input.
        const int devNull = ::open("/dev/null", O_RDONLY);
        ::dup2(devNull, 0);
        ::close(devNull);
        thread_ = std::thread([this, registryPort, name] {
            RTIMorvaImpl executive;
            try {
                executive.joinQuorvex(ACE_INET_Addr(registryPort, "127.0.0.1", AF_INET));
                executive.startFederationExecution(name.c_str());
            } catch (const RTI::Exception& e) {
                failure_ = e.reason();
                ready_ = true;
                return;
            }
            executive_ = &executive;
            ready_ = true;
            while (!stop_) executive.pollEvents(ACE_Time_Value(0, 50000));
            executive_ = nullptr;
        });
        while (!ready_) std::this_thread::sleep_for(10ms);
    }
    ~InProcessExecutive() {
        stop_ = true;
        thread_.join();
    }

    RTIMorvaImpl* get() const { return executive_.load(); }
    const std::string& failure() const { return failure_; }

    bool waitForCount(int n, std::chrono::milliseconds timeout = 10s) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (get()->connectionCount() != n) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

  private:
    std::atomic<bool> ready_{false};
    std::atomic<bool> stop_{false};
    std::atomic<RTIMorvaImpl*> executive_{nullptr};
    std::string failure_;
    std::thread thread_;
};

TEST(InProcessExecutiveTest, ConnectionCountFollowsEveryWayAConnectionEnds) {
    Registry registry;
    registry.reserve("inproc");
    InProcessExecutive ex(registry.port(), "inproc");
    ASSERT_NE(ex.get(), nullptr) << ex.failure();
    const uint16_t port = registry.lookup("inproc").port();
    EXPECT_EQ(ex.get()->connectionCount(), 0);

    std::vector<std::unique_ptr<RawConnection>> feds;
    for (int i = 0; i < 6; ++i) {
        feds.push_back(std::make_unique<RawConnection>(port));
        ASSERT_NE(feds.back()->join("f" + std::to_string(i)), 0xffff);
    }
    EXPECT_TRUE(ex.waitForCount(6));

    feds[0]->close();                                         // lost
    ASSERT_TRUE(feds[1]->request(504, u32(2)));               // resigned
    feds[2]->sendFrame(516, u32(3));                          // disconnected
    feds[3]->sendBytes(concat({u32(600), u32(0x7fffffff)}));  // oversized header
    feds[4]->sendBytes({0, 0, 1});                            // half a header, then gone
    feds[4]->close();
    EXPECT_TRUE(ex.waitForCount(1));

    // Many short-lived connections, each dropped mid-message.
    std::mt19937 rng(7);
    for (int i = 0; i < 100; ++i) {
        RawConnection f(port);
        ASSERT_TRUE(ex.waitForCount(2));
        const auto bytes =
            RawConnection::frameBytes(600 + rng() % 5, std::vector<char>(rng() % 100));
        f.sendBytes({bytes.begin(), bytes.begin() + static_cast<long>(rng() % bytes.size())});
        f.close();
        ASSERT_TRUE(ex.waitForCount(1));
    }
    feds.clear();
    EXPECT_TRUE(ex.waitForCount(0));
}

// A resolver that does not answer must not hold up the federation: names are
// looked up off the federation lock, and until a name is known the numeric
// address stands in for it.
TEST(InProcessExecutiveTest, AStalledResolverDelaysOnlyTheNamesOfPeers) {
    Registry registry;
    registry.reserve("slowdns");
    InProcessExecutive ex(registry.port(), "slowdns");
    ASSERT_NE(ex.get(), nullptr) << ex.failure();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> lookups{0};
    ex.get()->setHostResolver([released, &lookups](const ACE_INET_Addr&) {
        ++lookups;
        released.wait();
        return std::string("slow.example");
    });
    struct Release {
        std::promise<void>& p;
        ~Release() { p.set_value(); }
    } releaseOnExit{release};

    const uint16_t port = registry.lookup("slowdns").port();
    RawConnection a(port), b(port);
    ASSERT_EQ(a.join("a"), 1);
    ASSERT_EQ(b.join("b"), 2);
    sockaddr_in local{};
    socklen_t len = sizeof local;
    ASSERT_EQ(::getsockname(a.fd(), reinterpret_cast<sockaddr*>(&local), &len), 0);

    // Both answers come while the resolver is stuck on the first peer.
    auto list = a.request(508);
    ASSERT_TRUE(list && list->type == 509u);
    const RTIP::FederateList federates =
        RTIP::FederateList::decode(list->payload.data(), list->payload.size());
    ASSERT_EQ(federates.size(), 2u);
    EXPECT_STREQ(federates[0].ref.host(), "127.0.0.1");
    EXPECT_EQ(federates[0].ref.port(), ntohs(local.sin_port));
    auto ref = b.request(512, u32(1));
    ASSERT_TRUE(ref && ref->type == 513u);
    EXPECT_EQ(RTIP::Reference::decode(ref->payload.data(), ref->payload.size()),
              RTIP::Reference(ntohs(local.sin_port), "127.0.0.1"));
    // The resolver's thread may not have taken up the first peer yet.
    for (int i = 0; i < 500 && lookups.load() == 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(lookups.load(), 1) << "one look-up at a time, once per connection";

    // Once the resolver answers, the name replaces the address.
    release.set_value();
    release = std::promise<void>();  // the guard's promise is a fresh one
    std::string host;
    for (int i = 0; i < 500 && host != "slow.example"; ++i) {
        auto again = a.request(512, u32(2));
        ASSERT_TRUE(again && again->type == 513u);
        host = RTIP::Reference::decode(again->payload.data(), again->payload.size()).host();
        if (host != "slow.example") std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(host, "slow.example");
    EXPECT_EQ(lookups.load(), 2);
}

}  // namespace
