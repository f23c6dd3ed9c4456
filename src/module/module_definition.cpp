// The _native module: its definition records, the exec step that installs
// merge_points_removing_overlap, and the two exported hooks.
//
// Initialisation is multi-phase only: the hooks return static tables and all
// work happens in the exec step. Importing the module neither imports NumPy
// nor starts a thread.
#include <Python.h>

#include <string>

#include "entry_point.hpp"
#include "merge/failure.hpp"
#include "panic_exception.hpp"
#include "py_ref.hpp"
#include "python_error.hpp"

namespace native {
namespace {

// Not listed in any method table: only used to create the function object.
// The documentation string carries just the text signature. No METH_STATIC:
// CPython hides __self__ (and passes a null self) for static methods, and the
// function's __self__ is meant to be the module.
PyMethodDef merge_method = {
    "merge_points_removing_overlap",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(merge_points_removing_overlap_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "merge_points_removing_overlap(connected_crop_rows, points_in_rows, row_information, tolerance, "
    "num_threads)\n--\n\n",
};

// The module's __all__, created when the module has none yet.
PyObject* module_all(PyObject* module) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return all;
    }
    PyErr_Clear();
    all = PyList_New(0);
    if (all != nullptr && PyObject_SetAttrString(module, "__all__", all) < 0) {
        Py_CLEAR(all);
    }
    return all;
}

bool install_function(PyObject* module) {
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) {
        return false;
    }
    PyRef function(PyCMethod_New(&merge_method, module, module_name.get(), nullptr));
    if (!function) {
        return false;
    }
    PyRef function_name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!function_name) {
        return false;
    }
    PyRef all(module_all(module));
    if (!all) {
        return false;
    }
    if (PyList_Append(all.get(), function_name.get()) < 0) {
        rowmerge::fail("could not append __name__ to __all__: " + take_error_description());
    }
    return PyObject_SetAttr(module, function_name.get(), function.get()) == 0;
}

int exec_module(PyObject* module) noexcept {
    try {
        return install_function(module) ? 0 : -1;
    } catch (...) {
        translate_native_failure();
        return -1;
    }
}

#if PY_VERSION_HEX >= 0x030F0000 && defined(PySlot_END) && defined(Py_mod_abi)
#define NATIVE_HAVE_MODULE_EXPORT 1
// Version 1.0 of the record; the flags declare the ABI this build is for
// (free-threaded when compiled with Py_GIL_DISABLED). Build and ABI version 0
// leave the version checks to the interpreter's own rules.
PyABIInfo abi_info = {1, 0, PyABIInfo_DEFAULT_FLAGS, 0, 0};

// The interpreter's slot macros leave the fields they do not name to zero.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif
PySlot module_slots[] = {
    PySlot_FUNC(Py_mod_exec, exec_module),
    PySlot_STATIC_DATA(Py_mod_abi, &abi_info),
    PySlot_DATA(Py_mod_gil, Py_MOD_GIL_NOT_USED),
    PySlot_STATIC_DATA(Py_mod_name, const_cast<char*>("_native")),
    PySlot_STATIC_DATA(Py_mod_doc, const_cast<char*>("")),
    PySlot_END,
};
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
#endif

PyModuleDef_Slot definition_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if defined(NATIVE_HAVE_MODULE_EXPORT)
    {Py_mod_abi, &abi_info},
#endif
#if defined(Py_mod_gil)
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "",
    0,
    nullptr,
    definition_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace native

#if defined(NATIVE_HAVE_MODULE_EXPORT)
PyMODEXPORT_FUNC PyModExport__native(void) { return native::module_slots; }
#endif

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&native::module_definition); }
