#include "python_api/binding.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace vexoacq::python_api {

SharedBorrow::SharedBorrow(BorrowFlag& f) noexcept : flag_(&f) {
    if (!f.try_shared()) {
        flag_ = nullptr;
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    }
}

ExclusiveBorrow::ExclusiveBorrow(BorrowFlag& f) noexcept : flag_(&f) {
    if (!f.try_exclusive()) {
        flag_ = nullptr;
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    }
}

// ------------------------------------------------------------------ once-slot

namespace {

// A serial per thread, from 1, for the low half of a claim token.  A forked
// child keeps the forking thread's serial and the counter, so serials stay
// distinct within every process.
std::atomic<std::uint32_t> next_thread_serial{1};

std::uint64_t claim_token() noexcept {
    thread_local const std::uint32_t serial = next_thread_serial.fetch_add(1, std::memory_order_relaxed);
    const auto pid = static_cast<std::uint32_t>(::getpid());
    return (static_cast<std::uint64_t>(pid) << 32) | serial;
}

bool claimed_by_this_process(std::uint64_t token) noexcept {
    return static_cast<std::uint32_t>(token >> 32) == static_cast<std::uint32_t>(::getpid());
}

}  // namespace

OnceSlot::Claim::Claim(OnceSlot& slot) : slot_(slot) {
    const std::uint64_t me = claim_token();
    if (slot_.claim_.load(std::memory_order_acquire) == me) {
        // The maker of this slot, on this thread, needs the slot again.
        token_ = me;
        nested_ = true;
        return;
    }
    GilRelease nogil;
    // Waiting is rare (two threads on a first use) and short (one import),
    // so a polling wait with a growing pause is enough, and it needs no lock
    // that a fork could leave taken.
    auto pause = std::chrono::microseconds(20);
    for (;;) {
        if (slot_.peek() != nullptr) return;
        std::uint64_t current = slot_.claim_.load(std::memory_order_acquire);
        if (current == 0 || !claimed_by_this_process(current)) {
            if (slot_.claim_.compare_exchange_strong(current, me, std::memory_order_acq_rel,
                                                     std::memory_order_acquire)) {
                token_ = me;
                return;
            }
            continue;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(2000));
    }
}

OnceSlot::Claim::~Claim() {
    if (token_ == 0 || nested_) return;
    // Only our own claim is given up: in a forked child another thread may
    // have taken over the copy of it already.
    std::uint64_t expected = token_;
    slot_.claim_.compare_exchange_strong(expected, 0, std::memory_order_release, std::memory_order_relaxed);
}

PyObject* OnceSlot::publish(PyObject* made) noexcept {
    PyObject* expected = nullptr;
    if (value_.compare_exchange_strong(expected, made, std::memory_order_acq_rel, std::memory_order_acquire)) {
        return made;
    }
    // A nested maker, or the taker of a stale claim, filled it first; the
    // first object stays, so every user sees the same one.
    Py_DECREF(made);
    return expected;
}

// ------------------------------------------------------- exception utilities

OwnedRef fetch_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return OwnedRef::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return {};
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return OwnedRef::steal(value);
#endif
}

void restore_exception(OwnedRef exc) noexcept {
    if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

std::string type_qualname(PyObject* obj) {
    OwnedRef name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        return "?";
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) {
        PyErr_Clear();
        return "?";
    }
    return std::string(text, static_cast<std::size_t>(size));
}

int raise_not_sequence(PyObject* obj) {
    const std::string qual = type_qualname(obj);
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'", qual.c_str());
    return -1;
}

int check_vec_sequence(PyObject* src) {
    if (PyUnicode_Check(src)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return -1;
    }
    if (!PySequence_Check(src)) return raise_not_sequence(src);
    return 0;
}

std::size_t reserve_hint(PyObject* src) noexcept {
    constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 20;
    const Py_ssize_t n = PySequence_Size(src);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(std::min(n, kMaxReserve));
}

int raise_not_instance(PyObject* obj, const char* class_name) noexcept {
    try {
        if (obj == Py_None) {
            PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", class_name);
        } else {
            std::string qual = type_qualname(obj);
            PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", qual.c_str(), class_name);
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return -1;
}

// ------------------------------------------------------------ panic exception

namespace {

OnceSlot panic_slot;

PyObject* panic_class() {
    return panic_slot.get_or_init([]() -> PyObject* {
        return PyErr_NewException("pyo3_runtime.PanicException", PyExc_BaseException, nullptr);
    });
}

}  // namespace

void raise_panic(std::string_view message) noexcept {
    std::fprintf(stderr, "vexoacq: internal fault: %.*s\n", static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
    PyObject* cls = panic_class();
    if (cls == nullptr) return;  // its own failure is already set
    OwnedRef text = OwnedRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(cls, text.get());
}

// ----------------------------------------------------------- argument parser

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string join_names(std::span<const char* const> names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                out += " and ";
            } else if (i + 1 == names.size()) {
                out += ", and ";
            } else {
                out += ", ";
            }
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig.callable,
                 sig.params.size(), given, given == 1 ? "was" : "were");
    return false;
}

// Index of the parameter called `key`, or -1.  Returns -2 with TypeError set
// when `key` is no str.
Py_ssize_t param_index(const Signature& sig, PyObject* key) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s keywords must be strings", sig.callable);
        return -2;
    }
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

// One keyword argument; false with TypeError set on a failure.
bool place_keyword(const Signature& sig, Py_ssize_t nargs, PyObject* key, PyObject* value, PyObject** out) {
    Py_ssize_t i = param_index(sig, key);
    if (i == -2) return false;
    if (i < 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.callable, key);
        return false;
    }
    if (i < nargs || out[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.callable,
                     sig.params[static_cast<std::size_t>(i)]);
        return false;
    }
    out[i] = value;
    return true;
}

bool check_missing(const Signature& sig, PyObject** out) {
    const char* missing[16];
    std::size_t n = 0;
    for (std::size_t i = 0; i < sig.params.size() && n < std::size(missing); ++i) {
        if (out[i] == nullptr) missing[n++] = sig.params[i];
    }
    if (n == 0) return true;
    std::string names = join_names(std::span<const char* const>(missing, n));
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", sig.callable, n,
                 n == 1 ? "" : "s", names.c_str());
    return false;
}

}  // namespace

bool parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyObject** out) noexcept {
    try {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        const auto nparams = static_cast<Py_ssize_t>(sig.params.size());
        if (nargs > nparams) return too_many_positional(sig, nargs);
        for (Py_ssize_t i = 0; i < nparams; ++i) out[i] = i < nargs ? args[i] : nullptr;
        if (kwnames != nullptr) {
            const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                if (!place_keyword(sig, nargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
            }
        }
        return check_missing(sig, out);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

bool parse_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) noexcept {
    try {
        const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        const auto nparams = static_cast<Py_ssize_t>(sig.params.size());
        if (nargs > nparams) return too_many_positional(sig, nargs);
        for (Py_ssize_t i = 0; i < nparams; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
        if (kwargs != nullptr) {
            // PyDict_Next hands out borrowed keys and values; the dict is
            // locked while it is walked.  Nothing in the walk runs Python code.
            bool placed = true;
            VEXO_BEGIN_CRITICAL_SECTION(kwargs);
            Py_ssize_t pos = 0;
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            while (placed && PyDict_Next(kwargs, &pos, &key, &value)) {
                placed = place_keyword(sig, nargs, key, value, out);
            }
            VEXO_END_CRITICAL_SECTION();
            if (!placed) return false;
        }
        return check_missing(sig, out);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

void reword_argument_error(const char* name) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    OwnedRef old = fetch_exception();
    if (!old) return;
    OwnedRef text = OwnedRef::steal(PyObject_Str(old.get()));
    if (!text) return;  // the failure of str() is now the pending error
    OwnedRef msg = OwnedRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!msg) return;
    OwnedRef exc = OwnedRef::steal(PyObject_CallOneArg(PyExc_TypeError, msg.get()));
    if (!exc) return;
    // PyException_SetCause steals its argument.
    if (PyObject* cause = PyException_GetCause(old.get())) PyException_SetCause(exc.get(), cause);
    restore_exception(std::move(exc));
}

// ----------------------------------------------------------------- converters

int convert_path(PyObject* src, std::filesystem::path* out) {
    OwnedRef fs = OwnedRef::steal(PyOS_FSPath(src));
    if (!fs) return -1;
    if (!PyUnicode_Check(fs.get())) return raise_not_instance(fs.get(), "str");
    OwnedRef encoded = OwnedRef::steal(PyUnicode_EncodeFSDefault(fs.get()));
    if (!encoded) return -1;
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) < 0) return -1;
    *out = std::filesystem::path(std::string(data, static_cast<std::size_t>(size)));
    return 0;
}

int read_c_integer(PyObject* src, long* out) {
    const long v = PyLong_AsLong(src);
    if (v == -1 && PyErr_Occurred()) return -1;
    *out = v;
    return 0;
}

int read_c_integer(PyObject* src, unsigned long long* out) {
    OwnedRef number = OwnedRef::steal(PyNumber_Index(src));
    if (!number) return -1;
    const unsigned long long v = PyLong_AsUnsignedLongLong(number.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
    *out = v;
    return 0;
}

int raise_out_of_range() {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return -1;
}

}  // namespace vexoacq::python_api
