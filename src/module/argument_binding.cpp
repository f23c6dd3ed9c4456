#include "argument_binding.hpp"

#include <string>

namespace native {
namespace {

constexpr const char* function_name = "merge_points_removing_overlap()";

bool fail_too_many_positional(Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd were given", function_name,
                 parameter_count, given);
    return false;
}

bool fail_unexpected_keyword(PyObject* name) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", function_name, name);
    return false;
}

bool fail_multiple_values(PyObject* name) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", function_name, name);
    return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
bool fail_missing(const BoundArguments& bound, std::size_t first) {
    std::size_t missing_count = 0;
    for (std::size_t i = first; i < parameter_count; ++i) {
        missing_count += bound[i] == nullptr ? 1 : 0;
    }
    std::string list;
    std::size_t listed = 0;
    for (std::size_t i = first; i < parameter_count; ++i) {
        if (bound[i] != nullptr) {
            continue;
        }
        if (listed > 0) {
            if (missing_count == 2) {
                list += " and ";
            } else {
                list += listed + 1 == missing_count ? ", and " : ", ";
            }
        }
        list += '\'';
        list += parameter_names[i];
        list += '\'';
        ++listed;
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", function_name, missing_count,
                 missing_count == 1 ? "" : "s", list.c_str());
    return false;
}

}  // namespace

bool bind_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, BoundArguments& bound) {
    bound.fill(nullptr);
    const Py_ssize_t positional = args == nullptr ? 0 : PyVectorcall_NARGS(nargsf);
    if (positional > static_cast<Py_ssize_t>(parameter_count)) {
        return fail_too_many_positional(positional);
    }
    for (Py_ssize_t i = 0; i < positional; ++i) {
        bound[static_cast<std::size_t>(i)] = args[i];
    }

    const Py_ssize_t keyword_count = kwnames == nullptr || args == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(name, &size);
        if (text == nullptr) {
            // A name with lone surrogates matches no parameter.
            PyErr_Clear();
            return fail_unexpected_keyword(name);
        }
        const std::string_view spelled(text, static_cast<std::size_t>(size));
        std::size_t index = 0;
        while (index < parameter_count && parameter_names[index] != spelled) {
            ++index;
        }
        if (index == parameter_count) {
            return fail_unexpected_keyword(name);
        }
        if (bound[index] != nullptr) {
            return fail_multiple_values(name);
        }
        bound[index] = args[positional + k];
    }

    for (std::size_t i = static_cast<std::size_t>(positional); i < parameter_count; ++i) {
        if (bound[i] == nullptr) {
            return fail_missing(bound, static_cast<std::size_t>(positional));
        }
    }
    return true;
}

}  // namespace native
