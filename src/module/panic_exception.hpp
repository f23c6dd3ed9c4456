// PanicException: the exception through which failures of the native code
// reach Python, and the catch point that converts C++ exceptions into it.
#pragma once

#include <Python.h>

#include <string_view>

namespace native {

// The PanicException class (borrowed; it lives as long as the process),
// created on first need. Null with an exception set if it cannot be created.
PyObject* panic_exception_type() noexcept;

// True when `exception` is an instance of exactly PanicException.
bool is_panic_exception(PyObject* exception) noexcept;

// Makes PanicException(text) the pending exception.
void set_panic_exception(std::string_view text) noexcept;

// To be called inside `catch (...)`: turns the exception being handled into a
// pending Python exception. rowmerge::Failure and other C++ exceptions become
// PanicException with their text; std::bad_alloc becomes MemoryError.
void translate_native_failure() noexcept;

// A PanicException raised by Python code that the native code called (a
// user's __float__, say) is not passed on as an ordinary error: its traceback
// is printed to standard error and the call fails anew with its text.
// Takes over `exception`; always throws rowmerge::Failure.
[[noreturn]] void resume_panic(PyObject* exception);

}  // namespace native
