// Acquisition and IterEvents, laid out as CPython's own modules are: object
// structs (in the header), getters and methods, slots, type specs.

#include "python_api/acquisition.hpp"

#include <new>
#include <string>
#include <utility>

#include "acquisition/chunk.hpp"
#include "acquisition/util.hpp"
#include "python_api/exceptions.hpp"
#include "python_api/parsing.hpp"
#include "python_api/python_libs.hpp"

namespace vexoacq::python_api::acquisition {

namespace {

namespace store = vexoacq::acquisition;
using exceptions::raise;
using exceptions::to_pyerr;

PyAcquisition* as_acq(PyObject* self) noexcept { return reinterpret_cast<PyAcquisition*>(self); }

OnceSlot acquisition_type_slot;
OnceSlot iter_events_type_slot;

PyObject* str_from_utf8(const std::string& s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

}  // namespace

// -------------------------------------------------------------- constructor

std::optional<Payload> make_payload(std::filesystem::path root, std::optional<exceptions::PyErr>* deferred) {
    auto opened = store::Acquisition::open(std::move(root));
    if (!opened) {
        *deferred = to_pyerr(std::move(opened).error());
        return std::nullopt;
    }
    auto text = opened->metadata_str();
    if (!text) {
        *deferred = to_pyerr(std::move(text).error());
        return std::nullopt;
    }
    OwnedRef loaded;
    {
        OwnedRef py_text = OwnedRef::steal(str_from_utf8(*text));
        if (!py_text) return std::nullopt;
        text = std::string();
        loaded = OwnedRef::steal(python_libs::call(python_libs::Callable::YamlSafeLoad, py_text.get()));
        if (!loaded) return std::nullopt;
    }
    auto metadata = opened->metadata();
    if (!metadata) {
        *deferred = to_pyerr(std::move(metadata).error());
        return std::nullopt;
    }
    return Payload{std::move(*opened), std::move(metadata->params), std::move(loaded)};
}

PyObject* new_acquisition(Payload payload) {
    auto* type = reinterpret_cast<PyTypeObject*>(acquisition_type());
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&as_acq(self)->borrow) BorrowFlag();
    new (&as_acq(self)->payload) Payload(std::move(payload));
    return self;
}

bool is_acquisition_object(PyObject* obj) noexcept {
    PyObject* type = acquisition_type_slot.peek();
    return type != nullptr && PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type));
}

int convert_acquisition(PyObject* src, PyObject** out) {
    if (!is_acquisition_object(src)) return raise_not_instance(src, "Acquisition");
    *out = src;
    return 0;
}

namespace {

const char* const kRootParams[] = {"root"};
constexpr Signature kNewSig{"Acquisition.__new__()", kRootParams};

PyObject* acq_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        if (!parse_tuple_dict(kNewSig, args, kwargs, argv)) return nullptr;
        // A keyword argument is borrowed from the caller's dict, and the
        // path's __fspath__ may run any code: hold it while it converts.
        const OwnedRef root_arg = OwnedRef::borrow(argv[0]);
        std::filesystem::path root;
        if (convert_arg(kNewSig, 0, convert_path, root_arg.get(), &root) < 0) return nullptr;
        std::optional<exceptions::PyErr> deferred;
        std::optional<Payload> payload = make_payload(std::move(root), &deferred);
        if (!payload) return deferred ? raise(*deferred) : nullptr;
        return new_acquisition(std::move(*payload));
    });
}

// The metadata object is the instance's only Python reference, and scripts
// can store the instance inside it (acq.metadata["self"] = acq), so the type
// takes part in cycle collection.  tp_clear empties the metadata reference;
// the getters treat an emptied one as None.
int acq_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_acq(self)->payload.metadata.get());
    return 0;
}

int acq_clear(PyObject* self) {
    as_acq(self)->payload.metadata.reset();
    return 0;
}

void acq_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    as_acq(self)->payload.~Payload();
    as_acq(self)->borrow.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);
}

// ------------------------------------------------------------------ getters

// Runs `body(payload)` under a shared borrow of the instance.
template <class F>
PyObject* with_payload(PyObject* self, F&& body) {
    return guarded([&]() -> PyObject* {
        SharedBorrow borrow(as_acq(self)->borrow);
        if (!borrow.ok()) return nullptr;
        return body(as_acq(self)->payload);
    });
}

PyObject* get_is_valid(PyObject* self, void*) {
    return with_payload(self, [](const Payload& p) -> PyObject* {
        return PyBool_FromLong(store::util::is_acquisition(p.acq.root()) ? 1 : 0);
    });
}

PyObject* get_path(PyObject* self, void*) {
    return with_payload(self, [](const Payload& p) -> PyObject* {
        const std::string& native = p.acq.root().native();
        PyObject* s = PyUnicode_DecodeUTF8(native.data(), static_cast<Py_ssize_t>(native.size()), nullptr);
        if (s == nullptr) {
            PyErr_Clear();
            internal_fault("acquisition path is not valid UTF-8");
        }
        return s;
    });
}

PyObject* get_name(PyObject* self, void*) {
    return with_payload(self, [](const Payload& p) -> PyObject* { return str_from_utf8(p.acq.name()); });
}

PyObject* get_chunk_count(PyObject* self, void*) {
    return with_payload(self, [](const Payload& p) -> PyObject* {
        std::size_t n = 0;
        while (store::chunk::ReadChunkFile::open_with_index(p.acq, n).ok()) ++n;
        return PyLong_FromSize_t(n);
    });
}

// Borrowed: the stored metadata object, or None once the collector has
// cleared the instance.
PyObject* metadata_or_none(const Payload& p) noexcept {
    PyObject* md = p.metadata.get();
    return md != nullptr ? md : Py_None;
}

PyObject* get_metadata(PyObject* self, void*) {
    return with_payload(self, [](const Payload& p) -> PyObject* { return Py_NewRef(metadata_or_none(p)); });
}

PyObject* get_params(PyObject* self, void*) {
    return with_payload(self, [](const Payload& p) -> PyObject* {
        PyObject* md = metadata_or_none(p);  // borrowed: the payload keeps it
        if (!PyDict_Check(md)) {
            const std::string qual = type_qualname(md);
            PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", qual.c_str(), "PyDict");
            return nullptr;
        }
        OwnedRef key = OwnedRef::steal(PyUnicode_FromString("params"));
        if (!key) return nullptr;
        // A strong reference straight from the lookup: without a global lock
        // another thread may replace the item as soon as the lookup returns.
#if PY_VERSION_HEX >= 0x030D0000
        PyObject* item = nullptr;
        const int found = PyDict_GetItemRef(md, key.get(), &item);
        if (found < 0) return nullptr;
#else
        PyObject* item = Py_XNewRef(PyDict_GetItemWithError(md, key.get()));
        if (item == nullptr && PyErr_Occurred()) return nullptr;
#endif
        if (item == nullptr) {
            PyErr_SetObject(PyExc_KeyError, key.get());
            return nullptr;
        }
        return item;
    });
}

template <store::MiscDataKind Kind>
PyObject* get_misc(PyObject* self, void*) {
    return with_payload(self, [](const Payload& p) -> PyObject* { return util::load_misc_data(p.acq, Kind); });
}

PyGetSetDef acq_getset[] = {
    {"is_valid", get_is_valid, nullptr, "Check if the folder is a valid acquisition.", nullptr},
    {"path", get_path, nullptr, "Get the path to the acquisition directory.", nullptr},
    {"name", get_name, nullptr, "Get the name of the acquisition.", nullptr},
    {"chunk_count", get_chunk_count, nullptr, "Get the number of chunks in the acquisition", nullptr},
    {"metadata", get_metadata, nullptr, "Read the metadata from the acquisition.", nullptr},
    {"params", get_params, nullptr, "Get acquisition params.", nullptr},
    {"readout_metadata", get_misc<store::MiscDataKind::ReadoutMetadata>, nullptr,
     "Read the readout metadata from the acquisition.", nullptr},
    {"pedestals_calibration", get_misc<store::MiscDataKind::PedestalsCalibration>, nullptr,
     "Read pedestals calibration from the acquisition.", nullptr},
    {"adc_to_mv_calibration", get_misc<store::MiscDataKind::Adc2mvCalibration>, nullptr,
     "Read ADC to mV calibration from the acquisition.", nullptr},
    {"timing_calibration", get_misc<store::MiscDataKind::TimingCalibration>, nullptr,
     "Read timing calibration from the acquisition.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ------------------------------------------------------------------ methods

const char* const kIndexParams[] = {"index"};
constexpr Signature kRawEventSig{"Acquisition.raw_event()", kIndexParams};
constexpr Signature kParsedEventSig{"Acquisition.parsed_event()", kIndexParams};
// An event index: any integer, read as an unsigned 64-bit integer, then
// bounded to 32 bits.
constexpr auto convert_event_index = convert_integer<std::uint32_t, unsigned long long>;

// Fetches the bytes of event `index` (argument rules of `sig`); nullopt with
// the exception set.
std::optional<std::vector<std::uint8_t>> fetch_indexed(const Signature& sig, const Payload& p,
                                                       PyObject* const* args, Py_ssize_t nargs,
                                                       PyObject* kwnames, std::uint32_t* index) {
    PyObject* argv[1];
    if (!parse_fastcall(sig, args, nargs, kwnames, argv)) return std::nullopt;
    if (convert_arg(sig, 0, convert_event_index, argv[0], index) < 0) return std::nullopt;
    auto raw = p.acq.get(*index);
    if (!raw) {
        raise(to_pyerr(std::move(raw).error()));
        return std::nullopt;
    }
    return std::move(*raw);
}

PyObject* acq_raw_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_payload(self, [&](const Payload& p) -> PyObject* {
        std::uint32_t index = 0;
        auto raw = fetch_indexed(kRawEventSig, p, args, nargs, kwnames, &index);
        if (!raw) return nullptr;
        OwnedRef bytes = OwnedRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(raw->data()),
                                                                   static_cast<Py_ssize_t>(raw->size())));
        if (!bytes) return nullptr;
        raw->clear();
        raw->shrink_to_fit();
        OwnedRef num = OwnedRef::steal(PyLong_FromUnsignedLong(index));
        if (!num) return nullptr;
        OwnedRef dict = OwnedRef::steal(PyDict_New());
        if (!dict) return nullptr;
        if (PyDict_SetItemString(dict.get(), "rawdata", bytes.get()) < 0 ||
            PyDict_SetItemString(dict.get(), "pkg_num", num.get()) < 0 ||
            PyDict_SetItemString(dict.get(), "event_num", num.get()) < 0) {
            return nullptr;
        }
        return dict.release();
    });
}

PyObject* acq_parsed_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_payload(self, [&](const Payload& p) -> PyObject* {
        std::uint32_t index = 0;
        auto raw = fetch_indexed(kParsedEventSig, p, args, nargs, kwnames, &index);
        if (!raw) return nullptr;
        return parsing::parse_to_dict(p.params, std::move(*raw));
    });
}

PyMethodDef acq_methods[] = {
    {"raw_event", as_cfunction(acq_raw_event), METH_FASTCALL | METH_KEYWORDS,
     "raw_event($self, index)\n--\n\nFetch a raw event as `bytes`."},
    {"parsed_event", as_cfunction(acq_parsed_event), METH_FASTCALL | METH_KEYWORDS,
     "parsed_event($self, index)\n--\n\nFetch a parsed event. Requires `vexodaq` to be installed."},
    {nullptr, nullptr, 0, nullptr},
};

// ------------------------------------------- length, subscript, iteration

Py_ssize_t acq_length(PyObject* self) {
    return guarded([&]() -> Py_ssize_t {
        SharedBorrow borrow(as_acq(self)->borrow);
        if (!borrow.ok()) return -1;
        auto count = as_acq(self)->payload.acq.len();
        if (!count) {
            raise(to_pyerr(std::move(count).error()));
            return -1;
        }
        if (*count > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
            PyErr_SetNone(PyExc_OverflowError);
            return -1;
        }
        return static_cast<Py_ssize_t>(*count);
    });
}

// acq[index]: the count first (its failure wins over any index error).
// Errors of the store and the decoders come back unraised in *deferred.
PyObject* getitem(const Payload& p, PyObject* index, std::optional<exceptions::PyErr>* deferred) {
    auto count = p.acq.len();
    if (!count) {
        *deferred = to_pyerr(std::move(count).error());
        return nullptr;
    }
    return util::map_index_arg(index, *count, p, deferred);
}

PyObject* getitem(const Payload& p, PyObject* index) {
    std::optional<exceptions::PyErr> deferred;
    PyObject* item = getitem(p, index, &deferred);
    if (item == nullptr && deferred) return raise(*deferred);
    return item;
}

PyObject* acq_subscript(PyObject* self, PyObject* index) {
    return with_payload(self, [&](const Payload& p) -> PyObject* { return getitem(p, index); });
}

PyObject* iter_events_type();
PyObject* new_iter_events(PyObject* acq);

PyObject* acq_iter(PyObject* self) {
    return with_payload(self, [&](const Payload& p) -> PyObject* {
        OwnedRef copy = OwnedRef::steal(new_acquisition(p.copy()));
        if (!copy) return nullptr;
        return new_iter_events(copy.get());
    });
}

PyType_Slot acq_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(acq_new)},
    {Py_mp_length, reinterpret_cast<void*>(acq_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(acq_subscript)},
    {Py_tp_iter, reinterpret_cast<void*>(acq_iter)},
    {Py_tp_dealloc, reinterpret_cast<void*>(acq_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(acq_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(acq_clear)},
    {Py_tp_getset, acq_getset},
    {Py_tp_methods, acq_methods},
    {Py_tp_doc, const_cast<char*>("Acquisition(root)\n--\n\nPythonic wrapper around the [`crate::Acquisition`] class.")},
    {0, nullptr},
};

PyType_Spec acq_spec = {
    .name = "builtins.Acquisition",
    .basicsize = static_cast<int>(sizeof(PyAcquisition)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = acq_slots,
};

// --------------------------------------------------------------- IterEvents

struct PyIterEvents {
    PyObject_HEAD
    BorrowFlag borrow;
    PyObject* acq;  // owned reference to an Acquisition
    std::size_t index;
};

PyIterEvents* as_iter(PyObject* self) noexcept { return reinterpret_cast<PyIterEvents*>(self); }

PyObject* new_iter_events(PyObject* acq) {
    auto* type = reinterpret_cast<PyTypeObject*>(iter_events_type());
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&as_iter(self)->borrow) BorrowFlag();
    as_iter(self)->acq = Py_NewRef(acq);
    as_iter(self)->index = 0;
    return self;
}

const char* const kAcqParams[] = {"acq"};
constexpr Signature kIterNewSig{"IterEvents.__new__()", kAcqParams};

PyObject* iter_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        if (!parse_tuple_dict(kIterNewSig, args, kwargs, argv)) return nullptr;
        PyObject* acq = nullptr;
        if (convert_arg(kIterNewSig, 0, convert_acquisition, argv[0], &acq) < 0) return nullptr;
        return new_iter_events(acq);
    });
}

// The iterator's Acquisition can reach the iterator again through its
// metadata object (acq.metadata["it"] = iter(acq)).
int iter_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_iter(self)->acq);
    return 0;
}

int iter_clear(PyObject* self) {
    Py_CLEAR(as_iter(self)->acq);
    return 0;
}

void iter_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_iter(self)->acq);
    as_iter(self)->borrow.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* iter_iter(PyObject* self) {
    return guarded([&]() -> PyObject* {
        SharedBorrow borrow(as_iter(self)->borrow);
        if (!borrow.ok()) return nullptr;
        return Py_NewRef(self);
    });
}

// One step: event `index` exactly as acq[index]; any failure of the event
// ends the iteration silently and leaves the index, so the next call tries
// the same event again.
PyObject* iter_next(PyObject* self) {
    return guarded([&]() -> PyObject* {
        ExclusiveBorrow borrow(as_iter(self)->borrow);
        if (!borrow.ok()) return nullptr;
        PyIterEvents* it = as_iter(self);
        // Held for the step: making objects may run the collector, and a
        // cleared iterator has no Acquisition left (its iteration is over).
        OwnedRef acq = OwnedRef::borrow(it->acq);
        if (!acq) return nullptr;
        OwnedRef index = OwnedRef::steal(PyLong_FromSize_t(it->index));
        if (!index) return nullptr;
        PyObject* item = nullptr;
        {
            SharedBorrow acq_borrow(as_acq(acq.get())->borrow);
            if (!acq_borrow.ok()) return nullptr;
            std::optional<exceptions::PyErr> dropped;
            item = getitem(as_acq(acq.get())->payload, index.get(), &dropped);
            if (item == nullptr && !dropped) PyErr_Clear();
        }
        if (item == nullptr) return nullptr;  // the end, with no exception set
        ++it->index;
        return item;
    });
}

PyType_Slot iter_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(iter_new)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iter_clear)},
    {Py_tp_doc, const_cast<char*>("IterEvents(acq)\n--\n\nIterator over events in an acquisition")},
    {0, nullptr},
};

PyType_Spec iter_spec = {
    .name = "builtins.IterEvents",
    .basicsize = static_cast<int>(sizeof(PyIterEvents)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = iter_slots,
};

PyObject* iter_events_type() {
    return iter_events_type_slot.get_or_init([] { return PyType_FromSpec(&iter_spec); });
}

}  // namespace

PyObject* acquisition_type() {
    return acquisition_type_slot.get_or_init([] { return PyType_FromSpec(&acq_spec); });
}

// ------------------------------------------------------------ index mapping

PyObject* util::map_index_arg(PyObject* index, std::size_t count, const Payload& payload,
                              std::optional<exceptions::PyErr>* deferred) {
    if (PySlice_Check(index)) {
        Py_ssize_t start = 0;
        Py_ssize_t stop = 0;
        Py_ssize_t step = 0;
        if (PySlice_Unpack(index, &start, &stop, &step) < 0) return nullptr;
        const auto length = static_cast<Py_ssize_t>(std::min<std::size_t>(count, PY_SSIZE_T_MAX));
        PySlice_AdjustIndices(length, &start, &stop, step);
        if (start < 0 || stop < 0 || step < 0) {
            PyErr_SetString(PyExc_IndexError, "index out of bounds");
            return nullptr;
        }
        OwnedRef list = OwnedRef::steal(PyList_New(0));
        if (!list) return nullptr;
        for (Py_ssize_t i = start; i < stop; i += step) {
            auto raw = payload.acq.get(static_cast<std::size_t>(i));
            if (!raw) {
                *deferred = to_pyerr(std::move(raw).error());
                return nullptr;
            }
            OwnedRef event = OwnedRef::steal(parsing::parse_to_dict(payload.params, std::move(*raw), deferred));
            if (!event) return nullptr;
            if (PyList_Append(list.get(), event.get()) < 0) return nullptr;
            if (stop - i <= step) break;  // the next step would pass stop (and could overflow)
        }
        return list.release();
    }
    // Signed, unlike convert_event_index: a negative index is an IndexError
    // below, not a failed conversion.
    const Py_ssize_t i = PyNumber_AsSsize_t(index, PyExc_OverflowError);
    if (i == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "index must be an int or a slice");
        return nullptr;
    }
    if (i < 0) {
        PyErr_SetString(PyExc_IndexError, "index out of bounds");
        return nullptr;
    }
    auto raw = payload.acq.get(static_cast<std::size_t>(i));
    if (!raw) {
        *deferred = to_pyerr(std::move(raw).error());
        return nullptr;
    }
    return parsing::parse_to_dict(payload.params, std::move(*raw), deferred);
}

// ----------------------------------------------------------- misc data files

PyObject* util::load_misc_data(const store::Acquisition& acq, store::MiscDataKind kind) {
    auto misc = acq.misc_data(kind);
    if (!misc) {
        if (misc.error().kind == error::AcquisitionErrorKind::NoSuchMiscData) return Py_NewRef(Py_None);
        return raise(to_pyerr(std::move(misc).error()));
    }
    std::vector<std::uint8_t> content = std::move(misc->data);
    PyObject* decompress = python_libs::get(python_libs::Callable::GzipDecompress);
    if (decompress == nullptr) return nullptr;
    OwnedRef bytes = OwnedRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(content.data()),
                                                               static_cast<Py_ssize_t>(content.size())));
    if (!bytes) return nullptr;
    content = {};
    OwnedRef unpacked = OwnedRef::steal(PyObject_CallOneArg(decompress, bytes.get()));
    if (!unpacked) return nullptr;
    bytes.reset();
    return python_libs::call(python_libs::Callable::PickleLoads, unpacked.get());
}

// --------------------------------------------------------- module functions

namespace {

const char* const kPathParams[] = {"path"};
constexpr Signature kIsAcqSig{"is_acquisition()", kPathParams};
const char* const kRootDirParams[] = {"root_dir"};
constexpr Signature kListSig{"list_acquisitions()", kRootDirParams};

PyObject* is_acquisition_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        if (!parse_fastcall(kIsAcqSig, args, nargs, kwnames, argv)) return nullptr;
        std::filesystem::path path;
        if (convert_arg(kIsAcqSig, 0, convert_path, argv[0], &path) < 0) return nullptr;
        return PyBool_FromLong(store::util::is_acquisition(path) ? 1 : 0);
    });
}

PyObject* list_acquisitions_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        if (!parse_fastcall(kListSig, args, nargs, kwnames, argv)) return nullptr;
        std::filesystem::path root_dir;
        if (convert_arg(kListSig, 0, convert_path, argv[0], &root_dir) < 0) return nullptr;
        std::vector<Payload> payloads;
        for (const store::Acquisition& found : store::util::list_acquisitions(root_dir)) {
            // An entry whose object cannot be made is left out; its error is
            // dropped unraised (a Python failure is cleared).
            std::optional<exceptions::PyErr> dropped;
            std::optional<Payload> p = make_payload(found.root(), &dropped);
            if (p) {
                payloads.push_back(std::move(*p));
            } else if (!dropped) {
                PyErr_Clear();
            }
        }
        OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(payloads.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < payloads.size(); ++i) {
            PyObject* obj = new_acquisition(std::move(payloads[i]));
            if (obj == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), obj);
        }
        return list.release();
    });
}

}  // namespace

PyMethodDef list_acquisitions_def = {
    "list_acquisitions", as_cfunction(list_acquisitions_fn), METH_FASTCALL | METH_KEYWORDS,
    "list_acquisitions(root_dir)\n--\n\nList all acquisitions in a directory."};

PyMethodDef is_acquisition_def = {
    "is_acquisition", as_cfunction(is_acquisition_fn), METH_FASTCALL | METH_KEYWORDS,
    "is_acquisition(path)\n--\n\nCheck if a folder is a valid acquisition."};

}  // namespace vexoacq::python_api::acquisition
