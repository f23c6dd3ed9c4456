// Many threads calling the engine at once: succeeding and failing calls, every
// kind of worker count, calls large enough for each parallel stage (group
// merge, point index, stacking) and forks while calls run. Every call must get
// exactly its own outcome. Also run under ThreadSanitizer
// (scripts/test-sanitizers.sh), where these tests are the many concurrent
// callers.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine_test_support.hpp"
#include "merge/worker_pool.hpp"

namespace rowmerge::testing {
namespace {

struct Call : Tables {
    Outcome expected;  // the independent reference's outcome, rows in result order
};

// `groups` independent groups (no connected rows) of `per_group` points each.
Call independent(std::size_t groups, std::size_t per_group, std::size_t group_width = 4) {
    return {independent_groups(groups, per_group, group_width), {}};
}

void set(FloatMatrix& m, std::size_t i, std::size_t j, double value) { m.data()[i * m.cols() + j] = value; }

// The calls the callers pick from, with the reference's outcomes.
std::vector<Call> make_calls() {
    std::vector<Call> calls;
    calls.push_back(independent(32, 600));  // parallel group merge and stacking
    calls.push_back(independent(8, 40));    // below the parallel threshold
    calls.push_back(independent(0, 0));     // no groups at all
    calls.push_back(independent(40, 500, 5));
    // Group 6 names a connected record that does not exist, group 30 a main
    // row without a record: the lower one's text wins.
    set(calls.back().groups, 6, 3, 999);
    set(calls.back().groups, 30, 1, 777);
    calls.push_back(independent(40, 500));
    // Group 11 has a connected row but no column for its second identifier.
    set(calls.back().groups, 11, 3, 12);
    set(calls.back().groups, 25, 1, 777);
    calls.push_back(independent(24, 800, 5));
    // Every group fails: the first one's text wins.
    for (std::size_t g = 0; g < 24; ++g) set(calls.back().groups, g, 3, 999);
    calls.push_back(independent(64, 4200));  // enough rows for the parallel point index
    for (Call& call : calls) {
        call.expected = reference_merge(call.groups, call.points, call.records, 0.1);
    }
    return calls;
}

const std::vector<Call>& calls() {
    static const std::vector<Call> shared = make_calls();
    return shared;
}

constexpr std::size_t worker_counts[] = {0, 1, 2, 3, 4, 7, 16, 255};

TEST(ConcurrencyStress, TheCallsCoverSuccessesAndDistinctFailures) {
    const auto& all = calls();
    EXPECT_EQ(std::get<0>(all[0].expected).size(), 32u * 600u);
    EXPECT_TRUE(std::get<0>(all[2].expected).empty());
    EXPECT_EQ(std::get<1>(all[3].expected), messages::missing_value);
    EXPECT_EQ(std::get<1>(all[4].expected), messages::index_out_of_bounds);
    EXPECT_EQ(std::get<1>(all[5].expected), messages::missing_value);
    EXPECT_GE(all[6].points.rows(), std::size_t{1} << 18);
}

// Sixteen callers, each cycling through the calls and the worker counts in its
// own order, so that failing and succeeding calls, and calls with one worker
// and many, overlap.
TEST(ConcurrencyStress, SixteenCallersMixingSuccessesAndFailures) {
    const auto& all = calls();
    std::atomic<int> mismatches{0};
    std::atomic<int> made{0};
    std::vector<std::thread> callers;
    for (std::size_t t = 0; t < 16; ++t) {
        callers.emplace_back([&, t] {
            for (std::size_t n = 0; n < 12; ++n) {
                const std::size_t pick = (t * 5 + n * 3) % all.size();
                const std::size_t workers = worker_counts[(t + n) % std::size(worker_counts)];
                const Call& call = all[pick];
                const Outcome got = run_merge(call.groups, call.points, call.records, 0.1, workers);
                if (!same_outcome(got, call.expected)) {
                    mismatches.fetch_add(1);
                    ADD_FAILURE() << "call " << pick << " with " << workers << " workers";
                }
                made.fetch_add(1);
            }
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(made.load(), 16 * 12);
    EXPECT_EQ(mismatches.load(), 0);
}

// The same inputs from many threads with many workers each, all failing at
// once in many groups: the failure reported is always the lowest group's.
TEST(ConcurrencyStress, SimultaneousFailuresReportTheLowestGroupInEveryCall) {
    const Call& call = calls()[5];
    std::atomic<int> mismatches{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 6; ++t) {
        callers.emplace_back([&] {
            for (int n = 0; n < 5; ++n) {
                if (!same_outcome(run_merge(call.groups, call.points, call.records, 0.1, 8), call.expected)) {
                    mismatches.fetch_add(1);
                }
            }
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// An exception escaping a piece of for_each_range reaches the caller only once
// no other piece runs any more (they use the caller's stack), with the text
// the throwing thread gave it; several callers at once, each with its own.
TEST(ConcurrencyStress, AnExceptionFromAPieceArrivesAfterTheOtherPiecesStopped) {
    std::atomic<int> bad{0};
    std::vector<std::thread> callers;
    for (std::size_t t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            for (std::size_t n = 0; n < 10; ++n) {
                const std::size_t failing = (t * 17 + n * 5) % 64;
                std::atomic<int> running{0};
                std::vector<double> sums(64, 0.0);
                try {
                    for_each_range(4, 64, [&](std::size_t begin, std::size_t end) {
                        running.fetch_add(1);
                        for (std::size_t i = begin; i < end; ++i) {
                            if (i == failing) {
                                running.fetch_sub(1);
                                throw std::runtime_error("piece " + std::to_string(i) + " of caller " +
                                                         std::to_string(t));
                            }
                            for (int k = 0; k < 2000; ++k) sums[i] += k;
                        }
                        running.fetch_sub(1);
                    });
                    bad.fetch_add(1);
                } catch (const std::runtime_error& error) {
                    const std::string expected = "piece " + std::to_string(failing) + " of caller " + std::to_string(t);
                    if (error.what() != expected || running.load() != 0) bad.fetch_add(1);
                }
            }
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(bad.load(), 0);
}

// Waits for a forked child; true when it exited 0. A child that has not ended
// after `limit` (far beyond what its calls take, even under a sanitizer) is
// killed and counts as failed: a child hanging, even inside fork() before it
// could arm an alarm of its own, must fail the test rather than stall the run.
// The wait sleeps in poll() on a descriptor of the child, which becomes
// readable when the child ends.
bool child_succeeded(pid_t child, std::chrono::seconds limit) {
    const int descriptor = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
    bool ended = true;
    if (descriptor >= 0) {
        pollfd wait_for_exit{descriptor, POLLIN, 0};
        int ready = 0;
        do {
            ready = ::poll(&wait_for_exit, 1, static_cast<int>(limit.count() * 1000));
        } while (ready < 0 && errno == EINTR);
        ::close(descriptor);
        ended = ready > 0;
    }
    if (!ended) {
        ::kill(-child, SIGKILL);  // its own children too, when it leads a process group
        ::kill(child, SIGKILL);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!ended) {
        ADD_FAILURE() << "child " << child << " hung";
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Forks while other threads are in the middle of calls, with the pool's
// worker threads busy. A fork waits until no call uses the pool; each child
// makes parallel and single-worker calls, forks a grandchild that does the
// same, and exits with their verdict; the parent's callers get their own
// outcomes throughout. The callers make a fixed number of calls: a fork may
// have to wait for all of them.
TEST(ConcurrencyStress, ForksWhileOtherThreadsCall) {
    const auto& all = calls();
    const Call& big = all[0];
    const Call& failing = all[3];
    // One parallel call first: the pool and its fork handlers are set up
    // before any fork.
    ASSERT_PRED2(same_outcome, run_merge(big.groups, big.points, big.records, 0.1, 2), big.expected);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> callers;
    for (std::size_t t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            for (std::size_t n = 0; n < 12; ++n) {
                const Call& call = (t + n) % 3 == 0 ? failing : big;
                const Outcome got = run_merge(call.groups, call.points, call.records, 0.1, 1 + (t + n) % 4);
                if (!same_outcome(got, call.expected)) mismatches.fetch_add(1);
            }
        });
    }
    int children_ok = 0;
    for (int f = 0; f < 6; ++f) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::setpgid(0, 0);  // so that a hanging grandchild can be killed with it
            auto calls_succeed = [&] {
                return same_outcome(run_merge(big.groups, big.points, big.records, 0.1, 4), big.expected) &&
                       same_outcome(run_merge(failing.groups, failing.points, failing.records, 0.1, 2),
                                    failing.expected) &&
                       same_outcome(run_merge(big.groups, big.points, big.records, 0.1, 1), big.expected);
            };
            bool ok = calls_succeed();
            const pid_t grandchild = ::fork();
            if (grandchild == 0) {
                std::_Exit(calls_succeed() ? 0 : 1);
            }
            ok = grandchild > 0 && child_succeeded(grandchild, std::chrono::seconds(60)) && ok && calls_succeed();
            std::_Exit(ok ? 0 : 1);
        }
        if (child < 0) {
            ADD_FAILURE() << "fork failed";
            continue;
        }
        children_ok += child_succeeded(child, std::chrono::seconds(120));
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(children_ok, 6);
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace rowmerge::testing
