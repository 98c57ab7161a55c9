#include "pop3_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::size_t LineLength(std::string_view text) {
    return pop3::LineLength(text.data(), text.size());
}

TEST(LineRule, LineEndsAtTheFirstCrAndTakesAnLfAlreadyReceived) {
    EXPECT_EQ(LineLength("USER alice\r\nPASS x\r\n"), 12u);
    EXPECT_EQ(LineLength("USER alice\rPASS"), 11u);
    EXPECT_EQ(LineLength("USER alice\r"),
              11u);  // the LF may come later, as the next line's first byte
    EXPECT_EQ(LineLength("USER alice\n"), 0u);  // a bare LF ends nothing
    EXPECT_EQ(LineLength("USER alice"), 0u);
    EXPECT_EQ(LineLength("\r\n"), 2u);
}

TEST(LineRule, CompleteLinesReachToTheLastTerminator) {
    auto complete = [](std::string_view text, bool bAfterCR = false) {
        return pop3::CompleteLinesLength(text.data(), text.size(), bAfterCR);
    };
    EXPECT_EQ(complete("a\r\nb\r\nc"), 6u);
    EXPECT_EQ(complete("a\r\nb\r"), 5u);
    EXPECT_EQ(complete("partial"), 0u);
    EXPECT_EQ(complete(""), 0u);
    // An LF that arrives alone right after a relayed CR finishes that line at once.
    EXPECT_EQ(complete("\n", true), 1u);
    EXPECT_EQ(complete("\nmore", true), 1u);
    EXPECT_EQ(complete("\nmore", false), 0u);
}

TEST(Words, SplitOnRunsOfSpaceCrAndLf) {
    std::string_view words[3];
    ASSERT_EQ(pop3::SplitWords("  USER   alice  extra\r\n", words, 3), 3u);
    EXPECT_EQ(words[0], "USER");
    EXPECT_EQ(words[1], "alice");
    EXPECT_EQ(words[2], "extra");
    ASSERT_EQ(pop3::SplitWords("\nPASS secret word\r\n", words, 2), 2u);
    EXPECT_EQ(words[0], "PASS");
    EXPECT_EQ(words[1], "secret");  // a password is cut at its first space
    EXPECT_EQ(pop3::SplitWords(" \r\n", words, 3), 0u);
    // A tab is no separator.
    ASSERT_EQ(pop3::SplitWords("USER\talice\r\n", words, 3), 1u);
    EXPECT_EQ(words[0], "USER\talice");
}

TEST(Words, CommandsMatchWholeWordsInAnyCase) {
    EXPECT_TRUE(pop3::IsCommand("USER", "USER"));
    EXPECT_TRUE(pop3::IsCommand("user", "USER"));
    EXPECT_TRUE(pop3::IsCommand("uSeR", "USER"));
    EXPECT_FALSE(pop3::IsCommand("USERS", "USER"));
    EXPECT_FALSE(pop3::IsCommand("USE", "USER"));
    EXPECT_FALSE(pop3::IsCommand("CAPA", "USER"));
}

TEST(TimeStamp, IsTakenFromTheLastOpeningBracketBeforeTheFirstClosingOne) {
    EXPECT_EQ(pop3::FindTimeStamp("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n"),
              "<1896.697170952@dbc.mtview.ca.us>");
    EXPECT_EQ(pop3::FindTimeStamp("+OK <a <b@c> <d@e>\r\n"), "<b@c>");
    EXPECT_EQ(pop3::FindTimeStamp("-ERR busy <1.2@host>\r\n"), "<1.2@host>");
    EXPECT_EQ(pop3::FindTimeStamp("+OK <>\r\n"), "<>");
}

TEST(TimeStamp, IsMissingWithoutABracketPair) {
    EXPECT_TRUE(pop3::FindTimeStamp("+OK ready\r\n").empty());
    EXPECT_TRUE(pop3::FindTimeStamp("+OK <unterminated\r\n").empty());
    EXPECT_TRUE(pop3::FindTimeStamp("+OK > then <1.2@host>\r\n").empty());
}

}  // namespace
