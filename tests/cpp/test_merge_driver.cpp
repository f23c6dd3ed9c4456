// The merge driver: order, failure precedence, empty results and concurrent
// callers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "engine_test_support.hpp"

namespace rowmerge::testing {
namespace {

TEST(MergeDriver, OneWorkerKeepsAscendingGroupOrder) {
    const Tables f = independent_groups(64, 400);
    const auto rows = rows_of(multithreaded_merging(f.groups, f.points, f.records, 0.1, 1));
    ASSERT_EQ(rows.size(), 64u * 400u);
    EXPECT_TRUE(std::is_sorted(rows.begin(), rows.end()));
}

TEST(MergeDriver, ManyWorkersGiveTheOneWorkerResult) {
    const Tables f = independent_groups(64, 400);
    const auto one = rows_of(multithreaded_merging(f.groups, f.points, f.records, 0.1, 1));
    for (const std::size_t workers : {2, 4, 7}) {
        EXPECT_EQ(rows_of(multithreaded_merging(f.groups, f.points, f.records, 0.1, workers)), one);
        EXPECT_PRED2(same_outcome, run_merge_strided(f.groups, f.points, f.records, 0.1, workers), one);
    }
}

// Groups listed against the table's order: the result follows the groups, not
// the table of points.
TEST(MergeDriver, GroupsAgainstTableOrderComeOutInGroupOrder) {
    const Tables f = independent_groups(64, 400);
    std::vector<double> reversed;
    for (std::size_t g = f.groups.rows(); g-- > 0;) {
        reversed.insert(reversed.end(), f.groups.row(g), f.groups.row(g) + f.groups.cols());
    }
    const FloatMatrix groups = matrix_from_values(f.groups.rows(), f.groups.cols(), reversed);
    for (const std::size_t workers : {1, 2}) {
        const Outcome copied = run_merge(groups, f.points, f.records, 0.1, workers);
        ASSERT_EQ(std::get<0>(copied).size(), 64u * 400u);
        EXPECT_EQ(std::get<0>(copied).front()[0], 64.0);
        EXPECT_PRED2(same_outcome, run_merge_strided(groups, f.points, f.records, 0.1, workers), copied);
    }
}

// Rows removed from the middle of groups: the result holds the survivors
// alone, with no room left over.
TEST(MergeDriver, RowsRemovedFromTheMiddleOfGroupsLeaveNoGaps) {
    const FloatMatrix points = table({
        {1, 1, 0.5, 0, 100},
        {1, 1, 1.5, 0, 101},
        {1, 1, 2.5, 0, 102},
        {1, 1, 3.5, 0, 103},
        {2, 1, 0.5, 0, 104},
        {2, 1, 1.5, 0, 105},
        {2, 1, 2.5, 0, 106},
        {2, 1, 3.5, 0, 107},
    });
    const FloatMatrix records = table({
        {1, 0, 0, 0, 1, 0, 0, 4, 0, 2, 0},
        {2, 0, 0, 0, 1, 3, 0, 7, 0, 5, 0},
    });
    const FloatMatrix groups = table({{0, 1, 1, 2, 1, nan}, {1, 2, 1, nan, 0, 0}});
    const Outcome expected = reference_merge(groups, points, records, 0.1);
    ASSERT_LT(std::get<0>(expected).size(), 8u);
    const FloatMatrix result = multithreaded_merging(groups, points, records, 0.1, 1);
    EXPECT_EQ(rows_of(result), std::get<0>(expected));
    EXPECT_EQ(result.size(), result.rows() * 5);
}

TEST(MergeDriver, EmptyResultsHaveThePointColumnCount) {
    const FloatMatrix points = table({{5, 5, 0, 0, 0, 0, 0}});
    const FloatMatrix records = table({{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}});
    const FloatMatrix no_groups(0, 4);
    const FloatMatrix group_without_points = table({{0, 1, 1, nan}});
    for (const FloatMatrix* groups : {&no_groups, &group_without_points}) {
        const FloatMatrix result = multithreaded_merging(*groups, points, records, 0.1, 2);
        EXPECT_EQ(result.rows(), 0u);
        EXPECT_EQ(result.cols(), 7u);
        EXPECT_EQ(result.data(), nullptr);
    }
}

TEST(MergeDriver, LowestFailingGroupWinsWhateverTheWorkers) {
    Tables f = independent_groups(40, 500);
    // Groups 4 and 9 fail differently: 4 names a missing connected record,
    // 9 a crop row without a record.
    std::vector<double> g;
    for (std::size_t i = 0; i < 40; ++i) {
        const double id = static_cast<double>(i + 1);
        if (i == 4)
            g.insert(g.end(), {4, id, 1, 999, 1});
        else if (i == 9)
            g.insert(g.end(), {9, 777, 1, nan, 0});
        else
            g.insert(g.end(), {static_cast<double>(i), id, 1, nan, 0});
    }
    f.groups = matrix_from_values(40, 5, g);
    for (const std::size_t workers : {1, 2, 3, 8}) {
        for (int repeat = 0; repeat < 5; ++repeat) {
            EXPECT_PRED2(same_outcome, run_merge(f.groups, f.points, f.records, 0.1, workers),
                         Outcome(std::string(messages::missing_value)));
        }
    }
    g[9 * 5 + 1] = 10;  // group 9 valid again: group 4 alone fails
    g[4 * 5 + 3] = nan;
    g[9 * 5 + 3] = 10;  // group 9 now has a connected row ...
    g[9 * 5 + 4] = 1;   // ... and 5 columns: it fails with index out of bounds
    f.groups = matrix_from_values(40, 5, g);
    EXPECT_PRED2(same_outcome, run_merge(f.groups, f.points, f.records, 0.1, 2),
                 Outcome(std::string(messages::index_out_of_bounds)));
}

TEST(MergeDriver, ConcurrentCallersAllSucceedWithTheirOwnResults) {
    const Tables f = independent_groups(32, 600);
    const auto expected = rows_of(multithreaded_merging(f.groups, f.points, f.records, 0.1, 1));
    std::vector<std::thread> callers;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 8; ++t) {
        callers.emplace_back([&, t] {
            for (int call = 0; call < 10; ++call) {
                auto rows = rows_of(multithreaded_merging(f.groups, f.points, f.records, 0.1,
                                                          static_cast<std::size_t>(1 + (t + call) % 4)));
                std::sort(rows.begin(), rows.end());
                if (rows != expected) mismatches.fetch_add(1);
            }
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace rowmerge::testing
