// Binding the arguments of a fast call with keywords to the five parameters
// of merge_points_removing_overlap.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>

namespace native {

inline constexpr std::size_t parameter_count = 5;

inline constexpr std::array<std::string_view, parameter_count> parameter_names = {
    "connected_crop_rows", "points_in_rows", "row_information", "tolerance", "num_threads",
};

// Borrowed references to the argument bound to each parameter, in table order.
using BoundArguments = std::array<PyObject*, parameter_count>;

// Fills `bound` from the positional arguments and then the keywords, in the
// order of `kwnames`. Returns false with a TypeError set when there are too
// many positional arguments, a keyword names no parameter or one already
// given, or parameters are missing. Allocates nothing unless it fails.
bool bind_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, BoundArguments& bound);

}  // namespace native
