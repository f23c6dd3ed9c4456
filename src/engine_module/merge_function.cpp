#include "engine_module/merge_function.hpp"

#include <cstddef>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine_module/call_observer.hpp"
#include "engine_module/merge_outcome.hpp"
#include "engine_module/signal_watch.hpp"
#include "merge/merge_driver.hpp"
#include "merge/merge_failure.hpp"
#include "merge/value_checks.hpp"
#include "merge/worker_pool.hpp"
#include "python/error_translation.hpp"
#include "python/input_arrays.hpp"
#include "python/numpy_api.hpp"
#include "python/py_ref.hpp"
#include "python/python_compat.hpp"
#include "python/python_error.hpp"
#include "python/result_array.hpp"

namespace rowmerge::engine_module {

const char merge_doc[] =
    "merge($module, connected_crop_rows, points_in_rows, row_information, /, *, tolerance, threads=0, "
    "progress=False, rows=True, index=False, checked=False)\n"
    "--\n"
    "\n"
    "Merge the points of every group, cutting away overlaps with connected rows.\n"
    "\n"
    "The three tables are two-dimensional float64 ndarrays (any strides) in the\n"
    "layouts that rowmerge.merge documents; nothing is written to them. A table\n"
    "that another thread writes to while the call runs gives rows it held at some\n"
    "moment during the call, never memory the call did not write. tolerance is\n"
    "the per-axis margin of the overlap test, threads the number of worker\n"
    "threads (0: the default count), progress whether to draw the progress line\n"
    "on standard error (only ever on a colour-capable terminal), and rows and\n"
    "index say what to return. With checked, values the merge cannot use are\n"
    "refused (identifiers that are not whole numbers in [0, 2**32), anchors of\n"
    "the records it reads that are not finite), as are lists of connected rows\n"
    "that run past the last column; rows of no group, rows whose x or y is not\n"
    "finite and one-way links are counted.\n"
    "\n"
    "Returns the tuple (rows, index, failure, axis_parallel_groups, orphan_rows,\n"
    "unplaced_rows, one_way_links):\n"
    "\n"
    "rows\n"
    "    float64 array (n, k): the surviving rows of points_in_rows, groups in\n"
    "    order, each group's rows in table order. None when rows=False or the\n"
    "    merge failed.\n"
    "index\n"
    "    int64 array (n,): the row number in points_in_rows of each surviving\n"
    "    row, in result order. None when index=False or the merge failed.\n"
    "failure\n"
    "    None, or a dict saying why the merge failed: 'kind' (column_missing,\n"
    "    record_missing or anchor_count; checked merges also invalid_value,\n"
    "    list_not_ended and pair_incomplete), 'group' (the lowest failing group,\n"
    "    or None), 'table', 'column' (the missing or refused column), 'row' (the\n"
    "    refused row), 'value' (the refused value), 'reason' (identifier or\n"
    "    finite, for invalid_value), 'crop_row' (the two identifiers of the crop\n"
    "    row concerned, or None), 'connected' (which connected row of the group,\n"
    "    0 to 3; None for its main row) and 'message'.\n"
    "axis_parallel_groups\n"
    "    int64 array of the groups with a junction whose cut point and near\n"
    "    anchor share an x or a y coordinate exactly: there the per-axis test\n"
    "    does not follow the row's direction.\n"
    "orphan_rows\n"
    "    checked merges: the number of rows of points_in_rows whose crop row is\n"
    "    the main row of no group (0 otherwise).\n"
    "unplaced_rows\n"
    "    checked merges: the number of rows whose x or y is NaN or infinite, which\n"
    "    no cut can place (0 otherwise).\n"
    "one_way_links\n"
    "    checked merges: None, or (count, first group) of the links whose\n"
    "    connected row's own group does not link back.\n"
    "\n"
    "Raises TypeError or ValueError for bad arguments and MemoryError for tables\n"
    "too large to handle. The interpreter is detached while the merge works; a\n"
    "signal handler that raises (Ctrl-C: KeyboardInterrupt) stops the merge\n"
    "within about 0.1 s, and its exception is raised.";

namespace {

constexpr const char* table_parameters[3] = {"connected_crop_rows", "points_in_rows", "row_information"};

// Below these sizes a merge is over in a few tens of milliseconds at most: it
// runs on the calling thread, and a signal is handled when the call returns.
// Above them a thread of its own is worth its start (a tenth of a millisecond
// or more, which was a fifth of a merge of 200,000 points).
constexpr std::size_t quick_point_rows = std::size_t{1} << 19;
constexpr std::size_t quick_groups = std::size_t{1} << 12;

struct Arguments {
    PyObject* tables[3] = {nullptr, nullptr, nullptr};
    double tolerance = 0.0;
    std::size_t threads = 0;
    bool progress = false;
    bool rows = true;
    bool index = false;
    bool checked = false;
};

double convert_tolerance(PyObject* object) {
    if (object == nullptr) {
        python::raise(PyExc_TypeError, "merge() missing required keyword-only argument: 'tolerance'");
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "merge() argument 'tolerance' must be a real number, not %.200s",
                         Py_TYPE(object)->tp_name);
        }
        throw python::PythonErrorPending();
    }
    return value;
}

// A worker count: None or 0 for the default; counts beyond what any call can
// use mean "as many as possible" (the engine caps every count).
std::size_t convert_threads(PyObject* object) {
    if (object == nullptr || object == Py_None) {
        return 0;
    }
    const python::PyRef index(python::checked(PyNumber_Index(object)));
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (count == -1 && PyErr_Occurred()) {
        throw python::PythonErrorPending();
    }
    if (overflow < 0 || (overflow == 0 && count < 0)) {
        PyErr_Format(PyExc_ValueError, "merge() argument 'threads' must be at least 0, not %S", index.get());
        throw python::PythonErrorPending();
    }
    if (overflow > 0 || std::cmp_greater(count, max_worker_count)) {
        return max_worker_count;
    }
    return static_cast<std::size_t>(count);
}

Arguments parse_arguments(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"",         "",     "",      "tolerance", "threads",
                                     "progress", "rows", "index", "checked",   nullptr};
    Arguments out;
    PyObject* tolerance = nullptr;
    PyObject* threads = nullptr;
    int progress = 0;
    int rows = 1;
    int index = 0;
    int checked = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$OOpppp:merge", const_cast<char**>(keywords), &out.tables[0],
                                     &out.tables[1], &out.tables[2], &tolerance, &threads, &progress, &rows, &index,
                                     &checked)) {
        throw python::PythonErrorPending();
    }
    out.progress = progress != 0;
    out.rows = rows != 0;
    out.index = index != 0;
    out.checked = checked != 0;
    out.tolerance = convert_tolerance(tolerance);
    out.threads = convert_threads(threads);
    return out;
}

// Replaces the acceptance error of `object` with one naming the parameter.
[[noreturn]] void refuse_table(const char* parameter, PyObject* object) {
    PyErr_Clear();
    if (!PyArray_Check(object)) {
        PyErr_Format(PyExc_TypeError, "merge() argument '%s' must be a two-dimensional float64 ndarray, not %.200s",
                     parameter, Py_TYPE(object)->tp_name);
    } else {
        auto* array = reinterpret_cast<PyArrayObject*>(object);
        PyErr_Format(PyExc_TypeError,
                     "merge() argument '%s' must be a two-dimensional float64 ndarray, not a %d-dimensional %S array",
                     parameter, PyArray_NDIM(array), reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
    }
    throw python::PythonErrorPending();
}

// What the merge ended with, when it was not stopped.
struct MergeRun {
    std::optional<MergedPoints> merged;
    std::optional<MergeFailure> failure;
    std::optional<ValueRefusal> refusal;
};

PyObject* run(const Arguments& arguments) {
    python::PyReadonlyArray tables[3];
    for (std::size_t k = 0; k < 3; ++k) {
        try {
            tables[k] = python::extract(arguments.tables[k]);
        } catch (const python::PythonErrorPending&) {
            refuse_table(table_parameters[k], arguments.tables[k]);
        }
    }
    // Declared in argument order, so they are freed newest first. The table
    // of points is read in place; only the surviving rows are copied.
    const FloatMatrix groups = python::to_owned(tables[0]);
    const FloatMatrix records = python::to_owned(tables[2]);
    const TableView points = python::as_view(tables[1]);

    MergeRun outcome;
    const auto merge = [&](std::stop_token stop) {
        CallObserver observer(arguments.progress, std::move(stop));
        MergeRequest request;
        request.tolerance = arguments.tolerance;
        request.num_threads = arguments.threads;
        request.whole_rows = arguments.rows;
        request.table_rows = arguments.index;
        request.axis_parallel_groups = true;
        request.check_values = arguments.checked;
        request.observer = &observer;
        try {
            outcome.merged.emplace(merge_tables(groups, points, records, request));
        } catch (const MergeFailure& failure) {
            outcome.failure.emplace(failure);
        } catch (const ValueRefused& refused) {
            outcome.refusal.emplace(refused.refusal());
        }
    };
    if (points.rows < quick_point_rows && groups.rows() < quick_groups) {
        run_detached(merge);
    } else if (python::PyRef raised = run_watching_signals(merge)) {
        python::set_raised_exception(raised.release());
        throw python::PythonErrorPending();
    }

    if (outcome.failure || outcome.refusal) {
        python::PyRef failure = outcome.failure ? failure_dict(*outcome.failure) : refusal_dict(*outcome.refusal);
        return outcome_tuple(Outcome{{}, {}, std::move(failure), group_index_array({}), 0, 0, {}});
    }
    if (!outcome.merged) {
        throw std::logic_error("the merge ended without a result or a failure");
    }
    MergedPoints& merged = *outcome.merged;
    Outcome result;
    result.axis_parallel_groups = group_index_array(merged.axis_parallel_groups);
    if (arguments.rows) {
        result.rows = python::PyRef(python::checked(python::from_owned_array(std::move(merged.rows))));
    }
    if (arguments.index) {
        result.index = python::PyRef(python::checked(python::from_owned_array(std::move(merged.table_rows))));
    }
    result.orphan_rows = merged.orphan_rows;
    result.unplaced_rows = merged.unplaced_rows;
    if (merged.one_way_links > 0) {
        result.one_way_links = std::pair{merged.one_way_links, merged.first_one_way_group};
    }
    return outcome_tuple(std::move(result));
}

}  // namespace

PyObject* merge_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    try {
        return run(parse_arguments(args, kwargs));
    } catch (...) {
        // Nothing is written to standard error: the caller gets every failure.
        python::translate_current_exception(python::NativeFailures::silent_runtime_error);
        return nullptr;
    }
}

}  // namespace rowmerge::engine_module
