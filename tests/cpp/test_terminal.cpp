// Whether the progress line is drawn and coloured, from its parts.
#include <gtest/gtest.h>

#include "progress/terminal.hpp"

namespace rowmerge::progress {
namespace {

TEST(ProgressTerminal, TerminalAndColourDecisions) {
    EXPECT_TRUE(terminal_test(true, nullptr, "xterm"));
    EXPECT_FALSE(terminal_test(false, nullptr, "xterm"));
    EXPECT_FALSE(terminal_test(true, "", "xterm"));  // NO_COLOR counts when set, even empty
    EXPECT_FALSE(terminal_test(true, nullptr, nullptr));
    EXPECT_FALSE(terminal_test(true, nullptr, "dumb"));

    EXPECT_TRUE(colour_choice(true, nullptr, nullptr));  // unset CLICOLOR counts as on
    EXPECT_FALSE(colour_choice(true, "0", nullptr));
    EXPECT_FALSE(colour_choice(false, "1", nullptr));
    EXPECT_TRUE(colour_choice(false, nullptr, "1"));
    EXPECT_FALSE(colour_choice(false, nullptr, "0"));
    EXPECT_TRUE(colour_choice(true, "0", "1"));
}

}  // namespace
}  // namespace rowmerge::progress
