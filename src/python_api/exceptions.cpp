#include "python_api/exceptions.hpp"

#include <array>
#include <utility>

#include "python_api/binding.hpp"

namespace vexoacq::python_api::exceptions {

namespace {

using error::AcquisitionErrorKind;

struct AcquisitionRow {
    ExceptionClass cls;
    const char* message;  // ReadFailed: the prefix before the carried text
};

// Indexed by AcquisitionErrorKind.  Only InvalidPath, ReadFailed,
// IndexOutOfBounds and NoSuchMiscData are produced by the store; the other
// rows speak of writing acquisitions, which this module never does.
constexpr std::array<AcquisitionRow, 12> kAcquisitionTable{{
    {ExceptionClass::FileNotFoundError, "Invalid path"},
    {ExceptionClass::FileExistsError, "Acquisition already exists"},
    {ExceptionClass::OSError, "Could not create acquisition"},
    {ExceptionClass::OSError, "Could not read acquisition: "},
    {ExceptionClass::IndexError, "Index out of bounds"},
    {ExceptionClass::FullChunkError, "Chunk capacity exceeded"},
    {ExceptionClass::OSError, "Failed to write data"},
    {ExceptionClass::MetadataError, "Acquisition is missing metadata"},
    {ExceptionClass::MetadataError, "Cannot write metadata twice"},
    {ExceptionClass::ValueError, "Invalid metadata"},
    {ExceptionClass::ValueError, "No such misc data"},
    {ExceptionClass::OSError, "Unknown error"},
}};

OnceSlot full_chunk_slot;
OnceSlot metadata_slot;
OnceSlot parsing_slot;
OnceSlot export_slot;

PyObject* own_class(OnceSlot& slot, const char* dotted_name) {
    return slot.get_or_init([dotted_name]() -> PyObject* {
        PyObject* cls = PyErr_NewException(dotted_name, PyExc_Exception, nullptr);
        if (cls == nullptr) {
            // We are handing an exception to the interpreter and cannot turn
            // this failure into one.
            PyErr_Print();
            Py_FatalError("Failed to initialize new exception type.");
        }
        return cls;
    });
}

}  // namespace

PyErr to_pyerr(error::AcquisitionError e) {
    const auto index = static_cast<std::size_t>(e.kind);
    check_invariant(index < kAcquisitionTable.size(), "acquisition error kind outside the table");
    const AcquisitionRow& row = kAcquisitionTable[index];
    PyErr err{row.cls, row.message};
    if (e.kind == AcquisitionErrorKind::ReadFailed) err.message += e.text;
    return err;
}

PyErr to_pyerr(error::MetadataError e) {
    PyErr err{ExceptionClass::MetadataError, "Could not process metadata: "};
    err.message += error::message(e);
    return err;
}

PyErr to_pyerr(error::ParsingError e) {
    PyErr err{ExceptionClass::ParsingError, "Failed to parse event: "};
    err.message += error::message(e);
    return err;
}

PyErr to_pyerr(const error::ExportError& e) {
    PyErr err{ExceptionClass::ExportError, "Could not export: "};
    err.message += error::message(e);
    return err;
}

PyObject* class_object(ExceptionClass cls) {
    switch (cls) {
        case ExceptionClass::FileNotFoundError: return PyExc_FileNotFoundError;
        case ExceptionClass::FileExistsError: return PyExc_FileExistsError;
        case ExceptionClass::OSError: return PyExc_OSError;
        case ExceptionClass::IndexError: return PyExc_IndexError;
        case ExceptionClass::ValueError: return PyExc_ValueError;
        case ExceptionClass::FullChunkError: return own_class(full_chunk_slot, "acquisition.FullChunkError");
        case ExceptionClass::MetadataError: return own_class(metadata_slot, "acquisition.MetadataError");
        case ExceptionClass::ParsingError: return own_class(parsing_slot, "acquisition.ParsingError");
        case ExceptionClass::ExportError: return own_class(export_slot, "acquisition.ExportError");
    }
    internal_fault("exception class outside the table");
}

std::nullptr_t raise(const PyErr& err) {
    PyObject* cls = class_object(err.cls);
    if (cls == nullptr) return nullptr;
    OwnedRef text = OwnedRef::steal(
        PyUnicode_DecodeUTF8(err.message.data(), static_cast<Py_ssize_t>(err.message.size()), "replace"));
    if (!text) return nullptr;
    OwnedRef exc = OwnedRef::steal(PyObject_CallOneArg(cls, text.get()));
    if (!exc) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

}  // namespace vexoacq::python_api::exceptions
