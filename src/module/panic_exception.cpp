#include "panic_exception.hpp"

#include <atomic>
#include <exception>
#include <new>
#include <source_location>
#include <stdexcept>
#include <string>

#include "merge/failure.hpp"
#include "merge/merge_driver.hpp"
#include "process_once.hpp"
#include "py_ref.hpp"
#include "python_compat.hpp"
#include "python_error.hpp"

namespace native {
namespace {

constexpr const char* panic_doc =
    "Raised when native code called from Python fails.\n"
    "\n"
    "Like SystemExit, this exception derives from BaseException rather than\n"
    "Exception, so that it normally propagates through the whole stack and\n"
    "ends the interpreter instead of being swallowed by `except Exception`.";

constexpr std::string_view failure_without_text = "the native code failed without a message";
constexpr std::string_view unprintable_panic = "PanicException whose str() failed";

ProcessOnce panic_once;
std::atomic<PyObject*> panic_type{nullptr};

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (PyObject* type = panic_type.load(std::memory_order_acquire)) {
        return type;
    }
    panic_once.run([] {
        PyObject* type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc,
                                                   PyExc_BaseException, nullptr);
        if (type == nullptr) {
            return false;
        }
        // Kept for the life of the process.
        panic_type.store(type, std::memory_order_release);
        return true;
    });
    return panic_type.load(std::memory_order_acquire);
}

bool is_panic_exception(PyObject* exception) noexcept {
    // A PanicException can only exist once the class has been made.
    PyObject* type = panic_type.load(std::memory_order_acquire);
    return type != nullptr && exception != nullptr &&
           reinterpret_cast<PyObject*>(Py_TYPE(exception)) == type;
}

void set_panic_exception(std::string_view text) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        return;  // the error that prevented the class leaves the call instead
    }
    PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!message) {
        return;
    }
    PyErr_SetObject(type, message.get());
}

void translate_native_failure() noexcept {
    try {
        throw;
    } catch (const rowmerge::MergeFailure& failure) {
        // The engine leaves reporting to its caller.
        rowmerge::report_failure(failure.text(), failure.where());
        set_panic_exception(failure.text());
    } catch (const rowmerge::Failure& failure) {
        set_panic_exception(failure.text());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked for more elements than it can ever hold.
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        // Not raised through rowmerge::fail, so not reported yet.
        const std::string_view text = error.what()[0] != '\0' ? error.what() : failure_without_text;
        rowmerge::report_failure(text, std::source_location::current());
        set_panic_exception(text);
    } catch (...) {
        rowmerge::report_failure(failure_without_text, std::source_location::current());
        set_panic_exception(failure_without_text);
    }
}

void resume_panic(PyObject* exception) {
    std::string text;
    {
        PyRef message(PyObject_Str(exception));
        if (!message || !utf8_text(message.get(), text)) {
            PyErr_Clear();
            text = unprintable_panic;
        }
    }
    PySys_WriteStderr("--- A PanicException raised by Python code is resumed as a native failure. ---\n");
    PySys_WriteStderr("Python stack trace below:\n");
    set_raised_exception(exception);
    PyErr_PrintEx(0);
    rowmerge::fail(text);
}

}  // namespace native
