// The Python values that rowmerge._engine.merge returns.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "merge/merge_driver.hpp"
#include "python/py_ref.hpp"

namespace rowmerge::engine_module {

// The failure as a dict: kind, group, table, column, crop_row, connected and
// message (the text _native raises for it). Null with an exception set when
// it cannot be built.
python::PyRef failure_dict(const MergeFailure& failure);

// A new one-dimensional int64 ndarray of the group indices.
python::PyRef group_index_array(const std::vector<std::size_t>& groups);

// (rows, index, failure, axis_parallel_groups), taking over the four
// references (null ones become None). Null with an exception set on failure.
PyObject* outcome_tuple(python::PyRef rows, python::PyRef index, python::PyRef failure,
                        python::PyRef axis_parallel_groups);

}  // namespace rowmerge::engine_module
