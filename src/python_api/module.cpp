// The extension module vexoacq: its definition (multi-phase initialisation,
// execution slot only) and the module body that registers the class and the
// module functions, building __all__ in registration order.
//
// Module functions are PyMethodDef records defined by their own binding file
// and declared in its header as `extern PyMethodDef <name>_def;` with the
// flags METH_FASTCALL | METH_KEYWORDS (METH_STATIC would hide the module:
// __self__ would be None and the function would receive a null self).  Each
// is added to kFunctions below in the module's fixed order.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python_api/acquisition.hpp"
#include "python_api/binding.hpp"
// ---- function records of the other binding files (one include each) ----
// export_csv:
#include "python_api/export.hpp"
// ECC functions:
#include "python_api/tolv_ecc.hpp"
// ---- end of function-record includes ----

namespace vexoacq::python_api {

namespace {

// Order of registration after the class Acquisition.
PyMethodDef* const kFunctions[] = {
    &acquisition::list_acquisitions_def,
    &acquisition::is_acquisition_def,
    // ---- export_csv goes here ----
    &export_::export_csv_def,
    // ---- syndrome, global_parity, syndrome_to_index, ecc_check, ecc_correct go here, in that order ----
    &tolv_ecc::syndrome_def,
    &tolv_ecc::global_parity_def,
    &tolv_ecc::syndrome_to_index_def,
    &tolv_ecc::ecc_check_def,
    &tolv_ecc::ecc_correct_def,
};

// Appends `name` to the module's __all__ (made by the first call) and sets
// the attribute.  0 or -1 with an exception set.
int add_object(PyObject* module, PyObject* name, PyObject* object) {
    OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = OwnedRef::steal(PyList_New(0));
        if (!all) return -1;
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    } else if (!PyList_Check(all.get())) {
        return raise_not_instance(all.get(), "list");
    }
    if (PyList_Append(all.get(), name) < 0) {
        PyErr_Clear();
        internal_fault("could not append __name__ to __all__");
    }
    return PyObject_SetAttr(module, name, object);
}

int add_function(PyObject* module, PyMethodDef* def) {
    OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    OwnedRef fn = OwnedRef::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
    if (!fn) return -1;
    OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!name) return -1;
    if (!PyUnicode_Check(name.get())) return raise_not_instance(name.get(), "str");
    return add_object(module, name.get(), fn.get());
}

// The module body: the class, then the functions; the first failure ends it.
int vexoacq(PyObject* module) {
    PyObject* type = acquisition::acquisition_type();  // borrowed, process-wide
    if (type == nullptr) return -1;
    OwnedRef name = OwnedRef::steal(PyUnicode_FromString("Acquisition"));
    if (!name) return -1;
    if (add_object(module, name.get(), type) < 0) return -1;
    for (PyMethodDef* def : kFunctions) {
        if (add_function(module, def) < 0) return -1;
    }
    return 0;
}

// Everything the module creates once (type objects, exception classes, the
// imported yaml, gzip and pickle callables) lives in process-wide slots and
// belongs to the interpreter that was running when it was made.  A second
// interpreter would share those objects, and would leave them dangling when
// it is destroyed, so the module loads only in the first interpreter that
// imports it (in practice the main one) and refuses every other.
std::atomic<std::int64_t> owner_interpreter{-1};

int check_interpreter() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current < 0) return -1;
    std::int64_t owner = -1;
    if (owner_interpreter.compare_exchange_strong(owner, current, std::memory_order_acq_rel) ||
        owner == current) {
        return 0;
    }
    PyErr_Format(PyExc_ImportError,
                 "vexoacq cannot be loaded in more than one interpreter per process: it is loaded in "
                 "interpreter %lld, and this is interpreter %lld",
                 static_cast<long long>(owner), static_cast<long long>(current));
    return -1;
}

int exec_module(PyObject* module) {
    return guarded([&]() -> int {
        if (!PyModule_Check(module)) return raise_not_instance(module, "module");
        if (check_interpreter() < 0) return -1;
        return vexoacq(module);
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#if PY_VERSION_HEX >= 0x030D0000 && defined(Py_mod_gil)
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
#if PY_VERSION_HEX >= 0x030C0000
    // Lets the interpreter refuse a sub-interpreter's import before the
    // module is even created (see check_interpreter for the reason).
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vexoacq",
    .m_doc = "Register PyO3 bindings to vexoacquisition.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace vexoacq::python_api

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_vexoacq(void) {
    return PyModuleDef_Init(&vexoacq::python_api::module_def);
}
