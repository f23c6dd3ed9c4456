// Kernel behaviour observed through the engine's entry point, one worker.
#include <gtest/gtest.h>

#include "engine_test_support.hpp"

namespace rowmerge::testing {
namespace {

// Crop row (1, 1) runs from (0, 0) to (10, 10); crop row (2, 1) continues from
// (8, 9) to (20, 21); the cut point lies at (9.25, 9.25).
const FloatMatrix records = table({
    {1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5},
    {2, 0, 0, 0, 1, 8, 9, 20, 21, 14, 15},
});
const FloatMatrix points = table({
    {1, 1, 2, 2, 100},
    {2, 1, 9, 9, 101},
    {1, 1, 9.6, 9.6, 102},
    {1, 1, 10.25, 10.25, 103},
    {1, 1, nan, 1, 104},
});

std::vector<std::vector<double>> rows(std::initializer_list<std::initializer_list<double>> r) {
    return rows_of(table(r));
}

TEST(GroupMerge, GroupWithoutConnectedRowsKeepsAllItsPoints) {
    const Outcome out = run_merge(table({{0, 1, 1, nan}}), points, records, 0.25);
    EXPECT_EQ(std::get<0>(out).size(), 4u);  // NaN coordinates included
}

TEST(GroupMerge, ConnectedRowTrimsTheOverlap) {
    const Outcome out = run_merge(table({{0, 1, 1, 2, 1, nan}}), points, records, 0.25);
    EXPECT_PRED2(same_outcome, out, Outcome(rows({{1, 1, 2, 2, 100}, {1, 1, 10.25, 10.25, 103}})));
}

TEST(GroupMerge, MainIdentifiersAreTruncatedConnectedOnesCompareExactly) {
    // 1.7 selects the points and record stored as 1.0 ...
    const Outcome main = run_merge(table({{0, 1.7, 1.2, nan}}), points, records, 0.25);
    EXPECT_EQ(std::get<0>(main).size(), 4u);
    // ... but as a connected identifier 2.5 finds no record stored as 2.0.
    const Outcome connected = run_merge(table({{0, 1, 1, 2.5, 1, nan}}), points, records, 0.25);
    EXPECT_PRED2(same_outcome, connected, Outcome(std::string(messages::missing_value)));
}

TEST(GroupMerge, NegativeAndNaNMainIdentifiersSelectZero) {
    const FloatMatrix zero_points = table({{0, 0, 1, 1}, {-3, nan, 2, 2}, {1, 0, 3, 3}});
    const FloatMatrix zero_records = table({{-0.5, 0, 0, 0, nan, 0, 0, 1, 1, 2, 2}});
    const Outcome out = run_merge(table({{0, nan, -7.5, nan}}), zero_points, zero_records, 0.1);
    EXPECT_PRED2(same_outcome, out, Outcome(rows({{0, 0, 1, 1}, {-3, nan, 2, 2}})));
}

TEST(GroupMerge, FirstMatchingRecordWins) {
    // A later duplicate of crop row (2, 1) with anchors that would trim nothing.
    const FloatMatrix with_duplicate = table({
        {1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5},
        {2, 0, 0, 0, 1, 8, 9, 20, 21, 14, 15},
        {2, 0, 0, 0, 1, 100, 100, 200, 200, 150, 150},
    });
    const Outcome out = run_merge(table({{0, 1, 1, 2, 1, nan}}), points, with_duplicate, 0.25);
    EXPECT_EQ(std::get<0>(out).size(), 2u);
}

TEST(GroupMerge, GroupsSharingAMainRowBothAppendIt) {
    const Outcome out = run_merge(table({{0, 2, 1, nan}, {1, 2, 1, nan}}), points, records, 0.25);
    EXPECT_PRED2(same_outcome, out, Outcome(rows({{2, 1, 9, 9, 101}, {2, 1, 9, 9, 101}})));
}

TEST(GroupMerge, MainRowWithoutPointsStillNeedsItsRecord) {
    EXPECT_PRED2(same_outcome, run_merge(table({{0, 2, 1, nan}}), table({}, 4), records, 0.25), Outcome(rows({})));
    EXPECT_EQ(run_merge(table({{0, 3, 1, nan}}), table({}, 4), records, 0.25),
              Outcome(std::string(messages::missing_value)));
}

TEST(GroupMerge, FourPassesEndTheListWithoutReadingFurther) {
    // 12 columns: the 12th would be a fifth pair's first value, never read.
    const Outcome out =
        run_merge(table({{0, 1, 1, 2, 1, 2, 1, 2, 1, 2, 1, 99}}), points, records, 0.25);
    EXPECT_EQ(std::get<0>(out).size(), 2u);
}

struct FailureCase {
    const char* name;
    FloatMatrix groups;
    FloatMatrix points;
    FloatMatrix records;
    std::string_view text;
};

class KernelFailures : public ::testing::TestWithParam<int> {};

std::vector<FailureCase> failure_cases() {
    std::vector<FailureCase> cases;
    const std::string_view oob = messages::index_out_of_bounds;
    cases.push_back({"groups with 2 columns", table({{0, 1}}), table({{1, 1, 0, 0}}), table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}}), oob});
    cases.push_back({"4 columns and a connected row", table({{0, 1, 1, 2}}), table({{1, 1, 0, 0}}), table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}}), oob});
    cases.push_back({"5 columns fail after one pass", table({{0, 1, 1, 1, 1}}), table({{1, 1, 0, 0}}), table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}}), oob});
    cases.push_back({"3 columns fail at the first pair", table({{0, 1, 1}}), table({{1, 1, 0, 0}}), table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}}), oob});
    cases.push_back({"points without columns", table({{0, 1, 1, nan}}), FloatMatrix(2, 0), table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}}), oob});
    cases.push_back({"one point column, matching", table({{0, 1, 1, nan}}), table({{1.5}}), table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}}), oob});
    cases.push_back({"one point column, no match", table({{0, 1, 1, nan}}), table({{2}}), table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}}), ""});
    cases.push_back({"no records", table({{0, 1, 1, nan}}), table({{1, 1, 0, 0}}), table({}, 11), messages::missing_value});
    cases.push_back({"records without columns", table({{0, 1, 1, nan}}), table({{1, 1, 0, 0}}), FloatMatrix(1, 0), oob});
    cases.push_back({"4 record columns, matching", table({{0, 1, 1, nan}}), table({{1, 1, 0, 0}}), table({{1, 0, 0, 0}}), oob});
    cases.push_back({"4 record columns, no match", table({{0, 1, 1, nan}}), table({{1, 1, 0, 0}}), table({{2, 0, 0, 0}}), messages::missing_value});
    cases.push_back({"10 record columns", table({{0, 1, 1, 1, 1}}), table({{1, 1, 0, 0}}), table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2}}), messages::incompatible_shapes});
    cases.push_back({"10 record columns without points", table({{0, 1, 1, 1, 1}}), table({}, 4), table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2}}), messages::incompatible_shapes});
    cases.push_back({"10 record columns without connected rows is fine", table({{0, 1, 1, nan}}), table({}, 4), table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2}}), ""});
    cases.push_back({"connected pair with NaN second value", table({{0, 1, 1, 1, nan}}), table({{1, 1, 0, 0}}), table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}}), messages::missing_value});
    cases.push_back({"short points reach a pass", table({{0, 1, 1, 1, 1}}), table({{1, 1, 0}}), table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}}), oob});
    cases.push_back({"short points without a pass", table({{0, 1, 1, nan}}), table({{1, 1, 0}}), table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}}), ""});
    return cases;
}

TEST_P(KernelFailures, FailWithTheirText) {
    const FailureCase c = std::move(failure_cases()[static_cast<std::size_t>(GetParam())]);
    const Outcome out = run_merge(c.groups, c.points, c.records, 0.1);
    if (c.text.empty()) {
        EXPECT_EQ(out.index(), 0u) << c.name;
    } else {
        EXPECT_PRED2(same_outcome, out, Outcome(std::string(c.text))) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Checks, KernelFailures,
                         ::testing::Range(0, static_cast<int>(failure_cases().size())));

}  // namespace
}  // namespace rowmerge::testing
