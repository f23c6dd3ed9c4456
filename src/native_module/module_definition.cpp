// The _native module: its definition records, the exec step that installs
// merge_points_removing_overlap, and the two exported hooks.
//
// Initialisation is multi-phase only: the hooks return static tables and all
// work happens in the exec step. Importing the module neither imports NumPy
// nor starts a thread.
#include <Python.h>

#include "core/failure.hpp"
#include "native_module/entry_point.hpp"
#include "python/error_translation.hpp"
#include "python/py_ref.hpp"
#include "python/python_error.hpp"

namespace rowmerge::native_module {
namespace {

using python::checked;
using python::PyRef;

// Not listed in any method table: only used to create the function object.
// The documentation string carries just the text signature. No METH_STATIC:
// CPython hides __self__ (and passes a null self) for static methods, and the
// function's __self__ is meant to be the module.
PyMethodDef merge_method = {
    "merge_points_removing_overlap",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(merge_points_removing_overlap_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "merge_points_removing_overlap(connected_crop_rows, points_in_rows, row_information, tolerance, "
    "num_threads)\n--\n\n",
};

// The module's __all__, created when the module has none yet.
PyRef module_all(PyObject* module) {
    if (PyObject* all = PyObject_GetAttrString(module, "__all__")) {
        return PyRef(all);
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        throw python::PythonErrorPending();
    }
    PyErr_Clear();
    PyRef all(checked(PyList_New(0)));
    checked(PyObject_SetAttrString(module, "__all__", all.get()));
    return all;
}

void install_function(PyObject* module) {
    const PyRef module_name(checked(PyModule_GetNameObject(module)));
    const PyRef function(checked(PyCMethod_New(&merge_method, module, module_name.get(), nullptr)));
    const PyRef function_name(checked(PyObject_GetAttrString(function.get(), "__name__")));
    const PyRef all = module_all(module);
    if (PyList_Append(all.get(), function_name.get()) < 0) {
        fail("could not append __name__ to __all__: " + python::take_error_description());
    }
    checked(PyObject_SetAttr(module, function_name.get(), function.get()));
}

// The catch point of the exec step.
int exec_module(PyObject* module) noexcept {
    try {
        install_function(module);
        return 0;
    } catch (...) {
        python::translate_current_exception();
        return -1;
    }
}

#if PY_VERSION_HEX >= 0x030F0000 && defined(PySlot_END) && defined(Py_mod_abi)
#define ROWMERGE_HAVE_MODULE_EXPORT 1
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
#if defined(ROWMERGE_HAVE_MODULE_EXPORT)
    {Py_mod_abi, &abi_info},
#endif
#if defined(Py_mod_gil)
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

// No per-module state, no method table, no traverse, clear or free hooks.
PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_native",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = definition_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace rowmerge::native_module

#if defined(ROWMERGE_HAVE_MODULE_EXPORT)
PyMODEXPORT_FUNC PyModExport__native(void) { return rowmerge::native_module::module_slots; }
#endif

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&rowmerge::native_module::module_definition); }
