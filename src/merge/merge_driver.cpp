#include "merge/merge_driver.hpp"

#include <new>

#include "merge/group_plans.hpp"
#include "merge/merged_points.hpp"
#include "merge/points_without_xy.hpp"
#include "merge/record_index.hpp"
#include "merge/row_classes.hpp"
#include "merge/value_checks.hpp"
#include "merge/worker_pool.hpp"

namespace rowmerge {
namespace {

// More bytes than any process's address space holds (2**47 on x86-64 and
// most 64-bit systems).
constexpr std::size_t max_table_bytes = std::size_t{1} << 47;

// Tells the observer how the call ended, whichever way it leaves.
class ObserverSession {
public:
    ObserverSession(MergeObserver* observer, std::uint64_t total_groups) noexcept : observer_(observer) {
        if (observer_ != nullptr) {
            observer_->start(total_groups);
        }
    }
    ~ObserverSession() {
        if (observer_ != nullptr && !finished_) {
            observer_->abandon();
        }
    }
    ObserverSession(const ObserverSession&) = delete;
    ObserverSession& operator=(const ObserverSession&) = delete;

    void finish() noexcept {
        finished_ = true;
        if (observer_ != nullptr) {
            observer_->finish();
        }
    }

private:
    MergeObserver* observer_;
    bool finished_ = false;
};

// Ends the call with the failure of `group`. The groups before it count as
// done, one by one, as they would have been had the groups run in order.
[[noreturn]] void fail_with(MergeObserver* observer, std::size_t group, const LocatedFailure& failure) {
    if (observer != nullptr) {
        for (std::size_t g = 0; g < group; ++g) {
            observer->advance(1);
        }
    }
    throw MergeFailure(group, failure.failure, failure.where);
}

// The failure of a group that planning found to fail. Planning all groups
// keeps no failure details (most calls have none, and many groups are
// planned at once); the one failure reported is found again by planning
// its group once more, asking for the details this time.
LocatedFailure failure_of(const FloatMatrix& groups, std::size_t group, const RecordIndex& records, double tolerance) {
    LocatedFailure failure;
    PointFilter scratch[max_connected_rows];
    plan_group_cuts(groups, group, records, tolerance, scratch, &failure);
    return failure;
}

}  // namespace

MergedPoints merge_tables(const FloatMatrix& groups, const TableView& points, const FloatMatrix& row_information,
                          const MergeRequest& request) {
    // A table of points that could not be held in memory at all (a broadcast
    // view, say) is refused before any work, as its copy would be: merging it
    // would read it whole only to find that its result cannot be held either.
    if (checked_product(checked_product(points.rows, points.cols), sizeof(double)) > max_table_bytes) {
        throw std::bad_alloc();
    }
    const std::size_t workers = resolve_worker_count(request.num_threads);
    MergeObserver* const observer = request.observer;
    ObserverSession session(observer, groups.rows());
    CallControl control(observer, groups.rows());

    if (request.check_values) {
        check_group_and_record_values(groups, row_information);
    }
    const RecordIndex records(row_information, any_connected_rows(groups));
    const GroupPlans plans = plan_all_groups(groups, records, request.tolerance, workers, control);
    control.throw_if_stopped();

    MergedPoints merged;
    if (points.rows > 0 && points.cols < 4) {
        OutcomeWithoutXy without_xy = merge_points_without_xy(groups, points, records, request.tolerance, plans,
                                                              request.whole_rows, request.table_rows);
        if (without_xy.failure) {
            fail_with(observer, without_xy.failed_group, *without_xy.failure);
        }
        merged = std::move(without_xy.merged);
    } else {
        if (plans.lowest_failed != GroupPlans::no_failure) {
            fail_with(observer, plans.lowest_failed,
                      failure_of(groups, plans.lowest_failed, records, request.tolerance));
        }
        if (request.check_values) {
            check_read_anchors(groups, row_information, records, plans);
        }
        const RowClasses classes(plans.cuts);
        control.plan_work(2 * static_cast<std::uint64_t>(points.rows));
        merged = merge_points(points, classes, request.whole_rows, request.table_rows, request.check_values, workers,
                              control);
        control.throw_if_stopped();
        if (request.check_values) {
            const OneWayLinks one_way = find_one_way_links(groups, plans, classes);
            merged.one_way_links = one_way.count;
            merged.first_one_way_group = one_way.first_group;
        }
    }
    if (request.axis_parallel_groups) {
        merged.axis_parallel_groups = axis_parallel_groups(plans);
    }
    if (request.whole_rows && merged.rows.cols() != points.cols) {
        // A result without rows still has the width of points_in_rows.
        merged.rows = FloatMatrix(0, points.cols);
    }
    session.finish();
    return merged;
}

}  // namespace rowmerge
