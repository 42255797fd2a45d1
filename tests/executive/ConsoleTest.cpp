// morva's operator console: exact texts on standard output and error.
#include "MorvaHarness.h"

namespace morvatest {
namespace {

class ConsoleTest : public ExecutiveTest {
  protected:
    std::string refText(const RTIP::Reference& r) {
        return std::string(r.host()) + ":" + std::to_string(r.port());
    }
};

TEST_F(ConsoleTest, HelpPrintsTheEightLines) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    const std::vector<std::string> expected = {
        "HELP Supported commands:",
        "HELP\tlist\t\tlist all federate handles & names",
        "HELP\tref <handle>\tprint reference for federate <handle>",
        "HELP\tremove <handle>\tremove federate <handle> from execution",
        "HELP\ttrace\t\ttoggles trace mode on/off",
        "HELP\torphan\t\tlists the number of orphaned objects held in morva",
        "HELP\thelp\t\tthis message",
        "HELP\tquit\t\tquit the federation execution",
    };
    morva_->write("help\n");
    for (const auto& line : expected) EXPECT_EQ(morva_->waitStdout("HELP"), line);
}

TEST_F(ConsoleTest, ListShowsJoinedFederatesWithReferences) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    EXPECT_EQ(console("list", "LIST START"), "LIST START");
    EXPECT_EQ(morva_->waitStdout("LIST"), "LIST END") << "nothing between on an empty execution";

    auto a = join("alpha");
    auto b = join("beta");
    auto c = join("gamma");
    b->resign(2);
    ASSERT_TRUE(b->waitForClose(kWait));
    RTIP::Reference ra = settledReference(*c, 1);
    RTIP::Reference rc = settledReference(*c, 3);
    EXPECT_EQ(ra.port(), localPort(a->handle()));

    EXPECT_EQ(console("list", "LIST START"), "LIST START");
    EXPECT_EQ(morva_->waitStdout("LIST"), "LIST[1] alpha\t" + refText(ra));
    EXPECT_EQ(morva_->waitStdout("LIST"), "LIST[3] gamma\t" + refText(rc));
    EXPECT_EQ(morva_->waitStdout("LIST"), "LIST END");
}

TEST_F(ConsoleTest, RefPrintsReferenceOrComplains) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    const std::string ref = refText(settledReference(*a, 1));

    EXPECT_EQ(console("ref 1", "LOG Federate 1 "), "LOG Federate 1 : " + ref);
    EXPECT_EQ(console("refresh 1", "LOG Federate 1 "), "LOG Federate 1 : " + ref)
        << "any line starting with ref is the ref command";
    EXPECT_EQ(console("ref 65537", "LOG Federate 6"), "LOG Federate 65537 : " + ref)
        << "looked up by its low 16 bits, printed as typed";
    EXPECT_EQ(console("ref", "ERR: should be"), "ERR: should be: ref <handle>");
    EXPECT_EQ(console("ref x", "ERR: should be"), "ERR: should be: ref <handle>");

    morva_->write("ref 9\n");
    EXPECT_EQ(morva_->waitStderr("ERR "),
              "ERR RTI::FederateNotExecutionMember [23802] "
              "RTIMorvaImpl::getFederateByHandle: federate not joined");
}

TEST_F(ConsoleTest, RemoveClosesTheFederateAndTellsTheOthers) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto b = join("beta");

    morva_->write("remove 2\n");
    EXPECT_TRUE(b->waitForClose(kWait));
    EXPECT_EQ(Client::decodeFederateLeft(expectMessage(*a, msgFederateLeft)), 2);
    EXPECT_NE(morva_->waitStdout("LOG Closed connection on "), "");
    EXPECT_FALSE(a->federateVector().get(2));

    morva_->write("remove 2\n");
    EXPECT_EQ(morva_->waitStderr("ERR "),
              "ERR RTI::FederateNotExecutionMember [23801] "
              "RTIMorvaImpl::disconnect: Federate 2 not joined");
    EXPECT_EQ(console("remove", "ERR: should be"), "ERR: should be: remove <handle>");
    EXPECT_EQ(console("remove x", "ERR: should be"), "ERR: should be: remove <handle>");
    EXPECT_EQ(a->allocateNumber(), 1u) << "still serving";
}

TEST_F(ConsoleTest, TraceTogglesPerMessageLines) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    auto a = join("alpha");
    auto b = join("beta");

    EXPECT_EQ(console("trace", "LOG Morva trace mode"), "LOG Morva trace mode on");
    a->allocateNumber();
    EXPECT_EQ(morva_->waitStdout("LOG recv'd"), "LOG recv'd 506 length 0 from federate 1");
    EXPECT_EQ(morva_->waitStdout("LOG sent"), "LOG sent 507 to federate 1");
    a->send(600, bytes("abc"));
    EXPECT_EQ(morva_->waitStdout("LOG recv'd"), "Default: LOG recv'd 600 length 3 from federate 1");
    EXPECT_EQ(morva_->waitStdout("LOG sent"), "LOG sent 600 to federate 2") << "from the writer";
    expectMessage(*b, 600);

    EXPECT_EQ(console("trace", "LOG Morva trace mode"), "LOG Morva trace mode off");
    a->allocateNumber();
    a->send(600, bytes("abc"));
    expectMessage(*b, 600);
    console("orphan", "orphaned objects");  // a marker after the traffic
    std::string all = morva_->stdoutText();
    auto off = all.find("LOG Morva trace mode off");
    ASSERT_NE(off, std::string::npos);
    EXPECT_EQ(all.find("LOG recv'd", off), std::string::npos);
    EXPECT_EQ(all.find("LOG sent", off), std::string::npos);
}

TEST_F(ConsoleTest, OrphanUnknownAndEmptyLines) {
    ASSERT_NO_FATAL_FAILURE(startServers());
    EXPECT_EQ(console("orphan", "orphaned objects"), "LOG Currently have 0 orphaned objects");
    EXPECT_EQ(console("frobnicate", "ERR: Unknown"), "ERR: Unknown command - try 'help'");
    EXPECT_EQ(console(" list", "ERR: Unknown"), "ERR: Unknown command - try 'help'");
    EXPECT_EQ(console("LIST", "ERR: Unknown"), "ERR: Unknown command - try 'help'");
    EXPECT_EQ(console("list ", "ERR: Unknown"), "ERR: Unknown command - try 'help'");

    const size_t before = morva_->stdoutLines().size();
    morva_->write("\n\n");
    console("orphan", "orphaned objects");
    EXPECT_EQ(morva_->stdoutLines().size(), before + 1) << "empty lines print nothing";
    EXPECT_EQ(morva_->stderrText().find("ERR: Unknown"), std::string::npos)
        << "usage complaints go to standard output";
}

}  // namespace
}  // namespace morvatest
