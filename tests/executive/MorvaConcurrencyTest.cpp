// Federates come and go and talk while the operator hammers the console:
// no crash, no deadlock, and a clean exit (which, under the sanitizer
// builds, also means no race and no leak was reported).
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <random>

#include "MorvaHarness.h"

using namespace morvatest;

namespace {

void federateLife(uint16_t port, unsigned seed, std::chrono::steady_clock::time_point until,
                  std::atomic<int>& rounds) {
    std::mt19937 rng(seed);
    while (std::chrono::steady_clock::now() < until) {
        RawConnection f(port);
        const uint16_t handle = f.join("worker" + std::to_string(seed));
        if (handle == 0 || handle == 0xffff) continue;
        for (int i = 0; i < 10 && !f.closedByPeer(); ++i) {
            f.sendFrame(600 + rng() % 20, std::vector<char>(rng() % 200, 'c'));
            if (rng() % 4 == 0) f.sendFrame(127);
            if (rng() % 4 == 0) f.sendFrame(129);
            if (rng() % 5 == 0) f.sendFrame(517, concat({u32(handle), u32(rng()), u32(0), u32(0)}));
            while (f.receive(1ms)) {
            }
        }
        if (rng() % 2 == 0) {
            f.sendFrame(504, u32(handle));
            f.receiveType(505, 2s);
        }
        ++rounds;
    }
}

TEST(MorvaConcurrencyTest, ConsoleAndFederatesTogetherNeverDeadlock) {
    Execution ex("1");  // the shortest idle period: idle steps whenever federates pause
    const auto until = std::chrono::steady_clock::now() + 5s;
    std::atomic<int> rounds{0};
    std::vector<std::thread> feds;
    for (unsigned i = 0; i < 4; ++i) {
        feds.emplace_back(federateLife, ex.port, 100 + i, until, std::ref(rounds));
    }
    const char* commands[] = {"list", "ref 1", "remove 2", "trace", "orphan", "ref 3", "remove 1"};
    int typed = 0;
    while (std::chrono::steady_clock::now() < until) {
        ex.morva->write(std::string(commands[typed++ % 7]) + "\n");
        std::this_thread::sleep_for(2ms);
    }
    for (auto& t : feds) t.join();

    // Still answering both sides promptly.
    ex.morva->write("orphan\n");
    EXPECT_FALSE(ex.morva->waitStdout("LOG Currently have", 10s).empty());
    auto probe = ex.connect();
    ASSERT_TRUE(probe->sendFrame(506));
    EXPECT_TRUE(probe->receiveType(507, 10s));
    EXPECT_GT(rounds.load(), 0);  // progress, not speed: sanitizer builds are slow

    // The table is consistent: once every worker's departure is handled, a
    // newcomer sees only itself.
    Client newcomer;
    newcomer.setTimeout(kWait);
    newcomer.connect("127.0.0.1", ex.port);
    EXPECT_NE(newcomer.join("afterwards"), 0);
    size_t joined = newcomer.federateList().size();
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (joined != 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
        joined = newcomer.federateList().size();
    }
    EXPECT_EQ(joined, 1u);

    ex.morva->signal(SIGINT);
    EXPECT_EQ(ex.morva->wait(30s), 0) << ex.morva->stderrText().substr(0, 4000);
}

}  // namespace
