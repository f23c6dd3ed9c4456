#include "native_module/argument_binding.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "python/panic_exception.hpp"
#include "python/py_ref.hpp"
#include "python/python_compat.hpp"
#include "python/python_error.hpp"

namespace rowmerge::native_module {
namespace {

using python::checked;
using python::PyRef;
using python::PythonErrorPending;

constexpr const char* function_name = "merge_points_removing_overlap()";

[[noreturn]] void fail_too_many_positional(Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd were given", function_name,
                 parameter_count, given);
    throw PythonErrorPending();
}

[[noreturn]] void fail_unexpected_keyword(PyObject* name) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", function_name, name);
    throw PythonErrorPending();
}

[[noreturn]] void fail_multiple_values(PyObject* name) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", function_name, name);
    throw PythonErrorPending();
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
[[noreturn]] void fail_missing(const BoundArguments& bound, std::size_t first) {
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
    throw PythonErrorPending();
}

double convert_tolerance(PyObject* object) {
    if (PyFloat_CheckExact(object)) {
        return PyFloat_AS_DOUBLE(object);
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        throw PythonErrorPending();
    }
    return value;
}

std::size_t convert_num_threads(PyObject* object) {
    unsigned long long wide = 0;
    if (PyLong_Check(object)) {
        wide = PyLong_AsUnsignedLongLong(object);
    } else {
        const PyRef index(checked(PyNumber_Index(object)));
        wide = PyLong_AsUnsignedLongLong(index.get());
    }
    if (wide == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred()) {
        throw PythonErrorPending();
    }
    if constexpr (sizeof(std::size_t) < sizeof(unsigned long long)) {
        if (wide > SIZE_MAX) {
            python::raise(PyExc_OverflowError, "out of range integral type conversion attempted");
        }
    }
    return static_cast<std::size_t>(wide);
}

// Gives the pending exception of a failed conversion the note
// "while processing '<parameter>'"; the exception stays pending. A
// PanicException raised by Python code during the conversion is resumed as a
// native failure instead (throws rowmerge::Failure).
void note_conversion_failure(std::string_view parameter) {
    PyObject* exception = python::take_raised_exception();
    if (exception == nullptr) {
        PyErr_SetString(PyExc_SystemError, "argument conversion failed without an exception");
        return;
    }
    if (python::is_panic_exception(exception)) {
        python::resume_panic(exception);
    }
    const std::string note_text = "while processing '" + std::string(parameter) + "'";
    const PyRef note(PyUnicode_FromStringAndSize(note_text.data(), static_cast<Py_ssize_t>(note_text.size())));
    const PyRef method(note ? PyUnicode_InternFromString("add_note") : nullptr);
    if (method) {
        PyObject* call_args[2] = {exception, note.get()};
        const PyRef result(
            PyObject_VectorcallMethod(method.get(), call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!result) {
            PyErr_Clear();
        }
    } else {
        PyErr_Clear();
    }
    python::set_raised_exception(exception);
}

// Runs the conversion of parameter `index`; a failure gets the note.
template <typename Convert>
auto converting(std::size_t index, Convert&& convert) {
    try {
        return convert();
    } catch (const PythonErrorPending&) {
        note_conversion_failure(parameter_names[index]);
        throw;
    }
}

}  // namespace

BoundArguments bind_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    BoundArguments bound{};
    const Py_ssize_t positional = args == nullptr ? 0 : PyVectorcall_NARGS(nargsf);
    if (std::cmp_greater(positional, parameter_count)) {
        fail_too_many_positional(positional);
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
            fail_unexpected_keyword(name);
        }
        const std::string_view spelled(text, static_cast<std::size_t>(size));
        std::size_t index = 0;
        while (index < parameter_count && parameter_names[index] != spelled) {
            ++index;
        }
        if (index == parameter_count) {
            fail_unexpected_keyword(name);
        }
        if (bound[index] != nullptr) {
            fail_multiple_values(name);
        }
        bound[index] = args[positional + k];
    }

    for (auto i = static_cast<std::size_t>(positional); i < parameter_count; ++i) {
        if (bound[i] == nullptr) {
            fail_missing(bound, static_cast<std::size_t>(positional));
        }
    }
    return bound;
}

MergeArguments convert_arguments(const BoundArguments& bound) {
    MergeArguments converted;
    python::PyReadonlyArray* const tables[3] = {&converted.connected_crop_rows, &converted.points_in_rows,
                                                &converted.row_information};
    for (std::size_t i = 0; i < 3; ++i) {
        *tables[i] = converting(i, [&] { return python::extract(bound[i]); });
    }
    converted.tolerance = converting(3, [&] { return convert_tolerance(bound[3]); });
    converted.num_threads = converting(4, [&] { return convert_num_threads(bound[4]); });
    for (std::size_t i = 0; i < 3; ++i) {
        converting(i, [&] { python::check_still_accepted(*tables[i]); });
    }
    return converted;
}

}  // namespace rowmerge::native_module
