// The executive run inside the test process, so its connection table can be
// inspected directly while connections come, misbehave and go.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <random>

#include "MorvaHarness.h"
#include "RTIMorvaImpl.h"

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
    const uint16_t port = registry.lookupPort("inproc");
    EXPECT_EQ(ex.get()->connectionCount(), 0);

    std::vector<std::unique_ptr<RawFederate>> feds;
    for (int i = 0; i < 6; ++i) {
        feds.push_back(std::make_unique<RawFederate>(port));
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
        RawFederate f(port);
        ASSERT_TRUE(ex.waitForCount(2));
        const auto bytes = RawFederate::frameBytes(600 + rng() % 5, std::vector<char>(rng() % 100));
        f.sendBytes({bytes.begin(), bytes.begin() + static_cast<long>(rng() % bytes.size())});
        f.close();
        ASSERT_TRUE(ex.waitForCount(1));
    }
    feds.clear();
    EXPECT_TRUE(ex.waitForCount(0));
}

}  // namespace
