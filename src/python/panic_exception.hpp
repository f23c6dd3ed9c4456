// PanicException: the exception through which failures of the native code
// reach Python.
#pragma once

#include <Python.h>

#include <string_view>

namespace rowmerge::python {

// The PanicException class (borrowed; it lives as long as the process),
// created on first need. Throws PythonErrorPending if it cannot be created.
PyObject* panic_exception_type();

// True when `exception` is an instance of exactly PanicException.
bool is_panic_exception(PyObject* exception) noexcept;

// Makes PanicException(text) the pending exception. When the class or the
// message cannot be made, the error that prevented it is pending instead.
void set_panic_exception(std::string_view text) noexcept;

// A PanicException raised by Python code that the native code called (a
// user's __float__, say) is not passed on as an ordinary error: its traceback
// is printed to standard error and the call fails anew with its text.
// Takes over `exception`; always throws rowmerge::Failure.
[[noreturn]] void resume_panic(PyObject* exception);

}  // namespace rowmerge::python
