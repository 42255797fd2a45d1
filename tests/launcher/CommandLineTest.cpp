// The four-field rules of the launcher's command line.
#include <gtest/gtest.h>

#include "CommandLine.h"

using launcher::joinArguments;
using launcher::splitCommandLine;

namespace {

std::vector<std::string> fieldsOf(const std::string& line) {
    auto f = splitCommandLine(line);
    if (!f) return {"<invalid>"};
    return {f->federation, f->host, f->port, f->timeout};
}

using V = std::vector<std::string>;

}  // namespace

TEST(SplitCommandLine, FourFieldsAtSingleBlanks) {
    EXPECT_EQ(fieldsOf("fed1 hostA 9000 30"), (V{"fed1", "hostA", "9000", "30"}));
    // Consecutive blanks give empty fields, wherever they are.
    EXPECT_EQ(fieldsOf("fed1  hostA 9000"), (V{"fed1", "", "hostA", "9000"}));
    EXPECT_EQ(fieldsOf(" fed1 hostA 9000"), (V{"", "fed1", "hostA", "9000"}));
    EXPECT_EQ(fieldsOf("fed1 hostA 9000 "), (V{"fed1", "hostA", "9000", ""}));
    EXPECT_EQ(fieldsOf("   "), (V{"", "", "", ""}));
    // Only the blank separates; other characters belong to the fields.
    EXPECT_EQ(fieldsOf("a\tb c;d $(e) 'f\""), (V{"a\tb", "c;d", "$(e)", "'f\""}));
}

TEST(SplitCommandLine, InvalidLines) {
    for (const char* line : {"", "fed1", "fed1 hostA 9000", "  ", "fed1 hostA 9000 30 ",
                             "fed1 hostA 9000 3 0", "fed1 hostA 9000 30  ", "a b c d e f"}) {
        EXPECT_FALSE(splitCommandLine(line)) << '"' << line << '"';
    }
}

TEST(JoinArguments, ArgumentsAreJoinedWithSingleBlanks) {
    const char* none[] = {"morvalauncher"};
    EXPECT_EQ(joinArguments(1, none), std::nullopt);

    const char* empty[] = {"morvalauncher", ""};
    EXPECT_EQ(joinArguments(2, empty), std::optional<std::string>(""));

    const char* several[] = {"morvalauncher", "fed 1", "", "host", "9000"};
    EXPECT_EQ(joinArguments(5, several), std::optional<std::string>("fed 1  host 9000"));
}
