#include "RegistryTestUtil.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace regtest {

Server::Server(bool stdinDevNull, const std::vector<std::string>& env)
    : Server(testsupport::freePort(), env, stdinDevNull) {}

Server::Server(uint16_t port, const std::vector<std::string>& env) : Server(port, env, false) {}

Server::Server(uint16_t port, const std::vector<std::string>& env, bool stdinDevNull) {
    port_ = port;
    testsupport::Process::Options opt;
    opt.stdinDevNull = stdinDevNull;
    opt.env = env;
    proc_ = std::make_unique<testsupport::Process>(
        testsupport::binPath("quorvex"), std::vector<std::string>{std::to_string(port_)}, opt);
    // The listening line is the last one of the start-up: a test that
    // signals or types earlier would race the registry's own lines.
    const std::string line = proc_->waitStdout("LOG Listening on ", 10s);
    if (line.empty()) {
        throw std::runtime_error("quorvex did not start on port " + std::to_string(port_) +
                                 "; output: " + proc_->stdoutText());
    }
}

std::unique_ptr<RegistryClient> Server::client() {
    return std::make_unique<RegistryClient>("127.0.0.1", port_);
}

void Server::quit() {
    ASSERT_TRUE(proc_->write("quit\n"));
    EXPECT_NE(proc_->waitStdout("LOG Shutting down...", 5s), "");
    EXPECT_EQ(proc_->wait(5s), 0);
}

std::vector<char> encodeNameAndRef(const std::string& name, const RTIP::Reference& ref) {
    RTIP::EncodeBuffer out;
    ref.encode(out);
    return concat({counted(name), out.bytes()});
}

RTI::Exception decodeFailure(const Frame& frame) {
    return RTItransportationManager::decodeException(frame.payload.data(), frame.payload.size());
}

}  // namespace regtest
