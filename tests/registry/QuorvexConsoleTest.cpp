// The console's command lines, executed directly: texts checked byte for byte.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "QuorvexCommHandler.h"

namespace {

std::string run(const std::string& line) {
    std::ostringstream out;
    QuorvexCommHandler handler(out);
    handler.executeConsoleLine(line);
    return out.str();
}

TEST(QuorvexConsoleLine, ANulEndsTheLineAsForSscanf) {
    // "%s %s" reads a C string: nothing after a NUL is seen, nor echoed.
    EXPECT_EQ(run(std::string("ref\0fed", 7)),
              "ERR Console ref command: unrecognized name\"ref\"\n");
    EXPECT_EQ(run(std::string("QUIT\0x", 6)), "ERR unrecognized console input verb: \"QUIT\"\n");
    EXPECT_EQ(run(std::string("\0help", 5)), "ERR Unrecognized console input: \"\"\n");
    EXPECT_EQ(run(std::string("help\0", 5)), "LOG help\nlist\nref <name>\nremove <name>\nquit\n");
}

TEST(QuorvexConsoleLine, WordsAreSplitOnAnyWhiteSpaceLikeSscanf) {
    EXPECT_EQ(run(" \t remove\tghost  extra \r"),
              "ERR RTI::FederationExecutionDoesNotExist [12107] QuorvexImpl::remove\n");
    EXPECT_EQ(run("\t \r"), "ERR Unrecognized console input: \"\t \r\"\n");
    EXPECT_EQ(run(" ref \t"), "ERR Console ref command: unrecognized name\" ref \t\"\n");
    EXPECT_EQ(run("list now"), "LIST START\nLIST END\n");
}

}  // namespace
