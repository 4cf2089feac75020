// The Python classes Acquisition and IterEvents, the index mapping behind
// acq[i] / acq[a:b:c], the misc-data loading of the calibration getters, and
// the module functions list_acquisitions and is_acquisition.
//
// An Acquisition instance owns a Payload (the folder handle, a copy of the
// typed Params and the object yaml.safe_load made of "metadata.yml"), fixed
// at construction and never written afterwards; every operation takes a
// shared borrow of the instance for its duration.  Both type objects are
// process-wide: Acquisition is made when the module registers it, IterEvents
// when an Acquisition is first iterated.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <optional>

#include "acquisition/acquisition.hpp"
#include "acquisition/metadata.hpp"
#include "python_api/binding.hpp"
#include "python_api/exceptions.hpp"

namespace vexoacq::python_api::acquisition {

struct Payload {
    vexoacq::acquisition::Acquisition acq;
    vexoacq::acquisition::Params params;
    OwnedRef metadata;

    Payload copy() const {
        return Payload{acq, params, OwnedRef::borrow(metadata.get())};
    }
};

// The Python object behind an Acquisition.  `payload` is constructed in
// tp_new (placement new) and destroyed in tp_dealloc.
struct PyAcquisition {
    PyObject_HEAD
    BorrowFlag borrow;
    Payload payload;
};

// Borrowed reference to the Acquisition type, made on the first request.
PyObject* acquisition_type();
bool is_acquisition_object(PyObject* obj) noexcept;
// Converter of an Acquisition parameter: the object itself (borrowed), or
// TypeError "'{}' object is not an instance of 'Acquisition'".
int convert_acquisition(PyObject* src, PyObject** out);


// The constructor body: the payload of an Acquisition on `root`.  On failure
// nullopt, with either *deferred set (an error of the store, not yet raised)
// or a Python exception set (yaml's, or the interpreter's).
std::optional<Payload> make_payload(std::filesystem::path root, std::optional<exceptions::PyErr>* deferred);

// A new Acquisition object that owns `payload`.
PyObject* new_acquisition(Payload payload);

// The module functions' records (see module.cpp).
extern PyMethodDef list_acquisitions_def;
extern PyMethodDef is_acquisition_def;

namespace util {
// acq[index] for a payload whose event count is `count`: a dict for an
// integer, a list of dicts for a slice.  New reference, or null with either
// *deferred set (an error of the store or a decoder, unraised) or a Python
// exception set (index conversion, slice resolution, allocation).
PyObject* map_index_arg(PyObject* index, std::size_t count, const Payload& payload,
                        std::optional<exceptions::PyErr>* deferred);

// The unpickled content of one misc data file: a new reference, Py_None
// (new reference) when the file does not exist, or null with an exception.
PyObject* load_misc_data(const vexoacq::acquisition::Acquisition& acq, vexoacq::acquisition::MiscDataKind kind);
}  // namespace util

}  // namespace vexoacq::python_api::acquisition
