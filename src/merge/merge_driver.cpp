#include "merge_driver.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <vector>

#include "group_merge.hpp"
#include "progress/progress_display.hpp"
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

// Calls `stretch(first_row, count)` for each run of consecutive table rows in
// `rows` (ascending), in order. Surviving rows mostly stand together in the
// table, often a whole batch at once.
template <typename Stretch>
void for_each_stretch(const PointRows& rows, Stretch&& stretch) {
    if (!rows.empty() && rows.back() - rows.front() == rows.size() - 1) {
        stretch(rows.front(), rows.size());
        return;
    }
    for (std::size_t k = 0; k < rows.size();) {
        std::size_t count = 1;
        while (k + count < rows.size() && rows[k + count] == rows[k] + count) {
            ++count;
        }
        stretch(rows[k], count);
        k += count;
    }
}

// Copies the surviving rows, batch after batch, into one row-major matrix.
FloatMatrix stack_batches(const std::vector<GroupBatch>& batches, const FloatMatrix& points,
                          std::size_t workers) {
    std::vector<std::size_t> offsets(batches.size() + 1, 0);
    for (std::size_t b = 0; b < batches.size(); ++b) {
        offsets[b + 1] = offsets[b] + batches[b].point_rows.size();
    }
    FloatMatrix result(offsets.back(), points.cols);
    const std::size_t cols = points.cols;
    const std::size_t row_bytes = cols * sizeof(double);
    auto copy_batches = [&](std::size_t begin, std::size_t end) {
        for (std::size_t b = begin; b < end; ++b) {
            double* out = result.data() + offsets[b] * cols;
            for_each_stretch(batches[b].point_rows, [&](std::size_t first, std::size_t count) {
                std::memcpy(out, points.row(first), count * row_bytes);
                out += count * cols;
            });
        }
    };
    if (result.size() >= parallel_point_threshold * 4) {
        for_each_range(workers, batches.size(), copy_batches);
    } else {
        copy_batches(0, batches.size());
    }
    return result;
}

// Whether every surviving row, batch after batch, comes later in the table
// than the one before it: then each row's place in the result is at or above
// its place in the table. Within a batch the rows are in table order already,
// so only the joins between batches need a look (no batch is empty).
bool in_table_order(const std::vector<GroupBatch>& batches) {
    for (std::size_t b = 1; b < batches.size(); ++b) {
        if (batches[b].point_rows.front() <= batches[b - 1].point_rows.back()) {
            return false;
        }
    }
    return true;
}

// Moves the surviving rows, which are in table order, to the front of `points`
// and cuts it to their number. Every row moves towards the front or stays
// (its place in the result is at most its place in the table), so each move
// reads rows that no earlier move has written over. Runs on the calling
// thread: a later stretch's destination may be an earlier stretch's source.
void compact_in_place(const std::vector<GroupBatch>& batches, FloatMatrix& points) {
    const std::size_t cols = points.cols;
    const std::size_t row_bytes = cols * sizeof(double);
    std::size_t kept = 0;
    for (const GroupBatch& batch : batches) {
        for_each_stretch(batch.point_rows, [&](std::size_t first, std::size_t count) {
            if (first != kept && row_bytes != 0) {
                std::memmove(points.data() + kept * cols, points.row(first), count * row_bytes);
            }
            kept += count;
        });
    }
    points.shrink_rows(kept);
}

// The groups' surviving rows, one batch per group that kept any, in ascending
// group order, and whether the groups ran in parallel.
struct MergeOutcome {
    std::vector<GroupBatch> batches;
    bool parallel;
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

    MergeOutcome outcome{merged_points.take(), parallel};
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
    return stack_batches(outcome.batches, points_in_rows,
                         outcome.parallel ? resolve_worker_count(num_threads) : 1);
}

FloatMatrix multithreaded_merging(const FloatMatrix& connected_crop_rows, FloatMatrix&& points_in_rows,
                                  const FloatMatrix& row_information, double tolerance,
                                  std::size_t num_threads) {
    const MergeOutcome outcome =
        merge_all_groups(connected_crop_rows, points_in_rows, row_information, tolerance, num_threads);
    if (!in_table_order(outcome.batches)) {
        return stack_batches(outcome.batches, points_in_rows,
                             outcome.parallel ? resolve_worker_count(num_threads) : 1);
    }
    FloatMatrix result = std::move(points_in_rows);
    compact_in_place(outcome.batches, result);
    return result;
}

}  // namespace rowmerge
