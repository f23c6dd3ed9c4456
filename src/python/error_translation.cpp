#include "python/error_translation.hpp"

#include <Python.h>

#include <exception>
#include <new>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/failure.hpp"
#include "python/panic_exception.hpp"
#include "python/python_error.hpp"

namespace rowmerge::python {
namespace {

constexpr std::string_view failure_without_text = "the native code failed without a message";

// Raises the failure with `text` found at `where`; `reported` says whether it
// has been written to standard error already.
void raise_failure(NativeFailures failures, std::string_view text, const std::source_location& where,
                   bool reported) noexcept {
    if (text.empty()) {
        text = failure_without_text;
    }
    switch (failures) {
        case NativeFailures::reported_as_panic:
            if (!reported) {
                report_failure(text, where);
            }
            set_panic_exception(text);
            return;
        case NativeFailures::silent_runtime_error:
            PyErr_SetString(PyExc_RuntimeError, std::string(text).c_str());
            return;
    }
}

}  // namespace

void translate_current_exception(NativeFailures failures) noexcept {
    try {
        throw;
    } catch (const PythonErrorPending&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "a C-API call failed without setting an exception");
        }
    } catch (const Failure& failure) {
        raise_failure(failures, failure.text(), failure.where(), failure.reported());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked for more elements than it can ever hold.
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        // Not raised as a rowmerge::Failure, so not reported yet.
        raise_failure(failures, error.what(), std::source_location::current(), false);
    } catch (...) {
        raise_failure(failures, failure_without_text, std::source_location::current(), false);
    }
}

}  // namespace rowmerge::python
