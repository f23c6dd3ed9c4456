// The process-wide worker pool: the worker count of a call, and the pool's
// life across fork().
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <latch>
#include <mutex>
#include <set>
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

// A thread that makes a parallel call and then stays alive, holding on to its
// registration with the pool, until it is let go.
class ThreadThatUsedThePool {
public:
    template <typename Call>
    explicit ThreadThatUsedThePool(Call call)
        : thread_([this, call] {
              call();
              used_.count_down();
              release_.wait();
          }) {
        used_.wait();
    }
    ~ThreadThatUsedThePool() {
        release_.count_down();
        thread_.join();
    }
    ThreadThatUsedThePool(const ThreadThatUsedThePool&) = delete;
    ThreadThatUsedThePool& operator=(const ThreadThatUsedThePool&) = delete;

private:
    std::latch used_{1};
    std::latch release_{1};
    std::thread thread_;
};

TEST(WorkerPool, WorksInAForkedChildAndAfterwardsInTheParent) {
    const Tables f = independent_groups(64, 600);
    const Outcome expected = reference_merge(f.groups, f.points, f.records, 0.1);
    auto merge_matches = [&] { return same_outcome(run_merge(f.groups, f.points, f.records, 0.1, 2), expected); };
    EXPECT_TRUE(in_child([&] { return merge_matches() && merge_matches(); }));
    EXPECT_TRUE(merge_matches());
    {
        // A fork while another thread that used the pool is still alive.
        const ThreadThatUsedThePool other(merge_matches);
        EXPECT_TRUE(in_child(merge_matches));
    }
    EXPECT_TRUE(merge_matches());
}

// Whether the two pieces of a parallel loop of two items ran at the same time
// on two threads. The first piece waits for the second to start: on a usable
// pool another thread takes it up; where calls run on the calling thread alone
// the loop is a single piece, which is seen at once. A pool that fails to run
// the second piece elsewhere is caught after a generous wait.
bool ran_on_two_threads() {
    std::mutex mutex;
    std::condition_variable started;
    std::set<std::thread::id> threads;
    bool single_piece = false;
    for_each_range(2, 2, [&](std::size_t begin, std::size_t end) {
        std::unique_lock<std::mutex> lock(mutex);
        if (end - begin == 2) {
            single_piece = true;
            return;
        }
        threads.insert(std::this_thread::get_id());
        started.notify_all();
        started.wait_for(lock, std::chrono::seconds(60), [&] { return threads.size() >= 2; });
    });
    return !single_piece && threads.size() == 2;
}

// A fork while another thread that used the pool is alive cannot shut the
// pool down; the child then runs its calls on the calling thread, and so do
// the children it forks in turn (its fork handlers must leave the pool's
// library alone: its copied state may hold locks of threads that do not exist
// there). The parent's pool keeps working.
TEST(WorkerPool, ChildrenOfAChildWithoutPoolStayOnTheCallingThread) {
    ASSERT_TRUE(ran_on_two_threads());
    {
        const ThreadThatUsedThePool other(ran_on_two_threads);
        EXPECT_TRUE(in_child([] {
            return !ran_on_two_threads() && in_child([] { return !ran_on_two_threads(); }) && !ran_on_two_threads();
        }));
    }
    EXPECT_TRUE(ran_on_two_threads());
}

}  // namespace
}  // namespace rowmerge::testing
