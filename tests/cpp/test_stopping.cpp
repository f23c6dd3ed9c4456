// Stopping a merge from its observer: once the observer asks to stop, every
// worker ends within the piece it is in, in either pass over the points.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>

#include "engine_test_support.hpp"
#include "merge/merge_driver.hpp"

namespace rowmerge::testing {
namespace {

// The rows a worker reads or copies between two looks at the stop flag.
constexpr std::size_t rows_per_piece = std::size_t{1} << 14;
constexpr std::size_t group_count = 512;
constexpr std::size_t points_per_group = 1024;
constexpr std::size_t point_rows = group_count * points_per_group;  // 32 pieces
// The progress count covers both passes: each row is read once and copied
// once, so one piece of either pass is this many groups of it.
constexpr std::uint64_t groups_per_piece = group_count * rows_per_piece / (2 * point_rows);
static_assert(groups_per_piece == 8);

// Asks to stop at its first checkpoint once the progress count has reached
// `arm_at` groups, and remembers the count at that moment.
class StoppingObserver : public MergeObserver {
public:
    explicit StoppingObserver(std::uint64_t arm_at) : arm_at_(arm_at) {}

    void advance(std::uint64_t groups) noexcept override { reported_.fetch_add(groups); }
    void abandon() noexcept override { abandoned_ = true; }
    bool checkpoint() override {
        const std::uint64_t now = reported_.load();
        if (stopped_at_ < 0 && now >= arm_at_) {
            stopped_at_ = static_cast<std::int64_t>(now);
        }
        return stopped_at_ >= 0;
    }

    std::uint64_t reported() const { return reported_.load(); }
    std::int64_t stopped_at() const { return stopped_at_; }
    bool abandoned() const { return abandoned_; }

private:
    std::uint64_t arm_at_;
    std::atomic<std::uint64_t> reported_{0};
    std::int64_t stopped_at_ = -1;  // only the calling thread sees checkpoints
    bool abandoned_ = false;
};

struct StopCase {
    const char* pass;
    std::uint64_t arm_at;  // the progress count from which the observer stops
    std::uint64_t pass_begins;
    std::uint64_t pass_ends;
    std::size_t workers;
};

class StoppingAtACheckpoint : public ::testing::TestWithParam<StopCase> {};

TEST_P(StoppingAtACheckpoint, TheWorkEndsWithinOnePiecePerWorker) {
    const StopCase& c = GetParam();
    const Tables t = independent_groups(group_count, points_per_group);
    ASSERT_EQ(t.points.rows(), point_rows);
    StoppingObserver observer(c.arm_at);
    MergeRequest request;
    request.tolerance = 0.1;
    request.num_threads = c.workers;
    request.observer = &observer;
    EXPECT_THROW(merge_tables(t.groups, TableView::of(t.points), t.records, request), MergeStopped);
    EXPECT_TRUE(observer.abandoned());
    ASSERT_GE(observer.stopped_at(), 0) << "the observer never saw a checkpoint in the " << c.pass << " pass";
    const auto stopped_at = static_cast<std::uint64_t>(observer.stopped_at());
    // The stop fell inside the pass under test...
    EXPECT_GE(stopped_at, c.pass_begins);
    EXPECT_LT(stopped_at, c.pass_ends);
    // ...and after it each other worker finishes at most the piece it was in
    // (plus one group for the rounding of the count).
    EXPECT_LE(observer.reported(), stopped_at + (c.workers - 1) * groups_per_piece + 1)
        << c.pass << " pass, " << c.workers << " workers: stopped at " << stopped_at;
}

// The count reaches half the groups as the first pass ends, perhaps at the
// first pass's last checkpoint: an observer waiting for more than that stops
// in the second pass.
constexpr std::uint64_t half = group_count / 2;

INSTANTIATE_TEST_SUITE_P(BothPasses, StoppingAtACheckpoint,
                         ::testing::Values(StopCase{"first", 1, 0, half, 1}, StopCase{"first", 1, 0, half, 2},
                                           StopCase{"first", 1, 0, half, 4},
                                           StopCase{"second", half + 1, half + 1, group_count, 1},
                                           StopCase{"second", half + 1, half + 1, group_count, 2},
                                           StopCase{"second", half + 1, half + 1, group_count, 4}),
                         [](const ::testing::TestParamInfo<StopCase>& info) {
                             return std::string(info.param.pass) + "_pass_" + std::to_string(info.param.workers) +
                                    "_workers";
                         });

}  // namespace
}  // namespace rowmerge::testing
