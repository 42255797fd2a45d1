// The console thread and the reactor thread share the federation state and
// the connection table: hammer both at once and check that morva survives.
#include <atomic>
#include <thread>

#include "ExecutiveFixture.h"

namespace it {
namespace {

class ConcurrencyTest : public ExecutiveTest {};

// One federate's life, over and over: join, relay, ask, resign. Any
// exception other than being removed by the console counts as a failure.
void federateLoop(uint16_t port, int id, std::atomic<bool>& stop, std::atomic<int>& rounds,
                  std::atomic<int>& errors) {
    while (!stop.load()) {
        try {
            Client c;
            c.setTimeout(kWait);
            c.connect("127.0.0.1", port);
            uint16_t h = c.join("worker" + std::to_string(id));
            for (int i = 0; i < 5; ++i) {
                c.send(600 + id, bytes("ping"));
                c.allocateNumber();
                c.federateList();
                while (c.receive(std::chrono::milliseconds(0))) {
                }
            }
            if (h != 0) c.resign(h);
            ++rounds;
        } catch (const RTI::Exception& e) {
            // The console's remove closes connections under our feet; that
            // shows up as a lost connection or as "not joined" on resign.
            bool removed = e.serial() == Client::kSerialConnectionLost ||
                           e.serial() == Client::kSerialSend ||
                           e.serial() == Client::kSerialNotConnected || e.serial() == 23801;
            if (!removed) {
                ++errors;
                ADD_FAILURE() << "worker " << id << ": " << e;
            }
        }
    }
}

TEST_F(ConcurrencyTest, ConsoleAndFederatesAtOnce) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::atomic<int> errors{0};
    std::vector<std::thread> workers;
    for (int id = 0; id < 4; ++id) {
        workers.emplace_back(federateLoop, morvaPort_, id, std::ref(stop), std::ref(rounds),
                             std::ref(errors));
    }
    std::thread operatorThread([&] {
        const char* commands[] = {"list",  "ref 1", "remove 2", "trace", "orphan",
                                  "ref 3", "trace", "remove 1", "list"};
        while (!stop.load()) {
            for (const char* cmd : commands) morva_->write(std::string(cmd) + "\n");
            std::this_thread::sleep_for(20ms);
        }
    });

    std::this_thread::sleep_for(6s);
    stop = true;
    operatorThread.join();
    for (auto& t : workers) t.join();

    EXPECT_GT(rounds.load(), 0) << "the federates made progress";
    EXPECT_EQ(errors.load(), 0);
    ASSERT_TRUE(morva_->running());

    // Still answering, and the table is consistent: a newcomer sees only
    // itself (every worker resigned or was removed).
    uint16_t h = 0;
    auto c = join("afterwards", &h);
    EXPECT_NE(h, 0);
    EXPECT_EQ(c->federateList().size(), 1u);
    morva_->write("list\n");
    EXPECT_NE(morva_->waitStdout("LIST END", 10s), "");
}

}  // namespace
}  // namespace it
