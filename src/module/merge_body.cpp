#include "merge_body.hpp"

#include <utility>

#include "detached_scope.hpp"
#include "merge/merge_driver.hpp"
#include "progress_line.hpp"
#include "result_array.hpp"

namespace native {
namespace {

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
