#include "python/error_translation.hpp"

#include <Python.h>

#include <exception>
#include <new>
#include <source_location>
#include <stdexcept>
#include <string_view>

#include "core/failure.hpp"
#include "python/panic_exception.hpp"
#include "python/python_error.hpp"

namespace rowmerge::python {
namespace {

constexpr std::string_view failure_without_text = "the native code failed without a message";

}  // namespace

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonErrorPending&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "a C-API call failed without setting an exception");
        }
    } catch (const Failure& failure) {
        if (!failure.reported()) {
            report_failure(failure.text(), failure.where());
        }
        set_panic_exception(failure.text());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked for more elements than it can ever hold.
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        // Not raised through rowmerge::fail, so not reported yet.
        const std::string_view text = error.what()[0] != '\0' ? error.what() : failure_without_text;
        report_failure(text, std::source_location::current());
        set_panic_exception(text);
    } catch (...) {
        report_failure(failure_without_text, std::source_location::current());
        set_panic_exception(failure_without_text);
    }
}

}  // namespace rowmerge::python
