// The one table from the error kinds of the core to Python exceptions.
//
// Converting an error value gives a deferred exception, PyErr: the class to
// raise and the message, nothing else.  Making one touches no Python object
// and needs no interpreter lock, so a conversion may run while the lock is
// released (the CSV export converts there).  The exception object is made
// only when the PyErr is raised:
//
//     auto r = acq.get(i);
//     if (!r) return raise(to_pyerr(std::move(r).error()));   // returns nullptr
//
// The module's own four classes, "acquisition.FullChunkError",
// "acquisition.MetadataError", "acquisition.ParsingError" and
// "acquisition.ExportError" (base Exception, no docstring), are made on the
// first raise of each and kept for the life of the process; they are not
// attributes of the module.  A PyErr that is dropped creates nothing.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>

#include "error.hpp"

namespace vexoacq::python_api::exceptions {

enum class ExceptionClass : std::uint8_t {
    // Standard classes of the interpreter.
    FileNotFoundError,
    FileExistsError,
    OSError,
    IndexError,
    ValueError,
    // The module's own classes.
    FullChunkError,
    MetadataError,
    ParsingError,
    ExportError,
};

// Deferred exception: class + message (UTF-8).
struct PyErr {
    ExceptionClass cls = ExceptionClass::OSError;
    std::string message;
};

PyErr to_pyerr(error::AcquisitionError e);
PyErr to_pyerr(error::MetadataError e);
PyErr to_pyerr(error::ParsingError e);
// "Could not export: {}" as acquisition.ExportError.
PyErr to_pyerr(const error::ExportError& e);

// The class object to raise (a borrowed reference); creates one of the
// module's classes on its first use.  Call with the interpreter lock held.
PyObject* class_object(ExceptionClass cls);

// Sets the exception as the interpreter's current one: the class called with
// the message as its one argument.  Always returns nullptr, so call sites read
// `return raise(err);`.  Call with the interpreter lock held.
std::nullptr_t raise(const PyErr& err);

}  // namespace vexoacq::python_api::exceptions
