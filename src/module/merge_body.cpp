#include "merge_body.hpp"

#include <optional>
#include <utility>

#include "merge/merge_driver.hpp"
#include "progress/progress_display.hpp"
#include "result_array.hpp"

namespace native {
namespace {

// Detaches the calling thread from the interpreter for its lifetime and
// re-attaches on every way out, exceptions included. No Python object may be
// touched meanwhile.
class DetachedScope {
public:
    DetachedScope() noexcept : thread_state_(PyEval_SaveThread()) {}
    ~DetachedScope() { PyEval_RestoreThread(thread_state_); }
    DetachedScope(const DetachedScope&) = delete;
    DetachedScope& operator=(const DetachedScope&) = delete;

private:
    PyThreadState* thread_state_;
};

// The merge reads the caller's table of points directly (only the surviving
// rows are ever copied). With a global interpreter lock the calling thread
// keeps it for the whole merge, so that no Python thread can change or free
// that table meanwhile. Without one, holding on to the interpreter protects
// nothing (other threads run anyway) and would only hold up the pauses in
// which the interpreter stops every thread, so the merge runs detached.
#if defined(Py_GIL_DISABLED)
using MergeScope = DetachedScope;
#else
struct MergeScope {};
#endif

// The call's progress line.
class ProgressLine final : public rowmerge::MergeObserver {
public:
    void start(std::uint64_t total_groups) noexcept override { display_.emplace(total_groups); }
    void advance(std::uint64_t groups) noexcept override { display_->inc(groups); }
    void finish() noexcept override { display_->finish_with_message("Processing complete"); }
    void abandon() noexcept override {
        if (display_) {
            display_->abandon();
        }
    }

private:
    std::optional<rowmerge::progress::ProgressDisplay> display_;
};

}  // namespace

PyObject* merge_points_removing_overlap(const PyReadonlyArray& connected_crop_rows,
                                        const PyReadonlyArray& points_in_rows,
                                        const PyReadonlyArray& row_information, double tolerance,
                                        std::size_t num_threads) {
    // Declared in argument order, so they are freed newest first. Of the
    // table of points only the surviving rows are copied, into the result.
    const rowmerge::FloatMatrix crop_rows_copy = to_owned(connected_crop_rows);
    const rowmerge::FloatMatrix row_information_copy = to_owned(row_information);

    rowmerge::MergedPoints merged;
    {
        const MergeScope scope;
        ProgressLine observer;
        rowmerge::MergeRequest request;
        request.tolerance = tolerance;
        request.num_threads = num_threads;
        request.observer = &observer;
        merged = rowmerge::merge_tables(crop_rows_copy, as_view(points_in_rows), row_information_copy, request);
    }
    return from_owned_array(std::move(merged.rows));
}

}  // namespace native
