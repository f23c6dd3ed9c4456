// The fields of the progress line checked directly.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "progress/progress_format.hpp"

namespace rowmerge::progress {
namespace {

std::string cells(std::size_t full, std::size_t light) {
    std::string out;
    for (std::size_t i = 0; i < full + light; ++i) out.append(i < full ? "█" : "░");
    return out;
}

class ProgressElapsed : public ::testing::TestWithParam<std::pair<std::uint64_t, const char*>> {};
TEST_P(ProgressElapsed, Formats) { EXPECT_EQ(format_elapsed(GetParam().first), GetParam().second); }
INSTANTIATE_TEST_SUITE_P(Progress, ProgressElapsed,
                         ::testing::Values(std::pair{0, "00:00:00"}, std::pair{3599, "00:59:59"},
                                           std::pair{86399, "23:59:59"}, std::pair{86400, "1d 00:00:00"},
                                           std::pair{90061, "1d 01:01:01"},  // hours modulo 24
                                           std::pair{10 * 86400 + 5 * 3600 + 7, "10d 05:00:07"}));

class ProgressEta : public ::testing::TestWithParam<std::pair<double, const char*>> {};
TEST_P(ProgressEta, Formats) { EXPECT_EQ(format_eta(GetParam().first), GetParam().second); }
INSTANTIATE_TEST_SUITE_P(
    Progress, ProgressEta,
    ::testing::Values(std::pair{0.0, "0s"}, std::pair{-3.0, "0s"},
                      std::pair{std::numeric_limits<double>::quiet_NaN(), "0s"},
                      std::pair{std::numeric_limits<double>::infinity(), "0s"}, std::pair{0.5, "1s"},
                      // Each unit starts where time + half the next smaller unit reaches 1.5 of it,
                      // and reads at least 2.
                      std::pair{89.4, "89s"}, std::pair{89.5, "2m"}, std::pair{150.0, "3m"}, std::pair{5369.0, "89m"},
                      std::pair{5370.0, "2h"}, std::pair{127799.0, "35h"}, std::pair{127800.0, "2d"},
                      std::pair{863999.0, "10d"}, std::pair{864000.0, "2w"}, std::pair{47001599.0, "78w"},
                      std::pair{47001600.0, "2y"}, std::pair{3.0 * 365 * 86400, "3y"}));

TEST(ProgressBar, FractionIsSinglePrecisionAndCapped) {
    EXPECT_EQ(filled_fraction(0, 0), 1.0f);
    EXPECT_EQ(filled_fraction(0, 10), 0.0f);
    EXPECT_EQ(filled_fraction(1, 3), 1.0f / 3.0f);
    EXPECT_EQ(filled_fraction(11, 10), 1.0f);
    EXPECT_EQ(filled_fraction(16777216, 16777217), 1.0f);  // 2^24 + 1 rounds to 2^24 as a float
}

struct BarCase {
    std::uint64_t position, total;
    std::size_t filled, highlighted;
};
class ProgressBarCells : public ::testing::TestWithParam<BarCase> {};
TEST_P(ProgressBarCells, FillAndColourSplit) {
    const BarCells got = bar_cells(filled_fraction(GetParam().position, GetParam().total));
    EXPECT_EQ(got.filled, GetParam().filled);
    EXPECT_EQ(got.highlighted, GetParam().highlighted);
}
INSTANTIATE_TEST_SUITE_P(Progress, ProgressBarCells,
                         ::testing::Values(BarCase{0, 10, 0, 0}, BarCase{1, 100, 0, 1}, BarCase{1, 3, 13, 14},
                                           BarCase{7, 10, 28, 29},  // 40 * 0.7f is 28 in float, 27.99.. in double
                                           BarCase{39, 40, 39, 40}, BarCase{10, 10, 40, 40}, BarCase{0, 0, 40, 40}));

TEST(ProgressLine, SpinnerFramesInOrderAndCycle) {
    std::string all;
    for (std::uint64_t i = 0; i < spinner_frame_count; ++i) all.append(spinner_frame(i));
    EXPECT_EQ(all, "⠁⠁⠉⠙⠚⠒⠂⠂⠒⠲⠴⠤⠄⠄⠤⠠⠠⠤⠦⠖⠒⠐⠐⠒⠓⠋⠉⠈⠈");
    EXPECT_EQ(spinner_frame(29 * 7 + 3), spinner_frame(3));
}

TEST(ProgressLine, Layout) {
    std::string out = "kept:";
    append_line(
        out,
        {.step_count = 3, .finished = false, .elapsed_seconds = 65, .position = 1, .total = 3, .eta_seconds = 130.0},
        false);
    EXPECT_EQ(out, "kept:⠙ [00:01:05] [" + cells(13, 27) + "] 1/3 (2m)");

    std::string coloured;
    append_line(
        coloured,
        {.step_count = 0, .finished = false, .elapsed_seconds = 0, .position = 1, .total = 3, .eta_seconds = 0.0},
        true);
    EXPECT_EQ(coloured, "\x1b[32m⠁\x1b[0m [00:00:00] [\x1b[36m" + cells(13, 1) + "\x1b[0m\x1b[34m" + cells(0, 26) +
                            "\x1b[0m] 1/3 (0s)");

    std::string finished;  // blank spinner and nothing left, whatever the estimate said
    append_line(
        finished,
        {.step_count = 5, .finished = true, .elapsed_seconds = 2, .position = 3, .total = 3, .eta_seconds = 99.0},
        true);
    EXPECT_EQ(finished, "\x1b[32m \x1b[0m [00:00:02] [\x1b[36m" + cells(40, 0) + "\x1b[0m] 3/3 (0s)");
}

}  // namespace
}  // namespace rowmerge::progress
