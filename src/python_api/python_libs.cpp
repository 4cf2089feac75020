#include "python_api/python_libs.hpp"

#include "python_api/binding.hpp"

namespace vexoacq::python_api::python_libs {

namespace {

struct Source {
    const char* module;
    const char* attribute;
};

constexpr Source kSources[] = {
    {"yaml", "safe_load"},
    {"gzip", "decompress"},
    {"pickle", "loads"},
};

OnceSlot slots[3];

}  // namespace

PyObject* get(Callable which) {
    const auto i = static_cast<std::size_t>(which);
    check_invariant(i < std::size(kSources), "callable outside the table");
    const Source& src = kSources[i];
    return slots[i].get_or_init([&src]() -> PyObject* {
        OwnedRef module = OwnedRef::steal(PyImport_ImportModule(src.module));
        if (!module) return nullptr;
        return PyObject_GetAttrString(module.get(), src.attribute);
    });
}

PyObject* call(Callable which, PyObject* arg) {
    PyObject* fn = get(which);
    if (fn == nullptr) return nullptr;
    return PyObject_CallOneArg(fn, arg);
}

}  // namespace vexoacq::python_api::python_libs
