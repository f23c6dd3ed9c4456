#include "merge_body.hpp"

#include <utility>

#include "merge/merge_driver.hpp"
#include "result_array.hpp"

namespace native {
namespace {

// Detaches the calling thread from the interpreter for its lifetime and
// re-attaches on every way out, exceptions included. While detached, other
// Python threads run (GIL builds) and stop-the-world pauses are not held up
// (free-threaded builds); no Python object may be touched.
class DetachedScope {
public:
    DetachedScope() noexcept : thread_state_(PyEval_SaveThread()) {}
    ~DetachedScope() { PyEval_RestoreThread(thread_state_); }
    DetachedScope(const DetachedScope&) = delete;
    DetachedScope& operator=(const DetachedScope&) = delete;

private:
    PyThreadState* thread_state_;
};

}  // namespace

PyObject* merge_points_removing_overlap(const PyReadonlyArray& connected_crop_rows,
                                        const PyReadonlyArray& points_in_rows,
                                        const PyReadonlyArray& row_information, double tolerance,
                                        std::size_t num_threads) {
    // Declared in argument order, so they are freed newest first.
    const rowmerge::FloatMatrix crop_rows_copy = to_owned(connected_crop_rows);
    rowmerge::FloatMatrix points_copy = to_owned(points_in_rows);  // may become the result
    const rowmerge::FloatMatrix row_information_copy = to_owned(row_information);

    rowmerge::FloatMatrix merged;
    {
        DetachedScope detached;
        merged = rowmerge::multithreaded_merging(crop_rows_copy, std::move(points_copy), row_information_copy,
                                                 tolerance, num_threads);
    }
    return from_owned_array(std::move(merged));
}

}  // namespace native
