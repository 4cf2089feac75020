// Event records to dicts.
//
// A full tolv96 event carries ~800k numbers, and making that many Python
// objects is the whole cost of this path.  Samples are whole numbers of at
// most 16 bits and time positions run 0..S-1, so a dict holds few distinct
// values: a per-call cache, indexed by the value, lets one float or int
// object fill every slot with that value.  The cache holds borrowed pointers
// into the lists being built and dies with the call.

#include "python_api/parsing.hpp"

#include <bit>
#include <cmath>
#include <span>
#include <tuple>
#include <type_traits>

#include "parsing/parsing.hpp"
#include "parsing/reused_record.hpp"
#include "python_api/binding.hpp"
#include "python_api/exceptions.hpp"

namespace vexoacq::python_api::parsing {

namespace {

using vexoacq::acquisition::Params;
namespace core = vexoacq::parsing;

constexpr std::size_t kCacheSize = 65536;

// Value-indexed cache of number objects for values 0..65535.  Slots are
// borrowed references owned by the lists being built; the slots that one
// call filled are emptied when its cache goes away, so no object outlives
// its dict in the cache or reaches another call.  The slot table itself is
// kept per thread (zeroing 512 KiB per call would cost more than it saves)
// and reached once per call, not once per value.  A nested call on the same
// thread (a callback run while objects are made) gets a table of its own.
// runtime/thread_caches.hpp lists the per-thread caches side by side.
class NumberCache {
public:
    explicit NumberCache(std::vector<PyObject*>& home) : home_(home), table_(std::move(home)) {
        if (table_.size() != kCacheSize) table_.assign(kCacheSize, nullptr);
        slots_ = table_.data();
    }
    ~NumberCache() {
        for (std::uint16_t k : touched_) slots_[k] = nullptr;
        if (home_.empty()) home_ = std::move(table_);
    }
    NumberCache(const NumberCache&) = delete;
    NumberCache& operator=(const NumberCache&) = delete;

    // New reference for the value `key` (< kCacheSize), made by `make` on
    // first sight; null with an exception set when `make` fails.
    template <class Make>
    PyObject* get(std::size_t key, Make&& make) {
        PyObject* slot = slots_[key];
        if (slot != nullptr) [[likely]] {
            Py_INCREF(slot);
            return slot;
        }
        PyObject* made = make();
        if (made == nullptr) return nullptr;
        touched_.push_back(static_cast<std::uint16_t>(key));
        slots_[key] = made;
        return made;
    }

private:
    std::vector<PyObject*>& home_;  // the thread's table, empty while this cache holds it
    std::vector<PyObject*> table_;
    PyObject** slots_ = nullptr;
    std::vector<std::uint16_t> touched_;
};

// The threads' slot tables (made on a thread's first call).
std::vector<PyObject*>& thread_table(int which) {
    thread_local std::vector<PyObject*> tables[2];
    return tables[which];
}

class Converter {
public:
    // A whole number from 0 to 65535 (not -0.0) shares one object per value;
    // the bit comparison tells such a value from every other float.
    PyObject* from_float(float v) {
        if (v >= 0.0f && v < static_cast<float>(kCacheSize)) {
            const auto k = static_cast<std::uint32_t>(v);
            if (std::bit_cast<std::uint32_t>(static_cast<float>(k)) == std::bit_cast<std::uint32_t>(v))
                return floats_.get(k, [v] { return PyFloat_FromDouble(static_cast<double>(v)); });
        }
        return PyFloat_FromDouble(static_cast<double>(v));
    }
    PyObject* from_unsigned(std::size_t v) {
        if (v < kCacheSize) return ints_.get(v, [v] { return PyLong_FromSize_t(v); });
        return PyLong_FromSize_t(v);
    }
    PyObject* from_ecc(const core::tolv96::EccError& e) {
        OwnedRef t = OwnedRef::steal(PyTuple_New(5));
        if (!t) return nullptr;
        const std::size_t members[5] = {std::get<0>(e), std::get<1>(e), std::get<2>(e), std::get<3>(e),
                                        std::get<4>(e)};
        for (Py_ssize_t i = 0; i < 5; ++i) {
            PyObject* n = from_unsigned(members[i]);
            if (n == nullptr) return nullptr;
            PyTuple_SET_ITEM(t.get(), i, n);
        }
        return t.release();
    }

    PyObject* item(float v) { return from_float(v); }
    PyObject* item(std::uint16_t v) { return ints_.get(v, [v] { return PyLong_FromSize_t(v); }); }
    PyObject* item(std::size_t v) { return from_unsigned(v); }
    PyObject* item(const core::tolv96::EccError& e) { return from_ecc(e); }

    // list of lists, one inner list per channel slot.  The items of a new
    // list are written straight into its item array.
    template <class T>
    PyObject* nested(const std::vector<std::vector<T>>& outer) {
        OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(outer.size())));
        if (!list) return nullptr;
        for (std::size_t c = 0; c < outer.size(); ++c) {
            const std::vector<T>& values = outer[c];
            PyObject* inner = PyList_New(static_cast<Py_ssize_t>(values.size()));
            if (inner == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(c), inner);
            PyObject** items = reinterpret_cast<PyListObject*>(inner)->ob_item;
            const T* v = values.data();
            for (std::size_t i = 0, n = values.size(); i < n; ++i) {
                PyObject* o = item(v[i]);
                if (o == nullptr) return nullptr;
                items[i] = o;
            }
        }
        return list.release();
    }

private:
    NumberCache floats_{thread_table(0)};
    NumberCache ints_{thread_table(1)};
};

// Inserts the new reference `value` under `key`; false with an exception set.
bool insert(PyObject* dict, const char* key, PyObject* value) {
    if (value == nullptr) return false;
    const int rc = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
}

template <class E>
PyObject* record_to_dict(const E& record) {
    Converter conv;
    OwnedRef dict = OwnedRef::steal(PyDict_New());
    if (!dict) return nullptr;
    if (!insert(dict.get(), "data", conv.nested(record.data))) return nullptr;
    if (!insert(dict.get(), "window_labels", conv.nested(record.window_labels))) return nullptr;
    if (!insert(dict.get(), "time", conv.nested(record.time))) return nullptr;
    if constexpr (core::HasTiming<E>) {
        if (!insert(dict.get(), "timing", conv.nested(record.timing))) return nullptr;
    } else {
        if (!insert(dict.get(), "timing", Py_NewRef(Py_None))) return nullptr;
    }
    if constexpr (core::HasEccErrors<E>) {
        if (!insert(dict.get(), "ecc_errors", conv.nested(record.ecc_errors))) return nullptr;
    } else {
        if (!insert(dict.get(), "ecc_errors", Py_NewRef(Py_None))) return nullptr;
    }
    return dict.release();
}

}  // namespace

// Decodes `raw` as record type E and builds the dict.  The families that can
// decode into a given record use this thread's reused record, so their lists
// keep their pages from one event to the next (see parsing/reused_record.hpp).
template <class E>
PyObject* parse_generic(const Params& params, std::vector<std::uint8_t> raw,
                        std::optional<exceptions::PyErr>* deferred) {
    core::EventRecord<E> record(/*fresh=*/false);
    const auto decoded = record.decode(std::span<const std::uint8_t>(raw), params);
    raw = {};
    if (!decoded) {
        *deferred = exceptions::to_pyerr(decoded.error());
        return nullptr;
    }
    return record_to_dict(record.get());
}

PyObject* parse_to_dict(const Params& params, std::vector<std::uint8_t> raw,
                        std::optional<exceptions::PyErr>* deferred) {
    const std::optional<core::Family> family = core::family_of(params.model);
    if (!family) {
        *deferred = exceptions::to_pyerr(error::ParsingError::UnsupportedModel);
        return nullptr;
    }
    return core::with_event_type(*family, [&](auto type) -> PyObject* {
        using E = typename decltype(type)::type;
        return parse_generic<E>(params, std::move(raw), deferred);
    });
}

PyObject* parse_to_dict(const Params& params, std::vector<std::uint8_t> raw) {
    std::optional<exceptions::PyErr> deferred;
    PyObject* dict = parse_to_dict(params, std::move(raw), &deferred);
    if (dict == nullptr && deferred) return exceptions::raise(*deferred);
    return dict;
}

}  // namespace vexoacq::python_api::parsing
