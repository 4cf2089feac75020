// export_csv(acq, indices, out_dir, pedestals_correction)
//
// The arguments are converted with the lock held; then only the folder path
// of the Acquisition is copied and the lock is released until the export has
// finished: metadata, pedestal table and every block are read and written
// by the core without touching a Python object.  Errors are turned into
// deferred exceptions there and raised once the lock is back.
//
// A long export stays interruptible: the core's stop hook, called on this
// thread at most every 50 ms, takes the lock back, runs the interpreter's
// pending signal handlers (PyErr_CheckSignals; Ctrl-C raises
// KeyboardInterrupt) and releases it again.  When a handler raised, the
// export stops, and its exception is raised in place of any error of the
// abandoned block.  No signal handler of the process is touched.
#include "python_api/export.hpp"

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "acquisition/acquisition.hpp"
#include "calibration/calibration.hpp"
#include "export/driver.hpp"
#include "python_api/acquisition.hpp"
#include "python_api/binding.hpp"
#include "python_api/exceptions.hpp"

namespace vexoacq::python_api::export_ {

namespace {

namespace core = vexoacq::acquisition;
using exceptions::PyErr;

constexpr std::size_t kBlockSize = 1000;

// An event index: any integer, read as an unsigned 64-bit integer, then
// bounded to the machine word.
constexpr auto convert_index = convert_integer<std::size_t, unsigned long long>;

// Any sequence of integers but a str, in its order.
int convert_indices(PyObject* src, std::vector<std::size_t>* out) {
    if (check_vec_sequence(src) < 0) return -1;
    out->reserve(reserve_hint(src));
    OwnedRef iter = OwnedRef::steal(PyObject_GetIter(src));
    if (!iter) return -1;
    while (OwnedRef item = OwnedRef::steal(PyIter_Next(iter.get()))) {
        std::size_t index = 0;
        if (convert_index(item.get(), &index) < 0) return -1;
        out->push_back(index);
    }
    return PyErr_Occurred() ? -1 : 0;
}

// A bool, or numpy's boolean scalar; an int is refused.
int convert_bool(PyObject* src, bool* out) {
    if (PyBool_Check(src)) {
        *out = src == Py_True;
        return 0;
    }
    const char* name = Py_TYPE(src)->tp_name;
    if (std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0) {
        const int truth = PyObject_IsTrue(src);
        if (truth < 0) return -1;
        *out = truth != 0;
        return 0;
    }
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyBool'", type_qualname(src).c_str());
    return -1;
}

// The lock released for the lifetime of the object, and taken back briefly
// by signalled().
class Unlocked {
public:
    // Runs the pending signal handlers with the lock held; true when one
    // raised, its exception kept for take_exception().
    bool signalled() noexcept {
        return nogil_.with_lock([this]() noexcept {
            if (PyErr_CheckSignals() >= 0) return false;
            exception_ = fetch_exception();
            return true;
        });
    }

    // With the lock held again (after the object is gone, or from its owner
    // once it has ended): the exception a handler raised.
    OwnedRef take_exception() noexcept { return std::move(exception_); }

private:
    // Declared first so that it is destroyed last, once the lock is back:
    // it is released only with the lock held.
    OwnedRef exception_;
    GilRelease nogil_;
};

// Everything between releasing and retaking the lock.  Touches no Python
// object; a failure comes back as a deferred exception.  *stopped is set when
// the stop check ended the export.
std::optional<PyErr> run_export(core::Acquisition acq, const std::vector<std::size_t>& indices,
                                std::filesystem::path out_dir, bool pedestals_correction,
                                ::vexoacq::export_::csv::StopCheck& stop, bool* stopped) {
    core::Params params;
    {
        auto metadata = acq.metadata();
        if (!metadata) return exceptions::to_pyerr(std::move(metadata).error());
        params = std::move(metadata->params);
    }

    // A missing, unreadable or undecodable pedestals file means no correction.
    std::optional<calibration::Pedestals> table;
    if (pedestals_correction) {
        auto file = acq.misc_data(core::MiscDataKind::PedestalsCalibration);
        if (file) {
            auto decoded = calibration::Pedestals::from_bytes(file->data);
            if (decoded) table = std::move(*decoded);
        }
    }
    calibration::Corrections corrections = calibration::Corrections(params).with_pedestals(std::move(table));

    auto result = ::vexoacq::export_::csv::export_csv_from_acq(std::move(acq), indices, std::move(corrections),
                                                               std::move(out_dir), kBlockSize, &stop);
    if (!result) return exceptions::to_pyerr(result.error());
    *stopped = *result == ::vexoacq::export_::csv::ExportEnd::Stopped;
    return std::nullopt;
}

PyObject* export_csv_fn(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kParams[] = {"acq", "indices", "out_dir", "pedestals_correction"};
        static constexpr Signature kSig{"export_csv()", kParams};
        PyObject* argv[4];
        if (!parse_fastcall(kSig, args, nargs, kwnames, argv)) return nullptr;

        PyObject* acq_obj = nullptr;  // borrowed: the caller's argument
        if (convert_arg(kSig, 0, acquisition::convert_acquisition, argv[0], &acq_obj) < 0) return nullptr;
        std::vector<std::size_t> indices;
        if (convert_arg(kSig, 1, convert_indices, argv[1], &indices) < 0) return nullptr;
        std::filesystem::path out_dir;
        if (convert_arg(kSig, 2, convert_path, argv[2], &out_dir) < 0) return nullptr;
        bool pedestals_correction = false;
        if (convert_arg(kSig, 3, convert_bool, argv[3], &pedestals_correction) < 0) return nullptr;

        std::optional<core::Acquisition> acq;
        {
            auto* object = reinterpret_cast<acquisition::PyAcquisition*>(acq_obj);
            SharedBorrow borrow(object->borrow);
            if (!borrow.ok()) return nullptr;
            acq.emplace(object->payload.acq);
        }

        std::optional<PyErr> failure;
        bool stopped = false;
        OwnedRef interrupt;
        {
            Unlocked nogil;
            ::vexoacq::export_::csv::StopCheck stop([&nogil] { return nogil.signalled(); });
            // A fault unwinds through `nogil`, which takes the lock back
            // before it drops a handler's exception.
            failure = run_export(std::move(*acq), indices, std::move(out_dir), pedestals_correction, stop, &stopped);
            interrupt = nogil.take_exception();
        }
        if (stopped) {
            restore_exception(std::move(interrupt));
            return nullptr;
        }
        if (failure) return exceptions::raise(*failure);
        Py_RETURN_NONE;
    });
}

}  // namespace

PyMethodDef export_csv_def = {
    "export_csv", as_cfunction(export_csv_fn), METH_FASTCALL | METH_KEYWORDS,
    "export_csv(acq, indices, out_dir, pedestals_correction)\n--\n\n"};

}  // namespace vexoacq::python_api::export_
