// The static records that define an extension module for the interpreter:
// the slot table of the module export hook (CPython 3.15 and later), the
// classic definition for the init hook, and the ABI record, the same for
// every module of this project but for the name, the documentation and the
// exec step. Initialisation is multi-phase only: the hooks return these
// tables and all work happens in the exec step.
#pragma once

#include <Python.h>

namespace rowmerge::python {

#if PY_VERSION_HEX >= 0x030F0000 && defined(PySlot_END) && defined(Py_mod_abi)
#define ROWMERGE_HAVE_MODULE_EXPORT 1
#endif

// The records of a module named `Name` with documentation `Doc` whose exec
// step is `Exec`. No per-module state, no method table, no traverse, clear
// or free hooks; the module declares that it does not need the GIL.
template <const char* Name, const char* Doc, int (*Exec)(PyObject*)>
struct ModuleRecords {
#if defined(ROWMERGE_HAVE_MODULE_EXPORT)
    // Version 1.0 of the record; the flags declare the ABI this build is for
    // (free-threaded when compiled with Py_GIL_DISABLED). Build and ABI
    // version 0 leave the version checks to the interpreter's own rules.
    static inline PyABIInfo abi_info = {1, 0, PyABIInfo_DEFAULT_FLAGS, 0, 0};

// The interpreter's slot macros leave the fields they do not name to zero.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif
    static inline PySlot slots[] = {
        PySlot_FUNC(Py_mod_exec, Exec),
        PySlot_STATIC_DATA(Py_mod_abi, &abi_info),
        PySlot_DATA(Py_mod_gil, Py_MOD_GIL_NOT_USED),
        PySlot_STATIC_DATA(Py_mod_name, const_cast<char*>(Name)),
        PySlot_STATIC_DATA(Py_mod_doc, const_cast<char*>(Doc)),
        PySlot_END,
    };
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
#endif

    static inline PyModuleDef_Slot definition_slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(Exec)},
#if defined(ROWMERGE_HAVE_MODULE_EXPORT)
        {Py_mod_abi, &abi_info},
#endif
#if defined(Py_mod_gil)
        {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
        {0, nullptr},
    };

    static inline PyModuleDef definition = {
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = Name,
        .m_doc = Doc,
        .m_size = 0,
        .m_methods = nullptr,
        .m_slots = definition_slots,
        .m_traverse = nullptr,
        .m_clear = nullptr,
        .m_free = nullptr,
    };
};

}  // namespace rowmerge::python
