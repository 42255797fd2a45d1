#include "RtictlSupport.h"

namespace rtictl_test {

Result run(const std::vector<std::string>& args) {
    testsupport::Process::Options opt;
    opt.stdinDevNull = true;
    testsupport::Process p(testsupport::binPath("rtictl"), args, opt);
    Result r;
    r.status = p.wait(std::chrono::seconds(20));
    r.out = p.stdoutText();
    r.err = p.stderrText();
    EXPECT_FALSE(morvatest::hasSanitizerReport(r.err)) << r.err;
    return r;
}

std::string endpoint(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

}  // namespace rtictl_test
