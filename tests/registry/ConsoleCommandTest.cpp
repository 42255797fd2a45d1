// A console line must split into verb and argument like the operator expects.
#include <gtest/gtest.h>

#include <string>

#include "ConsoleCommand.h"

namespace {

TEST(ConsoleCommand, SplitsVerbAndFirstArgumentAtAnyWhiteSpace) {
    ConsoleCommand c = ConsoleCommand::parse("  ref\t fed1 extra words");
    EXPECT_EQ(c.verb, "ref");
    EXPECT_EQ(c.name, "fed1");
    c = ConsoleCommand::parse("remove");
    EXPECT_EQ(c.verb, "remove");
    EXPECT_EQ(c.name, "");
    c = ConsoleCommand::parse(" \t \r");
    EXPECT_EQ(c.verb, "");
    c = ConsoleCommand::parse("quit\r");  // a carriage return is not part of the verb
    EXPECT_EQ(c.verb, "quit");
}

}  // namespace
