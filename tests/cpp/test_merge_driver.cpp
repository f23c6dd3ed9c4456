// The parallel driver: order, failure precedence, empty results, worker
// counts, concurrent callers and fork.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "engine_test_support.hpp"
#include "merge/worker_pool.hpp"

namespace rowmerge::testing {
namespace {

// `groups` crop rows (g + 1, 1), each with `per_group` points and a record;
// every group is alone (no connected rows). Enough points to use the pool.
struct Field {
    FloatMatrix groups;
    FloatMatrix points;
    FloatMatrix records;
};

Field independent_rows(std::size_t groups, std::size_t per_group) {
    std::vector<double> g, p, r;
    for (std::size_t i = 0; i < groups; ++i) {
        const double id = static_cast<double>(i + 1);
        g.insert(g.end(), {static_cast<double>(i), id, 1, nan});
        r.insert(r.end(), {id, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2});
        for (std::size_t k = 0; k < per_group; ++k) {
            p.insert(p.end(), {id, 1, static_cast<double>(k), static_cast<double>(i)});
        }
    }
    return {FloatMatrix::from_rows(groups, 4, g), FloatMatrix::from_rows(groups * per_group, 4, p),
            FloatMatrix::from_rows(groups, 11, r)};
}

TEST(MergeDriver, OneWorkerKeepsAscendingGroupOrder) {
    const Field f = independent_rows(64, 400);
    const auto rows = rows_of(multithreaded_merging(f.groups, f.points, f.records, 0.1, 1));
    ASSERT_EQ(rows.size(), 64u * 400u);
    EXPECT_TRUE(std::is_sorted(rows.begin(), rows.end()));
}

TEST(MergeDriver, ManyWorkersGiveTheOneWorkerResult) {
    const Field f = independent_rows(64, 400);
    const auto one = rows_of(multithreaded_merging(f.groups, f.points, f.records, 0.1, 1));
    for (const std::size_t workers : {2, 4, 7}) {
        EXPECT_EQ(rows_of(multithreaded_merging(f.groups, f.points, f.records, 0.1, workers)), one);
        EXPECT_PRED2(same_outcome, run_merge_strided(f.groups, f.points, f.records, 0.1, workers), one);
    }
}

// Groups listed against the table's order: the surviving rows cannot be moved
// down inside the table of points, which is left alone and copied from.
TEST(MergeDriver, ConsumingMergeFallsBackWhenGroupsRunAgainstTableOrder) {
    const Field f = independent_rows(64, 400);
    std::vector<double> reversed;
    for (std::size_t g = f.groups.rows(); g-- > 0;) {
        reversed.insert(reversed.end(), f.groups.row(g), f.groups.row(g) + f.groups.cols());
    }
    const FloatMatrix groups = FloatMatrix::from_rows(f.groups.rows(), f.groups.cols(), reversed);
    for (const std::size_t workers : {1, 2}) {
        const Outcome copied = run_merge(groups, f.points, f.records, 0.1, workers);
        ASSERT_EQ(std::get<0>(copied).size(), 64u * 400u);
        EXPECT_EQ(std::get<0>(copied).front()[0], 64.0);
        EXPECT_PRED2(same_outcome, run_merge_strided(groups, f.points, f.records, 0.1, workers), copied);
    }
}

// Rows removed from the middle of groups: the moves inside the table of
// points overlap their sources, and the table is cut to the survivors.
TEST(MergeDriver, ConsumingMergeCompactsTheTableOfPoints) {
    const FloatMatrix points = table({
        {1, 1, 0.5, 0, 100}, {1, 1, 1.5, 0, 101}, {1, 1, 2.5, 0, 102}, {1, 1, 3.5, 0, 103},
        {2, 1, 0.5, 0, 104}, {2, 1, 1.5, 0, 105}, {2, 1, 2.5, 0, 106}, {2, 1, 3.5, 0, 107},
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
    for (const FloatMatrix* groups : {new FloatMatrix(0, 4), new FloatMatrix(table({{0, 1, 1, nan}}))}) {
        const FloatMatrix result = multithreaded_merging(*groups, points, records, 0.1, 2);
        EXPECT_EQ(result.rows(), 0u);
        EXPECT_EQ(result.cols(), 7u);
        EXPECT_EQ(result.data(), nullptr);
        delete groups;
    }
}

TEST(MergeDriver, LowestFailingGroupWinsWhateverTheWorkers) {
    Field f = independent_rows(40, 500);
    // Groups 4 and 9 fail differently: 4 names a missing connected record,
    // 9 a crop row without a record.
    std::vector<double> g;
    for (std::size_t i = 0; i < 40; ++i) {
        const double id = static_cast<double>(i + 1);
        if (i == 4) g.insert(g.end(), {4, id, 1, 999, 1});
        else if (i == 9) g.insert(g.end(), {9, 777, 1, nan, 0});
        else g.insert(g.end(), {static_cast<double>(i), id, 1, nan, 0});
    }
    f.groups = FloatMatrix::from_rows(40, 5, g);
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
    f.groups = FloatMatrix::from_rows(40, 5, g);
    EXPECT_PRED2(same_outcome, run_merge(f.groups, f.points, f.records, 0.1, 2),
                 Outcome(std::string(messages::index_out_of_bounds)));
}

TEST(WorkerCount, FollowsRequestThenEnvironment) {
    const std::size_t cpus = available_processors();
    EXPECT_EQ(resolve_worker_count(3), 3u);
    EXPECT_EQ(resolve_worker_count(1000), max_worker_count);
    struct Case {
        const char* threads;
        const char* cpus_variable;
        std::size_t expected;
    };
    const Case cases[] = {
        {"3", nullptr, 3},      {"+3", "5", 3},        {"0", "5", cpus},     {"x", "5", 5},
        {"", "5", 5},           {nullptr, "7", 7},     {nullptr, "0", cpus}, {" 3", nullptr, cpus},
        {"99999999999999999999999", "2", 2},           {nullptr, nullptr, cpus}, {"4000", nullptr, 255},
    };
    for (const Case& c : cases) {
        c.threads ? ::setenv("RAYON_NUM_THREADS", c.threads, 1) : ::unsetenv("RAYON_NUM_THREADS");
        c.cpus_variable ? ::setenv("RAYON_RS_NUM_CPUS", c.cpus_variable, 1) : ::unsetenv("RAYON_RS_NUM_CPUS");
        EXPECT_EQ(resolve_worker_count(0), std::min(c.expected, max_worker_count))
            << (c.threads ? c.threads : "unset") << " / " << (c.cpus_variable ? c.cpus_variable : "unset");
    }
    ::unsetenv("RAYON_NUM_THREADS");
    ::unsetenv("RAYON_RS_NUM_CPUS");
}

TEST(MergeDriver, ConcurrentCallersAllSucceedWithTheirOwnResults) {
    const Field f = independent_rows(32, 600);
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

// Runs `body` in a forked child with a time limit; true when it exited 0.
template <typename Body>
bool in_child(Body body) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(60);
        std::_Exit(body() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(MergeDriver, WorksInAForkedChildAndAfterwardsInTheParent) {
    const Field f = independent_rows(32, 600);
    auto expected = rows_of(multithreaded_merging(f.groups, f.points, f.records, 0.1, 2));
    std::sort(expected.begin(), expected.end());
    auto merge_sorted = [&] {
        auto rows = rows_of(multithreaded_merging(f.groups, f.points, f.records, 0.1, 2));
        std::sort(rows.begin(), rows.end());
        return rows;
    };
    EXPECT_TRUE(in_child([&] { return merge_sorted() == expected && merge_sorted() == expected; }));
    EXPECT_EQ(merge_sorted(), expected);
    // A fork while another thread that used the pool is still alive.
    std::atomic<bool> stop{false};
    std::thread other([&] {
        merge_sorted();
        while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(in_child([&] { return merge_sorted() == expected; }));
    stop = true;
    other.join();
    EXPECT_EQ(merge_sorted(), expected);
}

// Whether pieces of a parallel loop ran on a thread other than the caller's.
bool ran_on_other_threads() {
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> elsewhere{false};
    for_each_range(4, 256, [&](std::size_t, std::size_t) {
        if (std::this_thread::get_id() != caller) elsewhere = true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    });
    return elsewhere;
}

// The pool's threads may be slow to start on a busy machine: a few tries.
bool eventually_on_other_threads() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (ran_on_other_threads()) return true;
    }
    return false;
}

// A fork while another thread that used the pool is alive cannot shut the
// pool down; the child then runs its calls on the calling thread, and so do
// the children it forks in turn (its fork handlers must leave the pool's
// library alone: its copied state may hold locks of threads that do not exist
// there). The parent's pool keeps working.
TEST(MergeDriver, ChildrenOfAChildWithoutPoolStayOnTheCallingThread) {
    ASSERT_TRUE(eventually_on_other_threads());
    std::atomic<bool> used{false};
    std::atomic<bool> stop{false};
    std::thread other([&] {
        ran_on_other_threads();
        used = true;
        while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (!used) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(in_child([] {
        return !ran_on_other_threads() && in_child([] { return !ran_on_other_threads(); }) &&
               !ran_on_other_threads();
    }));
    stop = true;
    other.join();
    EXPECT_TRUE(eventually_on_other_threads());
}

}  // namespace
}  // namespace rowmerge::testing
