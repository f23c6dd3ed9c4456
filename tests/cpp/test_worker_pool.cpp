// The process-wide worker pool: the worker count of a call, and the pool's
// life across fork().
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "engine_test_support.hpp"
#include "merge/worker_pool.hpp"

namespace rowmerge::testing {
namespace {

TEST(WorkerPool, WorkerCountFollowsRequestThenEnvironment) {
    const std::size_t cpus = available_processors();
    EXPECT_EQ(resolve_worker_count(3), 3u);
    EXPECT_EQ(resolve_worker_count(1000), max_worker_count);
    struct Case {
        const char* threads;
        const char* cpus_variable;
        std::size_t expected;
    };
    const Case cases[] = {
        {"3", nullptr, 3},
        {"+3", "5", 3},
        {"0", "5", cpus},
        {"x", "5", 5},
        {"", "5", 5},
        {nullptr, "7", 7},
        {nullptr, "0", cpus},
        {" 3", nullptr, cpus},
        {"99999999999999999999999", "2", 2},
        {nullptr, nullptr, cpus},
        {"4000", nullptr, 255},
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

TEST(WorkerPool, WorksInAForkedChildAndAfterwardsInTheParent) {
    const Tables f = independent_groups(32, 600);
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
TEST(WorkerPool, ChildrenOfAChildWithoutPoolStayOnTheCallingThread) {
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
        return !ran_on_other_threads() && in_child([] { return !ran_on_other_threads(); }) && !ran_on_other_threads();
    }));
    stop = true;
    other.join();
    EXPECT_TRUE(eventually_on_other_threads());
}

}  // namespace
}  // namespace rowmerge::testing
