#include "native_module/copy_merge_wrap.hpp"

#include <utility>

#include "merge/merge_driver.hpp"
#include "progress/progress_observer.hpp"
#include "python/input_arrays.hpp"
#include "python/interpreter_scope.hpp"
#include "python/result_array.hpp"

namespace rowmerge::native_module {

PyObject* merge_points_removing_overlap(const MergeArguments& arguments) {
    // Declared in argument order, so they are freed newest first. Of the
    // table of points only the surviving rows are copied, into the result.
    // The merge itself runs detached from the interpreter, so that other
    // Python threads go on meanwhile. Holding on to the interpreter would not
    // keep the table of points still anyway (NumPy writes to arrays without
    // it): the merge decides each row once and writes exactly the rows it
    // counted, whatever another thread writes to the table meanwhile.
    const FloatMatrix crop_rows_copy = python::to_owned(arguments.connected_crop_rows);
    const FloatMatrix row_information_copy = python::to_owned(arguments.row_information);

    const TableView points = python::as_view(arguments.points_in_rows);

    MergedPoints merged;
    {
        const python::DetachedScope detached;
        progress::ProgressLine observer;
        MergeRequest request;
        request.tolerance = arguments.tolerance;
        request.num_threads = arguments.num_threads;
        request.observer = &observer;
        merged = merge_tables(crop_rows_copy, points, row_information_copy, request);
    }
    return python::from_owned_array(std::move(merged.rows));
}

}  // namespace rowmerge::native_module
