// The servers' listening addresses and log times.
#include <algorithm>
#include <cerrno>
#include <ctime>
#include <regex>

#include "MorvaHarness.h"

namespace morvatest {
namespace {

class LifecycleTest : public ExecutiveTest {};

// Bound to one address, each server listens there only, and federates are
// given that address rather than the computer's name.
TEST_F(LifecycleTest, BoundServersListenOnlyThereAndTheExecutivePublishesItsAddress) {
    serverEnv_ = {"QUORVEX_BIND=127.0.0.1", "MORVA_BIND=127.0.0.1"};
    ASSERT_NO_FATAL_FAILURE(startServers());
    EXPECT_STREQ(morvaRef_.host(), "127.0.0.1");
    auto a = std::make_unique<Client>();
    a->setTimeout(kWait);
    a->connect(morvaRef_);
    EXPECT_EQ(a->join("alpha"), 1);
    for (uint16_t port : {registryPort_, morvaPort_}) {
        EXPECT_EQ(testsupport::connectError(0x7f000002, port), ECONNREFUSED) << port;
    }
}

// With RTI_LOG_TIME=1 every line of both servers, on either stream, starts
// with the time it was written in UTC (whatever the local zone), followed by
// the line as it is without.
TEST_F(LifecycleTest, LogTimesStampEveryLineOfBothServersInUtc) {
    serverEnv_ = {"RTI_LOG_TIME=1", "TZ=JST-9"};
    const time_t before = std::time(nullptr);
    ASSERT_NO_FATAL_FAILURE(startServers());
    quorvex_->write("help\n");
    ASSERT_NE(quorvex_->waitStdout("remove <name>"), "");
    morva_->write("help\n");
    ASSERT_NE(morva_->waitStdout("HELP\tquit"), "");
    morva_->write("ref 9\n");
    ASSERT_NE(morva_->waitStderr("[23802]"), "");
    morva_->signal(SIGINT);
    EXPECT_EQ(morva_->wait(kWait), 0);
    quorvex_->signal(SIGINT);
    EXPECT_EQ(quorvex_->wait(kWait), 0);
    const time_t after = std::time(nullptr);

    static const std::regex stamped(
        "^([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})\\.[0-9]{3}Z (.*)$");
    auto texts = [&](const std::vector<std::string>& lines) {
        std::vector<std::string> out;
        for (const auto& line : lines) {
            std::smatch m;
            if (!std::regex_match(line, m, stamped)) {
                ADD_FAILURE() << "not stamped: " << line;
                continue;
            }
            tm parts{};
            parts.tm_year = std::stoi(m[1]) - 1900;
            parts.tm_mon = std::stoi(m[2]) - 1;
            parts.tm_mday = std::stoi(m[3]);
            parts.tm_hour = std::stoi(m[4]);
            parts.tm_min = std::stoi(m[5]);
            parts.tm_sec = std::stoi(m[6]);
            const time_t when = ::timegm(&parts);
            EXPECT_TRUE(when >= before - 1 && when <= after + 1) << line;
            out.push_back(m[7]);
        }
        return out;
    };
    const auto registryLines = texts(quorvex_->stdoutLines());
    const auto morvaOut = texts(morva_->stdoutLines());
    const auto morvaErr = texts(morva_->stderrLines());
    auto expectHas = [](const std::vector<std::string>& lines,
                        std::initializer_list<const char*> wanted) {
        for (const char* w : wanted) {
            EXPECT_NE(std::find(lines.begin(), lines.end(), w), lines.end()) << "no line: " << w;
        }
    };
    expectHas(registryLines, {"LOG help", "list", "ref <name>", "remove <name>", "quit",
                              "LOG Got signal 2", "LOG Shutting down..."});
    expectHas(morvaOut, {"LOG Morva started", "HELP Supported commands:",
                         "HELP\tquit\t\tquit the federation execution", "LOG Got signal 2"});
    expectHas(morvaErr, {"ERR RTI::FederateNotExecutionMember [23802] "
                         "RTIMorvaImpl::getFederateByHandle: federate not joined"});
}

}  // namespace
}  // namespace morvatest
