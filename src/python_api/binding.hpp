// Small helpers every binding file builds on: owned references, the
// interpreter-lock release guard, the process-wide once-slot, the borrow flag
// of our objects, the one argument parser, the path and integer conversions,
// the entry point wrapper that keeps C++ exceptions out of the interpreter
// and the one cast of an entry point into a method table.
//
// Usage, in short:
//
//   OwnedRef r = OwnedRef::steal(PyList_New(0));   // new reference, or null
//   if (!r) return nullptr;                         // exception already set
//   return r.release();                             // hand it to the caller
//
//   { GilRelease nogil; heavy_work(); }             // no Python API inside
//
//   static OnceSlot slot;                           // process-wide, never emptied
//   PyObject* v = slot.get_or_init([] { return make_new_reference(); });
//
//   static const char* const kParams[] = {"acq", "indices"};
//   static constexpr Signature kSig{"export_csv()", kParams};
//   PyObject* argv[2];
//   if (!parse_fastcall(kSig, args, nargs, kwnames, argv)) return nullptr;
//   std::filesystem::path out;
//   if (convert_arg(kSig, 1, convert_path, argv[1], &out) < 0) return nullptr;
//
//   static PyObject* my_function(PyObject* m, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
//       return guarded([&]() -> PyObject* { ... });   // every entry point
//   }
//
// Conventions: a function returning PyObject* returns a new reference or
// nullptr with an exception set; converters have the shape
// `int convert(PyObject* src, T* out)` and return 0 or -1 (exception set).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "error.hpp"

// Critical sections lock one object against other threads on interpreters
// built without the global lock (their headers define the macros; with the
// lock they are plain blocks).  Older headers have none, and need none.
#if defined(Py_BEGIN_CRITICAL_SECTION)
#define VEXO_BEGIN_CRITICAL_SECTION(op) Py_BEGIN_CRITICAL_SECTION(op)
#define VEXO_END_CRITICAL_SECTION() Py_END_CRITICAL_SECTION()
#else
#define VEXO_BEGIN_CRITICAL_SECTION(op) {
#define VEXO_END_CRITICAL_SECTION() }
#endif

namespace vexoacq::python_api {

// ------------------------------------------------------------ owned reference
// Owns one strong reference (or nothing).  Move-only.  Destroying or
// resetting it needs the interpreter lock.
class OwnedRef {
public:
    OwnedRef() noexcept = default;
    // Takes over a new reference (may be null).
    static OwnedRef steal(PyObject* p) noexcept { return OwnedRef(p); }
    // Adds a reference to a borrowed object (may be null).
    static OwnedRef borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return OwnedRef(p);
    }

    OwnedRef(OwnedRef&& o) noexcept : p_(o.release()) {}
    OwnedRef& operator=(OwnedRef&& o) noexcept {
        reset(o.release());
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    // Takes over `p` (a new reference or null) and drops the old one.
    void reset(PyObject* p = nullptr) noexcept {
        PyObject* old = p_;
        p_ = p;
        Py_XDECREF(old);
    }

private:
    explicit OwnedRef(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// ------------------------------------------------------ interpreter lock guard
// Releases the interpreter lock for the guard's lifetime.  Nothing inside may
// touch a Python object or call PyMem_Malloc, except within with_lock().
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

    // Runs `f` with the lock taken back, then releases it again.
    template <class F>
    auto with_lock(F&& f) noexcept {
        static_assert(noexcept(f()), "nothing may leave with_lock while the lock is held");
        PyEval_RestoreThread(state_);
        auto result = f();
        state_ = PyEval_SaveThread();
        return result;
    }

private:
    PyThreadState* state_;
};

// ------------------------------------------------------------------ once-slot
// A process-wide slot filled at most once with a strong reference that lives
// until the process ends (exception classes, type objects, the imported
// callables).  A filled slot is read without any lock.
//
// To fill it, a thread releases the interpreter lock, claims the slot (or
// waits while another thread holds the claim), takes the interpreter lock
// back and only then runs the maker; so a waiting thread never holds the
// lock the filling thread needs.  A maker that fails (returns null with an
// exception set) leaves the slot empty, and the next use tries again.
//
// The claim is an atomic word naming the claiming process and thread, not a
// mutex: the maker runs Python code (an import) that may release the
// interpreter lock, and a fork() at that moment copies the claim into a
// child in which the claiming thread does not exist.  A claim made by another
// process is therefore stale and is taken over, so the child's first use
// fills the slot itself instead of waiting for ever.  The same test works on
// interpreters without a global lock, where the claim alone orders the
// threads.  A maker that asks for its own slot again (an import that uses
// the module) runs a nested maker rather than waiting for itself.
class OnceSlot {
public:
    constexpr OnceSlot() noexcept = default;
    OnceSlot(const OnceSlot&) = delete;
    OnceSlot& operator=(const OnceSlot&) = delete;

    // The stored object (borrowed) or null while empty.
    PyObject* peek() const noexcept { return value_.load(std::memory_order_acquire); }

    // Borrowed reference to the stored object, running `make` (a callable
    // returning a new reference or null) if the slot is empty.  Call with the
    // interpreter lock held.
    template <class Make>
    PyObject* get_or_init(Make&& make) {
        if (PyObject* v = peek()) return v;
        Claim claim(*this);
        if (!claim.held()) return peek();  // filled while this thread waited
        if (PyObject* v = peek()) return v;
        PyObject* made = make();
        if (made == nullptr) return nullptr;
        return publish(made);
    }

private:
    // Scoped claim: the constructor releases the interpreter lock, claims the
    // slot or waits until it is filled, and takes the lock back; held() is
    // false when the slot was filled by another thread meanwhile.
    class Claim {
    public:
        explicit Claim(OnceSlot& slot);
        ~Claim();
        Claim(const Claim&) = delete;
        Claim& operator=(const Claim&) = delete;
        bool held() const noexcept { return token_ != 0; }

    private:
        OnceSlot& slot_;
        std::uint64_t token_ = 0;  // this thread's claim, 0 when not claimed
        bool nested_ = false;      // the claim was this thread's already
    };

    // Stores `made` (a new reference) unless another maker got there first;
    // returns the stored object (borrowed).
    PyObject* publish(PyObject* made) noexcept;

    std::atomic<PyObject*> value_{nullptr};
    // 0 while free, else (process id << 32) | thread serial of the claimant.
    std::atomic<std::uint64_t> claim_{0};
};

// ---------------------------------------------------------------- borrow flag
// The atomic borrow counter every object of this module carries: a count of
// shared borrows, or kExclusive while one exclusive borrow is held.
class BorrowFlag {
public:
    static constexpr std::intptr_t kExclusive = -1;

    bool try_shared() noexcept {
        std::intptr_t cur = count_.load(std::memory_order_relaxed);
        do {
            if (cur == kExclusive) return false;
        } while (!count_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
        return true;
    }
    void release_shared() noexcept { count_.fetch_sub(1, std::memory_order_release); }
    bool try_exclusive() noexcept {
        std::intptr_t expected = 0;
        return count_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void release_exclusive() noexcept { count_.store(0, std::memory_order_release); }

private:
    std::atomic<std::intptr_t> count_{0};
};

// Scoped shared borrow; ok() false means RuntimeError "Already mutably
// borrowed" has been raised.
class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& f) noexcept;
    ~SharedBorrow() {
        if (flag_) flag_->release_shared();
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    bool ok() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_;
};

// Scoped exclusive borrow; ok() false means RuntimeError "Already borrowed"
// has been raised.
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& f) noexcept;
    ~ExclusiveBorrow() {
        if (flag_) flag_->release_exclusive();
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    bool ok() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_;
};

// ------------------------------------------------------- exception utilities
// Takes the current exception (normalised) out of the interpreter; null if none.
OwnedRef fetch_exception() noexcept;
// Sets `exc` (an exception instance) as the current exception.
void restore_exception(OwnedRef exc) noexcept;

// TypeError "'{qualname of obj's type}' object is not an instance of '{class_name}'",
// or "'None' is not an instance of '{class_name}'" for None.  Returns -1.
int raise_not_instance(PyObject* obj, const char* class_name) noexcept;

// Raises pyo3_runtime.PanicException(message) after writing a report to
// standard error.  The class (base BaseException) is made on first use.
void raise_panic(std::string_view message) noexcept;

// ----------------------------------------------------------- argument parser
// One callable's parameters: all required, by position or keyword.
// `callable` is the name used in messages: "is_acquisition()",
// "Acquisition.raw_event()", "Acquisition.__new__()".
struct Signature {
    const char* callable;
    std::span<const char* const> params;
};

// Fast call with keyword names (METH_FASTCALL | METH_KEYWORDS).  Fills
// out[0 .. params.size()) with borrowed references; false with TypeError set
// on an arity or keyword failure.
bool parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out) noexcept;
// The same rules for a tuple and an optional dict (tp_new).
bool parse_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) noexcept;

// Rewords a pending TypeError as TypeError "argument '{name}': {message}",
// carrying the old error's cause over; other exceptions are left unchanged.
void reword_argument_error(const char* name) noexcept;

// Runs `convert(src, out)` and rewords its TypeError for parameter `index`.
template <class T>
int convert_arg(const Signature& sig, std::size_t index, int (*convert)(PyObject*, T*), PyObject* src,
                T* out) {
    if (convert(src, out) == 0) return 0;
    reword_argument_error(sig.params[index]);
    return -1;
}

// ----------------------------------------------------------------- converters
// A path parameter: PyOS_FSPath, str only (bytes refused), encoded with the
// file-system encoding so that surrogate escapes come back as their bytes.
int convert_path(PyObject* src, std::filesystem::path* out);

// The interpreter's reading of an integer argument (an int, its own value
// for a subclass, or __index__) as a C type, with the interpreter's own
// TypeError and OverflowError:
//   long:               PyLong_AsLong ("Python int too large to convert to C
//                       long" outside its range);
//   unsigned long long: PyNumber_Index, then PyLong_AsUnsignedLongLong
//                       ("can't convert negative int to unsigned", "int too
//                       big to convert").
int read_c_integer(PyObject* src, long* out);
int read_c_integer(PyObject* src, unsigned long long* out);

// OverflowError "out of range integral type conversion attempted".  Returns -1.
int raise_out_of_range();

// An integer argument as T: read as Wide (read_c_integer), then
// raise_out_of_range() for a value outside T's range.
template <std::integral T, class Wide>
int convert_integer(PyObject* src, T* out) {
    Wide v{};
    if (read_c_integer(src, &v) < 0) return -1;
    if (!std::in_range<T>(v)) return raise_out_of_range();
    *out = static_cast<T>(v);
    return 0;
}

// Qualified name of an object's type, as UTF-8 ("?" when it cannot be had).
std::string type_qualname(PyObject* obj);

// ------------------------------------------------------- sequence arguments
// TypeError "'{qualname of obj's type}' object cannot be converted to
// 'Sequence'".  Returns -1.
int raise_not_sequence(PyObject* obj);

// A list-shaped argument: any sequence but a str.  0, or -1 with TypeError
// "Can't extract `str` to `Vec`" or the one of raise_not_sequence.
int check_vec_sequence(PyObject* src);

// The length a sequence reports, only to size a first allocation: 0 when it
// reports none (its error cleared), and at most 2^20, since __len__ may
// report far more items than iteration yields.
std::size_t reserve_hint(PyObject* src) noexcept;

// ------------------------------------------------------------ entry wrapper
template <class R>
constexpr R entry_error_value() noexcept {
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        static_assert(std::is_integral_v<R>, "entry points return a pointer or an integer");
        return static_cast<R>(-1);
    }
}

// Runs the body of an entry point: an InternalFault (or any other C++
// exception) becomes PanicException, std::bad_alloc becomes MemoryError; the
// entry point then returns null or -1.
template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
    using R = decltype(body());
    try {
        return body();
    } catch (const InternalFault& e) {
        raise_panic(e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown C++ exception");
    }
    return entry_error_value<R>();
}

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction that
// PyMethodDef holds; the interpreter calls it back with its own signature.
// The cast goes through void (*)() so that the compiler does not warn about
// the mismatched function type.
inline PyCFunction as_cfunction(PyObject* (*fn)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

}  // namespace vexoacq::python_api
