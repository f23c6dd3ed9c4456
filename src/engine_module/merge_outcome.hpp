// The Python values that rowmerge._engine.merge returns. Each function here
// throws python::PythonErrorPending (the exception left set) when a value
// cannot be built.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "merge/merge_driver.hpp"
#include "merge/value_checks.hpp"
#include "python/py_ref.hpp"

namespace rowmerge::engine_module {

// The failure as a dict: kind, group, table, column, row, value, reason,
// crop_row, connected and message (the text _native raises for it).
python::PyRef failure_dict(const MergeFailure& failure);

// A checked merge's refusal as a dict with the same keys as failure_dict.
python::PyRef refusal_dict(const ValueRefusal& refusal);

// A new one-dimensional int64 ndarray of the group indices.
python::PyRef group_index_array(const std::vector<std::size_t>& groups);

// What a call returns; null references become None.
struct Outcome {
    python::PyRef rows;
    python::PyRef index;
    python::PyRef failure;
    python::PyRef axis_parallel_groups;
    std::size_t orphan_rows = 0;
    std::size_t unplaced_rows = 0;
    std::optional<std::pair<std::size_t, std::size_t>> one_way_links;  // count, first group
};

// (rows, index, failure, axis_parallel_groups, orphan_rows, unplaced_rows,
// one_way_links),
// a new tuple that takes over the outcome's references.
PyObject* outcome_tuple(Outcome outcome);

}  // namespace rowmerge::engine_module
