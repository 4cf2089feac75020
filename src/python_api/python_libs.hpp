// Python callables the module borrows from the host interpreter:
// yaml.safe_load (the metadata object of an Acquisition), gzip.decompress and
// pickle.loads (the readout-metadata and calibration files).
//
// Each lives in a process-wide once-slot, imported on first use; the slot
// keeps the attribute's object as it was when it was filled (later changes
// to the module's attribute are not seen).  A failed import or attribute
// lookup leaves the slot empty and is tried again at the next use.
//
//     PyObject* loaded = call(Callable::YamlSafeLoad, text);  // new ref or null
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace vexoacq::python_api::python_libs {

enum class Callable : std::uint8_t {
    YamlSafeLoad,    // YAML_SAFE_LOAD: yaml.safe_load
    GzipDecompress,  // GZIP_DECOMPRESS: gzip.decompress
    PickleLoads,     // PICKLE_LOADS: pickle.loads
};

// Borrowed reference to the callable, importing it first if needed; null with
// the import's (or attribute lookup's) exception set.  Interpreter lock held.
PyObject* get(Callable which);

// Calls the callable with one positional argument: a new reference, or null
// with the exception of the import or of the call set.
PyObject* call(Callable which, PyObject* arg);

}  // namespace vexoacq::python_api::python_libs
