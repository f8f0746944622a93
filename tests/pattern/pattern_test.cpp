#include "pattern/pattern.h"

#include <gtest/gtest.h>

#include <string>

namespace loglathe {
namespace {

std::vector<std::string_view> groupsOf(std::string_view expression, std::string_view text) {
    auto pattern = patternCompile(expression);
    EXPECT_TRUE(pattern) << expression;
    std::vector<std::string_view> groups;
    if (pattern) {
        EXPECT_TRUE(pattern->match(text, groups)) << expression << " on " << text;
    }
    return groups;
}

bool matches(std::string_view expression, std::string_view text) {
    auto pattern = patternCompile(expression);
    std::vector<std::string_view> groups;
    return pattern && pattern->match(text, groups);
}

using Groups = std::vector<std::string_view>;

TEST(Pattern, MatchesTheWholeTextOnly) {
    EXPECT_TRUE(matches("b+", "bbb"));
    EXPECT_FALSE(matches("b", "abc"));
    EXPECT_FALSE(matches("ab", "abc"));
    EXPECT_TRUE(matches("^abc$", "abc"));
    EXPECT_FALSE(matches("^abc$", "abc\n"));
}

TEST(Pattern, NumbersGroupsByOpeningParenthesisAndEmptiesAbsentOnes) {
    EXPECT_EQ(groupsOf("((a)(b))(c)?(d)", "abd"), (Groups{"ab", "a", "b", "", "d"}));
    // A repeated group yields its last repetition.
    EXPECT_EQ(groupsOf("(a|b)*", "abab"), (Groups{"b"}));
    EXPECT_EQ(groupsOf("x(a)*", "x"), (Groups{""}));
    auto pattern = patternCompile("(a)(b)?");
    ASSERT_TRUE(pattern);
    EXPECT_EQ(pattern->groupCount(), 2);
}

TEST(Pattern, EarlierQuantifiersGiveWayToLaterParts) {
    EXPECT_EQ(groupsOf("(a*)(a)", "aaa"), (Groups{"aa", "a"}));
    EXPECT_EQ(groupsOf("([a-z]+)* ([a-z ]+)", "ab cd ef"), (Groups{"ab", "cd ef"}));
    EXPECT_EQ(groupsOf("(\\d+)* ?(\\d+)", "12 34"), (Groups{"12", "34"}));
}

TEST(Pattern, TreatsEveryByteAsOneCharacter) {
    EXPECT_TRUE(matches("^.$", "\xFF"));
    EXPECT_TRUE(matches("^..$", "\xC3\xA9")); // valid UTF-8, still two characters
    EXPECT_TRUE(matches("^a.b$", std::string_view("a\0b", 3)));
    EXPECT_TRUE(matches("^.+\\.dbc$", "x\ny.dbc"));
    EXPECT_EQ(groupsOf("(.)(.)", "\x80\xFE"), (Groups{"\x80", "\xFE"}));
}

TEST(Pattern, SupportsTheClassesAndEscapesOfTheDbcPatterns) {
    EXPECT_TRUE(matches("[[:graph:]]+", "a!~Z0"));
    EXPECT_FALSE(matches("[[:graph:]]+", "a b"));
    EXPECT_FALSE(matches("[[:graph:]]", "\x7F"));
    EXPECT_TRUE(matches("[[:ascii:]]+", std::string_view(" \x01\x7F\0", 4)));
    EXPECT_FALSE(matches("[[:ascii:]]", "\x80"));
    EXPECT_TRUE(matches("\\d\\s\\d", "1\t2"));
    EXPECT_TRUE(matches("[0-9eE\\.\\-]+", "-1.5e-3"));
    EXPECT_FALSE(matches("[0-9eE\\.\\-]+", "1e+3"));
    EXPECT_TRUE(matches("\\|\\(\\)\\[\\]\\.\\+\\-\\:\\\"", "|()[].+-:\""));
}

TEST(Pattern, RejectsMalformedExpressions) {
    EXPECT_EQ(patternCompile("(a"), nullptr);
    EXPECT_EQ(patternCompile("[a-"), nullptr);
    EXPECT_EQ(patternCompile("a**+"), nullptr);
}

TEST(Pattern, MatchesInLinearTimeWhereBacktrackingWouldExplode) {
    // Nested quantifiers over a long non-matching text: exponential for a backtracking engine.
    std::string text(100000, 'a');
    text += '!';
    EXPECT_FALSE(matches("^(a+)*(a|aa)*b$", text));
    std::string line = "BA_ \"x\" ";
    for (int i = 0; i < 20000; ++i)
        line += "1 ";
    EXPECT_FALSE(
        matches("^BA_ \"([[:graph:]]+)\" ?(BU_|BO_|SG_)* ?(\\d+)* ?([[:graph:]]+)* ([[:ascii:]]+);$", line));
}

} // namespace
} // namespace loglathe
