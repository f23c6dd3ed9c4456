// A table of points with rows but fewer than four columns: groups without
// connected rows pass their points on; any other use of the table fails where
// the merge would first read a missing column.
#include <gtest/gtest.h>

#include "engine_test_support.hpp"

namespace rowmerge::testing {
namespace {

TEST(PointsWithoutXy, GroupsWithoutConnectedRowsPassTheirRowsOnInTableOrder) {
    const FloatMatrix records = table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}, {2, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}});
    const FloatMatrix points = table({{1, 1, 7}, {2, 1, 8}, {1.5, 1, 9}, {1, 2, 10}});
    const Outcome out = run_merge(table({{0, 2, 1, nan}, {1, 1, 1, nan}}), points, records, 0.1);
    EXPECT_PRED2(same_outcome, out, Outcome(rows_of(table({{2, 1, 8}, {1, 1, 7}, {1.5, 1, 9}}))));
}

class FailuresWithoutXy : public ::testing::TestWithParam<int> {};

std::vector<FailureCase> failures_without_xy() {
    const std::string_view oob = messages::index_out_of_bounds;
    std::vector<FailureCase> cases;
    cases.push_back({"points without columns", table({{0, 1, 1, nan}}), FloatMatrix(2, 0),
                     table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}}), oob});
    cases.push_back({"one point column, matching", table({{0, 1, 1, nan}}), table({{1.5}}),
                     table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}}), oob});
    cases.push_back({"one point column, no match", table({{0, 1, 1, nan}}), table({{2}}),
                     table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}}), ""});
    cases.push_back({"short points reach a pass", table({{0, 1, 1, 1, 1}}), table({{1, 1, 0}}),
                     table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}}), oob});
    cases.push_back({"short points without a pass", table({{0, 1, 1, nan}}), table({{1, 1, 0}}),
                     table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}}), ""});
    return cases;
}

TEST_P(FailuresWithoutXy, FailWithTheirText) {
    expect_failure_case(failures_without_xy()[static_cast<std::size_t>(GetParam())]);
}

INSTANTIATE_TEST_SUITE_P(Checks, FailuresWithoutXy,
                         ::testing::Range(0, static_cast<int>(failures_without_xy().size())));

}  // namespace
}  // namespace rowmerge::testing
