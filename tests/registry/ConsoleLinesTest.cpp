// Console input arrives in arbitrary pieces; lines must come out whole,
// bounded, and split into verb and argument like the operator expects.
#include <string>

#include <gtest/gtest.h>

#include "ConsoleLines.h"

namespace {

TEST(ConsoleLines, JoinsPiecesAndSplitsSeveralLinesFromOneRead) {
    ConsoleLines lines;
    std::string line;
    lines.feed("li", 2);
    EXPECT_FALSE(lines.next(line));  // no line end yet
    const std::string rest = "st\nref fed\n\nqu";
    lines.feed(rest.data(), rest.size());
    ASSERT_TRUE(lines.next(line));
    EXPECT_EQ(line, "list");
    ASSERT_TRUE(lines.next(line));
    EXPECT_EQ(line, "ref fed");
    ASSERT_TRUE(lines.next(line));
    EXPECT_EQ(line, "");  // an empty line is still a line
    EXPECT_FALSE(lines.next(line));
    // At end of input the unfinished last line is still executed, once.
    ASSERT_TRUE(lines.takeRest(line));
    EXPECT_EQ(line, "qu");
    EXPECT_FALSE(lines.takeRest(line));
}

TEST(ConsoleLines, KeepsAtMost199CharactersOfALineAndDropsTheRest) {
    ConsoleLines lines;
    const std::string longLine = std::string(150, 'a') + std::string(150, 'b') + "\nnext\n";
    // Deliver in small pieces so the bound holds across reads.
    for (size_t i = 0; i < longLine.size(); i += 7) {
        lines.feed(longLine.data() + i, std::min<size_t>(7, longLine.size() - i));
    }
    std::string line;
    ASSERT_TRUE(lines.next(line));
    EXPECT_EQ(line, std::string(150, 'a') + std::string(49, 'b'));
    ASSERT_TRUE(lines.next(line));
    EXPECT_EQ(line, "next");
}

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
