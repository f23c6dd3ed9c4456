#include "merge_driver.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>
#include <mutex>
#include <vector>

#include "group_merge.hpp"
#include "progress/progress_display.hpp"
#include "result_assembly.hpp"
#include "worker_pool.hpp"

namespace rowmerge {
namespace {

// Below this many point rows a call is cheaper on the calling thread alone
// than the hand-off to the pool.
constexpr std::size_t parallel_point_threshold = 16384;

constexpr std::size_t no_group = std::numeric_limits<std::size_t>::max();

// The failure of the lowest failing group. Groups above it need not run: their
// outcome cannot change the call's.
class LowestFailure {
public:
    void record(std::size_t group, std::exception_ptr error) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (group < lowest_.load(std::memory_order_relaxed)) {
            lowest_.store(group, std::memory_order_relaxed);
            error_ = std::move(error);
        }
    }
    bool above_failure(std::size_t group) const noexcept {
        return group > lowest_.load(std::memory_order_relaxed);
    }
    void rethrow_if_failed() const {
        if (error_) {
            std::rethrow_exception(error_);
        }
    }

private:
    std::mutex mutex_;
    std::atomic<std::size_t> lowest_{no_group};
    std::exception_ptr error_;
};

// Whether any group names a connected row, so records need the float lookup.
bool any_connected_rows(const FloatMatrix& groups) {
    if (groups.cols < 4) {
        return false;  // every group fails before its first connected row
    }
    for (std::size_t g = 0; g < groups.rows; ++g) {
        if (!std::isnan(groups.at(g, 3))) {
            return true;
        }
    }
    return false;
}

// The groups' surviving rows, one batch per group that kept any, in ascending
// group order, and the number of threads the groups ran on.
struct MergeOutcome {
    std::vector<GroupBatch> batches;
    std::size_t workers;
};

MergeOutcome merge_all_groups(const FloatMatrix& connected_crop_rows, const FloatMatrix& points_in_rows,
                              const FloatMatrix& row_information, double tolerance, std::size_t num_threads) {
    const std::size_t workers = resolve_worker_count(num_threads);
    const std::size_t group_count = connected_crop_rows.rows;

    const PointIndex point_index(points_in_rows, workers);
    const RecordIndex record_index(row_information, any_connected_rows(connected_crop_rows));

    MergedPoints merged_points(group_count);
    progress::ProgressDisplay progress(group_count);
    const MergeContext context{connected_crop_rows, points_in_rows, row_information, tolerance,
                               merged_points,       progress,       point_index,    record_index};

    LowestFailure failure;
    auto run_piece = [&](std::size_t begin, std::size_t end) {
        for (std::size_t group = begin; group < end; ++group) {
            if (failure.above_failure(group)) {
                return;
            }
            try {
                merge_connected_group(context, group);
            } catch (...) {
                // The rest of this piece is skipped; other pieces run on.
                failure.record(group, std::current_exception());
                return;
            }
        }
    };
    const bool parallel = workers > 1 && group_count > 1 &&
                          points_in_rows.rows >= parallel_point_threshold;
    for_each_range(parallel ? workers : 1, group_count, run_piece);

    try {
        failure.rethrow_if_failed();
    } catch (...) {
        progress.abandon();
        throw;
    }
    progress.finish_with_message("Processing complete");

    MergeOutcome outcome{merged_points.take(), parallel ? workers : 1};
    // Workers finish groups in no fixed order; the result lists the groups in
    // ascending order whatever the worker count, so that it is the same from
    // run to run.
    auto by_group = [](const GroupBatch& a, const GroupBatch& b) { return a.group < b.group; };
    if (!std::is_sorted(outcome.batches.begin(), outcome.batches.end(), by_group)) {
        std::sort(outcome.batches.begin(), outcome.batches.end(), by_group);
    }
    return outcome;
}

}  // namespace

FloatMatrix multithreaded_merging(const FloatMatrix& connected_crop_rows,
                                  const FloatMatrix& points_in_rows,
                                  const FloatMatrix& row_information, double tolerance,
                                  std::size_t num_threads) {
    const MergeOutcome outcome =
        merge_all_groups(connected_crop_rows, points_in_rows, row_information, tolerance, num_threads);
    return stack_batches(outcome.batches, points_in_rows, outcome.workers);
}

FloatMatrix multithreaded_merging(const FloatMatrix& connected_crop_rows, FloatMatrix&& points_in_rows,
                                  const FloatMatrix& row_information, double tolerance,
                                  std::size_t num_threads) {
    const MergeOutcome outcome =
        merge_all_groups(connected_crop_rows, points_in_rows, row_information, tolerance, num_threads);
    if (!in_table_order(outcome.batches)) {
        return stack_batches(outcome.batches, points_in_rows, outcome.workers);
    }
    FloatMatrix result = std::move(points_in_rows);
    compact_in_place(outcome.batches, result, outcome.workers);
    return result;
}

}  // namespace rowmerge
