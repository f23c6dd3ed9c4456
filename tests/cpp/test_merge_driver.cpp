// The merge driver: order, failure precedence, empty results and concurrent
// callers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <thread>

#include "engine_test_support.hpp"

namespace rowmerge::testing {
namespace {

// 64 groups of 600 points: enough rows for the parallel passes.
Tables parallel_field() { return independent_groups(64, 600); }

TEST(MergeDriver, EveryWorkerCountGivesTheReferenceResultInOrder) {
    const Tables f = parallel_field();
    const Outcome expected = reference_merge(f.groups, f.points, f.records, 0.1);
    ASSERT_EQ(std::get<0>(expected).size(), 64u * 600u);
    for (const std::size_t workers : {1, 2, 3, 4, 7, 8}) {
        EXPECT_PRED2(same_outcome, run_merge(f.groups, f.points, f.records, 0.1, workers), expected) << workers;
        EXPECT_PRED2(same_outcome, run_merge_strided(f.groups, f.points, f.records, 0.1, workers), expected) << workers;
    }
}

// Groups listed against the table's order: the result follows the groups, not
// the table of points.
TEST(MergeDriver, GroupsAgainstTableOrderComeOutInGroupOrder) {
    const Tables f = parallel_field();
    std::vector<double> reversed;
    for (std::size_t g = f.groups.rows(); g-- > 0;) {
        reversed.insert(reversed.end(), f.groups.row(g), f.groups.row(g) + f.groups.cols());
    }
    const FloatMatrix groups = matrix_from_values(f.groups.rows(), f.groups.cols(), reversed);
    const Outcome expected = reference_merge(groups, f.points, f.records, 0.1);
    ASSERT_EQ(std::get<0>(expected).front()[0], 64.0);
    for (const std::size_t workers : {1, 2}) {
        EXPECT_PRED2(same_outcome, run_merge(groups, f.points, f.records, 0.1, workers), expected);
        EXPECT_PRED2(same_outcome, run_merge_strided(groups, f.points, f.records, 0.1, workers), expected);
    }
}

// Records each thread that reports progress. The first thread to report holds
// on to its piece of work until a second thread has reported too: a merge
// asked for two workers that ran on one thread would never let it go, and the
// test fails after a generous wait instead of passing by luck of timing. The
// wait happens once: after it, the merge runs on to its end and the test
// fails, rather than waiting again at every report.
class ThreadMeeting final : public MergeObserver {
public:
    void advance(std::uint64_t) noexcept override {
        std::unique_lock<std::mutex> lock(mutex_);
        threads_.insert(std::this_thread::get_id());
        met_.notify_all();
        if (!given_up_) {
            given_up_ = !met_.wait_for(lock, std::chrono::seconds(120), [&] { return threads_.size() >= 2; });
        }
    }
    std::size_t threads() {
        std::lock_guard<std::mutex> lock(mutex_);
        return threads_.size();
    }

private:
    std::mutex mutex_;
    std::condition_variable met_;
    std::set<std::thread::id> threads_;
    bool given_up_ = false;
};

TEST(MergeDriver, TwoWorkersRunOnTwoThreads) {
    const Tables f = parallel_field();
    ThreadMeeting meeting;
    MergeRequest request;
    request.tolerance = 0.1;
    request.num_threads = 2;
    request.observer = &meeting;
    const MergedPoints merged = merge_tables(f.groups, TableView::of(f.points), f.records, request);
    // Each pass over the points runs in an arena of its own, which oneTBB may
    // give another of its worker threads: more than two threads can report
    // over the whole merge, never fewer.
    EXPECT_GE(meeting.threads(), 2u);
    EXPECT_PRED2(same_outcome, rows_of(merged.rows), reference_merge(f.groups, f.points, f.records, 0.1));
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

TEST(MergeDriver, ConcurrentCallersAllGetTheReferenceResult) {
    const Tables f = parallel_field();
    const Outcome expected = reference_merge(f.groups, f.points, f.records, 0.1);
    std::vector<std::thread> callers;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 8; ++t) {
        callers.emplace_back([&, t] {
            for (int call = 0; call < 10; ++call) {
                const auto workers = static_cast<std::size_t>(1 + (t + call) % 4);
                if (!same_outcome(run_merge(f.groups, f.points, f.records, 0.1, workers), expected)) {
                    mismatches.fetch_add(1);
                }
            }
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace rowmerge::testing
