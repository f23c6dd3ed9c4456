// A group's cuts, observed through the engine's entry point with one worker:
// which of the main row's points survive its connected rows, how far the
// group's row is read, and the failures found while the cuts are worked out.
#include <gtest/gtest.h>

#include "engine_test_support.hpp"

namespace rowmerge::testing {
namespace {

std::vector<std::vector<double>> rows(std::initializer_list<std::initializer_list<double>> r) {
    return rows_of(table(r));
}

TEST(GroupCuts, GroupWithoutConnectedRowsKeepsAllItsPoints) {
    const Outcome out = run_merge(table({{0, 1, 1, nan}}), junction().points, junction().records, 0.25);
    // NaN coordinates included.
    EXPECT_PRED2(
        same_outcome, out,
        Outcome(rows({{1, 1, 2, 2, 100}, {1, 1, 9.6, 9.6, 102}, {1, 1, 10.25, 10.25, 103}, {1, 1, nan, 1, 104}})));
}

TEST(GroupCuts, ConnectedRowTrimsTheOverlap) {
    const Outcome out = run_merge(table({{0, 1, 1, 2, 1, nan}}), junction().points, junction().records, 0.25);
    EXPECT_PRED2(same_outcome, out, Outcome(rows({{1, 1, 2, 2, 100}, {1, 1, 10.25, 10.25, 103}})));
}

TEST(GroupCuts, MainRowWithoutPointsStillNeedsItsRecord) {
    EXPECT_PRED2(same_outcome, run_merge(table({{0, 2, 1, nan}}), table({}, 4), junction().records, 0.25),
                 Outcome(rows({})));
    EXPECT_EQ(run_merge(table({{0, 3, 1, nan}}), table({}, 4), junction().records, 0.25),
              Outcome(std::string(messages::missing_value)));
}

TEST(GroupCuts, FourPassesEndTheListWithoutReadingFurther) {
    // 12 columns: the 12th would be a fifth pair's first value, never read.
    const Outcome out =
        run_merge(table({{0, 1, 1, 2, 1, 2, 1, 2, 1, 2, 1, 99}}), junction().points, junction().records, 0.25);
    // Four times the same junction keep what one keeps.
    EXPECT_PRED2(same_outcome, out, Outcome(rows({{1, 1, 2, 2, 100}, {1, 1, 10.25, 10.25, 103}})));
}

class GroupCutFailures : public ::testing::TestWithParam<int> {};

std::vector<FailureCase> group_cut_failures() {
    const std::string_view oob = messages::index_out_of_bounds;
    std::vector<FailureCase> cases;
    cases.push_back({"groups with 2 columns", table({{0, 1}}), table({{1, 1, 0, 0}}),
                     table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}}), oob});
    cases.push_back({"4 columns and a connected row", table({{0, 1, 1, 2}}), table({{1, 1, 0, 0}}),
                     table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}}), oob});
    cases.push_back({"5 columns fail after one pass", table({{0, 1, 1, 1, 1}}), table({{1, 1, 0, 0}}),
                     table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}}), oob});
    cases.push_back({"3 columns fail at the first pair", table({{0, 1, 1}}), table({{1, 1, 0, 0}}),
                     table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}}), oob});
    cases.push_back({"10 record columns", table({{0, 1, 1, 1, 1}}), table({{1, 1, 0, 0}}),
                     table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2}}), messages::incompatible_shapes});
    cases.push_back({"10 record columns without points", table({{0, 1, 1, 1, 1}}), table({}, 4),
                     table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2}}), messages::incompatible_shapes});
    cases.push_back({"10 record columns without connected rows is fine", table({{0, 1, 1, nan}}), table({}, 4),
                     table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2}}), ""});
    return cases;
}

TEST_P(GroupCutFailures, FailWithTheirText) {
    expect_failure_case(group_cut_failures()[static_cast<std::size_t>(GetParam())]);
}

INSTANTIATE_TEST_SUITE_P(Checks, GroupCutFailures, ::testing::Range(0, static_cast<int>(group_cut_failures().size())));

}  // namespace
}  // namespace rowmerge::testing
