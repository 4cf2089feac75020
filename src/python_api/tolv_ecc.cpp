// Python functions of the tolv96 data-word code.
//
// The event functions hold the interpreter lock throughout; the check runs on
// the worker pool, whose threads read only the event bytes.  ecc_check reads
// a bytes object in place (it is immutable), and a bytearray in place too
// where the interpreter lock keeps every other thread from changing it (no
// Python code runs between the conversion and the check); on a free-threaded
// interpreter a bytearray is copied first, under its critical section.  List
// items are held by strong references while they are converted.  ecc_correct
// copies the argument into the bytearray it returns and corrects that copy.
#include "python_api/tolv_ecc.hpp"

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "ecc/check.hpp"
#include "ecc/tolv96.hpp"
#include "python_api/binding.hpp"

namespace vexoacq::python_api::tolv_ecc {

namespace {

namespace check = ecc::check;
namespace tolv96 = ecc::tolv96;

// ----------------------------------------------------------------- converters

// A data word and a byte: any integer, read as a C long, then bounded.
constexpr auto convert_u16 = convert_integer<std::uint16_t, long>;
constexpr auto convert_u8 = convert_integer<std::uint8_t, long>;

// Four bytes: a bytes or bytearray object as it is, else a sequence of four
// integers from 0 to 255.  A bytearray can be resized by another thread on
// an interpreter without a global lock, so its size and bytes are read
// together under its critical section.
int convert_syndrome(PyObject* src, std::array<std::uint8_t, 4>* out) {
    Py_ssize_t size = 0;
    if (PyBytes_Check(src)) {
        size = PyBytes_GET_SIZE(src);
        if (size == 4) std::memcpy(out->data(), PyBytes_AS_STRING(src), 4);
    } else if (PyByteArray_Check(src)) {
        VEXO_BEGIN_CRITICAL_SECTION(src);
        size = PyByteArray_GET_SIZE(src);
        if (size == 4) std::memcpy(out->data(), PyByteArray_AS_STRING(src), 4);
        VEXO_END_CRITICAL_SECTION();
    } else {
        if (!PySequence_Check(src)) return raise_not_sequence(src);
        size = PySequence_Size(src);
        if (size < 0) return -1;
        if (size == 4) {
            for (Py_ssize_t i = 0; i < 4; ++i) {
                OwnedRef item = OwnedRef::steal(PySequence_GetItem(src, i));
                if (!item || convert_u8(item.get(), &(*out)[static_cast<std::size_t>(i)]) < 0) return -1;
            }
        }
    }
    if (size != 4) {
        PyErr_Format(PyExc_ValueError, "expected a sequence of length 4 (got %zd)", size);
        return -1;
    }
    return 0;
}

// The bytes of a raw event: a view of the caller's bytes where reading them
// in place cannot be observed, else a copy of our own.
struct RawBytes {
    std::span<const std::uint8_t> view;
    std::vector<std::uint8_t> owned;

    void own() { view = owned; }
};

int append_item(PyObject* item, std::vector<std::uint8_t>& out) {
    std::uint8_t b = 0;
    if (convert_u8(item, &b) < 0) return -1;
    out.push_back(b);
    return 0;
}

// A strong reference to item i of a list, or null (no exception) past its
// end.  Where the interpreter may run without a global lock the item is
// taken with PyList_GetItemRef, which never hands out an item that another
// thread is removing.
OwnedRef list_item(PyObject* list, Py_ssize_t i) {
#ifdef Py_GIL_DISABLED
    PyObject* item = PyList_GetItemRef(list, i);
    if (item == nullptr) PyErr_Clear();  // IndexError: the end
    return OwnedRef::steal(item);
#else
    if (i >= PyList_GET_SIZE(list)) return {};
    return OwnedRef::borrow(PyList_GET_ITEM(list, i));
#endif
}

int convert_raw_bytes(PyObject* src, RawBytes* out) {
    if (PyBytes_Check(src)) {
        out->view = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(src)),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(src))};
        return 0;
    }
    if (PyByteArray_Check(src)) {
#ifdef Py_GIL_DISABLED
        // Copied under the bytearray's critical section, so that no other
        // thread resizes (and frees) its buffer while it is read.
        VEXO_BEGIN_CRITICAL_SECTION(src);
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(src));
        out->owned.assign(data, data + PyByteArray_GET_SIZE(src));
        VEXO_END_CRITICAL_SECTION();
        out->own();
#else
        out->view = {reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(src)),
                     static_cast<std::size_t>(PyByteArray_GET_SIZE(src))};
#endif
        return 0;
    }
    if (check_vec_sequence(src) < 0) return -1;
    std::vector<std::uint8_t>& bytes = out->owned;
    if (PyList_Check(src)) {
        // The list's length is read again at every step, and each item is
        // held by a strong reference while it is converted: an item's
        // __index__ (or another thread) may change the list.
        bytes.reserve(static_cast<std::size_t>(PyList_GET_SIZE(src)));
        for (Py_ssize_t i = 0;; ++i) {
            OwnedRef item = list_item(src, i);
            if (!item) break;
            if (append_item(item.get(), bytes) < 0) return -1;
        }
    } else if (PyTuple_Check(src)) {
        bytes.reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(src)));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(src); ++i) {
            if (append_item(PyTuple_GET_ITEM(src, i), bytes) < 0) return -1;
        }
    } else {
        bytes.reserve(reserve_hint(src));
        OwnedRef it = OwnedRef::steal(PyObject_GetIter(src));
        if (!it) return -1;
        while (OwnedRef item = OwnedRef::steal(PyIter_Next(it.get()))) {
            if (append_item(item.get(), bytes) < 0) return -1;
        }
        if (PyErr_Occurred()) return -1;
    }
    out->own();
    return 0;
}

// ------------------------------------------------------------------ results

PyObject* entry_tuple(const check::EccEntry& e) {
    OwnedRef t = OwnedRef::steal(PyTuple_New(6));
    if (!t) return nullptr;
    PyObject* items[6] = {
        PyLong_FromSize_t(e.offset), PyLong_FromSize_t(e.position), PyLong_FromLong(e.word),
        PyLong_FromLong(e.corrected), PyLong_FromLong(e.bit),       PyLong_FromLong(e.correctable),
    };
    bool failed = false;
    for (Py_ssize_t i = 0; i < 6; ++i) {
        if (items[i] == nullptr) failed = true;
        PyTuple_SET_ITEM(t.get(), i, items[i]);  // a null item is skipped by the tuple's dealloc
    }
    if (failed) return nullptr;
    // A tuple of ints holds no reference cycle; the collector would untrack
    // it at its first pass anyway.  Untracking it now keeps a large list of
    // findings from being walked by every collection it survives.
    PyObject_GC_UnTrack(t.get());
    return t.release();
}

PyObject* findings_list(const check::ChannelFindings& findings) {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(findings.total())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& l : findings) {
        for (const check::EccEntry& e : l) {
            PyObject* t = entry_tuple(e);
            if (t == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), i++, t);
        }
    }
    return list.release();
}

// --------------------------------------------------------------- functions

const char* const kDataParams[] = {"data"};
constexpr Signature kSyndromeSig{"syndrome()", kDataParams};
constexpr Signature kParitySig{"global_parity()", kDataParams};
const char* const kSParams[] = {"s"};
constexpr Signature kToIndexSig{"syndrome_to_index()", kSParams};
const char* const kRawParams[] = {"raw_bytes"};
constexpr Signature kCheckSig{"ecc_check()", kRawParams};
constexpr Signature kCorrectSig{"ecc_correct()", kRawParams};

PyObject* syndrome_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        if (!parse_fastcall(kSyndromeSig, args, nargs, kwnames, argv)) return nullptr;
        std::uint16_t data = 0;
        if (convert_arg(kSyndromeSig, 0, convert_u16, argv[0], &data) < 0) return nullptr;
        const std::array<std::uint8_t, 4> s = tolv96::syndrome(data);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(s.data()), 4);
    });
}

PyObject* global_parity_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        if (!parse_fastcall(kParitySig, args, nargs, kwnames, argv)) return nullptr;
        std::uint16_t data = 0;
        if (convert_arg(kParitySig, 0, convert_u16, argv[0], &data) < 0) return nullptr;
        return PyLong_FromLong(tolv96::global_parity(data));
    });
}

PyObject* syndrome_to_index_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        if (!parse_fastcall(kToIndexSig, args, nargs, kwnames, argv)) return nullptr;
        std::array<std::uint8_t, 4> s{};
        if (convert_arg(kToIndexSig, 0, convert_syndrome, argv[0], &s) < 0) return nullptr;
        const auto bit = tolv96::syndrome_to_index(s);
        if (!bit) Py_RETURN_NONE;
        return PyLong_FromLong(*bit);
    });
}

PyObject* ecc_check_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        if (!parse_fastcall(kCheckSig, args, nargs, kwnames, argv)) return nullptr;
        RawBytes raw;
        if (convert_arg(kCheckSig, 0, convert_raw_bytes, argv[0], &raw) < 0) return nullptr;
        return findings_list(check::check_channels(raw.view, runtime::cpu::best()));
    });
}

PyObject* ecc_correct_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        if (!parse_fastcall(kCorrectSig, args, nargs, kwnames, argv)) return nullptr;
        RawBytes raw;
        if (convert_arg(kCorrectSig, 0, convert_raw_bytes, argv[0], &raw) < 0) return nullptr;
        // The result is our own copy, unseen by anyone until it is returned;
        // a fault drops it and leaves the caller's object as it was.
        OwnedRef out = OwnedRef::steal(PyByteArray_FromStringAndSize(
            reinterpret_cast<const char*>(raw.view.data()), static_cast<Py_ssize_t>(raw.view.size())));
        if (!out) return nullptr;
        const std::span<std::uint8_t> buffer{reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(out.get())),
                                             static_cast<std::size_t>(PyByteArray_GET_SIZE(out.get()))};
        const check::ChannelFindings findings = check::check_channels(buffer, runtime::cpu::best());
        check::apply_corrections(buffer, findings);
        return out.release();
    });
}

}  // namespace

PyMethodDef syndrome_def = {
    "syndrome", as_cfunction(syndrome_fn), METH_FASTCALL | METH_KEYWORDS,
    "syndrome(data)\n--\n\n"
    "Calculate the syndrome for a given 16-bit data word.\n"
    "The syndrome is a 4-byte array where each byte represents the parity of specific bits in the data word.\n"
    "\n"
    "# Arguments\n"
    "* `data` - A 16-bit unsigned integer representing the data word.\n"
    "# Returns\n"
    "* An array of 4 bytes, each representing the parity of specific bits in the data word.\n"};

// The formula line separates "xor" from d(1), d(3), d(4), d(6), d(8) and d(9)
// with a space and a no-break space (UTF-8 C2 A0).
PyMethodDef global_parity_def = {
    "global_parity", as_cfunction(global_parity_fn), METH_FASTCALL | METH_KEYWORDS,
    "global_parity(data)\n--\n\n"
    "Calculate the global parity for a 16-bit data word.\n"
    "\n"
    "The global parity is the XOR of all bits in the data word, excluding the last bit.\n"
    "gp = d(0) xor \xc2\xa0"
    "d(1) xor d(2) xor \xc2\xa0"
    "d(3) xor \xc2\xa0"
    "d(4) xor d(5) xor \xc2\xa0"
    "d(6) xor d(7) xor \xc2\xa0"
    "d(8) xor \xc2\xa0"
    "d(9) xor d(10) xor d(11) xor d(12) xor d(13) xor d(14)\n"
    "\n"
    "# Arguments\n"
    "* `data` - A 16-bit unsigned integer representing the data word.\n"
    "# Returns\n"
    "* An integer representing the global parity of the data word.\n"};

PyMethodDef syndrome_to_index_def = {
    "syndrome_to_index", as_cfunction(syndrome_to_index_fn), METH_FASTCALL | METH_KEYWORDS,
    "syndrome_to_index(s)\n--\n\n"
    "Convert a syndrome to an index based on the corrections.\n"
    "\n"
    "# Arguments\n"
    "* `s` - bit position or None."};

PyMethodDef ecc_check_def = {"ecc_check", as_cfunction(ecc_check_fn), METH_FASTCALL | METH_KEYWORDS,
                             "ecc_check(raw_bytes)\n--\n\n"};

PyMethodDef ecc_correct_def = {"ecc_correct", as_cfunction(ecc_correct_fn), METH_FASTCALL | METH_KEYWORDS,
                               "ecc_correct(raw_bytes)\n--\n\n"};

}  // namespace vexoacq::python_api::tolv_ecc
