// The arguments of merge_points_removing_overlap: binding a fast call with
// keywords to the five parameters, then converting each bound argument.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>

#include "python/input_arrays.hpp"

namespace rowmerge::native_module {

inline constexpr std::size_t parameter_count = 5;

inline constexpr std::array<std::string_view, parameter_count> parameter_names = {
    "connected_crop_rows", "points_in_rows", "row_information", "tolerance", "num_threads",
};

// Borrowed references to the argument bound to each parameter, in table order.
using BoundArguments = std::array<PyObject*, parameter_count>;

// The converted arguments. The tables are declared in parameter order, so
// that they are released newest first.
struct MergeArguments {
    python::PyReadonlyArray connected_crop_rows;
    python::PyReadonlyArray points_in_rows;
    python::PyReadonlyArray row_information;
    double tolerance = 0.0;
    std::size_t num_threads = 0;
};

// Binds the positional arguments and then the keywords, in the order of
// `kwnames`. Raises TypeError (PythonErrorPending) when there are too many
// positional arguments, a keyword names no parameter or one already given, or
// parameters are missing. Allocates nothing unless it fails.
BoundArguments bind_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

// Converts the bound arguments in parameter order: the three tables are
// accepted as float64 tables, `tolerance` becomes a double and `num_threads` a
// size_t; then the tables are checked once more, since the conversions may
// have run Python code that changed them. The first failing conversion raises
// its exception with the note "while processing '<parameter>'"
// (PythonErrorPending); a PanicException raised by Python code during a
// conversion is resumed as a native failure instead (rowmerge::Failure).
MergeArguments convert_arguments(const BoundArguments& bound);

}  // namespace rowmerge::native_module
