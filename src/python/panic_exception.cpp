#include "python/panic_exception.hpp"

#include <string>

#include "core/failure.hpp"
#include "python/process_once.hpp"
#include "python/py_ref.hpp"
#include "python/python_compat.hpp"
#include "python/python_error.hpp"

namespace rowmerge::python {
namespace {

constexpr const char* panic_doc =
    "Raised when native code called from Python fails.\n"
    "\n"
    "Like SystemExit, this exception derives from BaseException rather than\n"
    "Exception, so that it normally propagates through the whole stack and\n"
    "ends the interpreter instead of being swallowed by `except Exception`.";

constexpr std::string_view unprintable_panic = "PanicException whose str() failed";

// Kept for the life of the process.
ProcessOnceValue<PyObject*> panic_type;

}  // namespace

PyObject* panic_exception_type() {
    return panic_type.get([] {
        return checked(
            PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc, PyExc_BaseException, nullptr));
    });
}

bool is_panic_exception(PyObject* exception) noexcept {
    // A PanicException can only exist once the class has been made.
    PyObject* type = panic_type.get_if_made();
    return type != nullptr && exception != nullptr && reinterpret_cast<PyObject*>(Py_TYPE(exception)) == type;
}

void set_panic_exception(std::string_view text) noexcept {
    try {
        PyObject* type = panic_exception_type();
        const PyRef message(
            checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace")));
        PyErr_SetObject(type, message.get());
    } catch (...) {
        // The error that prevented the class or the message leaves the call
        // instead (PythonErrorPending), or the mutex could not be taken.
        if (!PyErr_Occurred()) {
            PyErr_NoMemory();
        }
    }
}

void resume_panic(PyObject* exception) {
    std::string text;
    {
        const PyRef message(PyObject_Str(exception));
        if (!message || !utf8_text(message.get(), text)) {
            PyErr_Clear();
            text = unprintable_panic;
        }
    }
    PySys_WriteStderr("--- A PanicException raised by Python code is resumed as a native failure. ---\n");
    PySys_WriteStderr("Python stack trace below:\n");
    set_raised_exception(exception);
    PyErr_PrintEx(0);
    fail(text);
}

}  // namespace rowmerge::python
