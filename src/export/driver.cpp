// The export driver: blocks of the index list, one file per block, and each
// block's two passes (csv.hpp).
#include "export/driver.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "acquisition/chunk.hpp"
#include "export/csv.hpp"
#include "export/testing.hpp"
#include "runtime/pool.hpp"

namespace vexoacq::export_::csv {

namespace {

using acquisition::chunk::FileDescriptor;

std::atomic<testing::CloseFn> g_close{&::close};

// Write-only, created with 0666 under the umask, not inherited across exec.
// A file left by an earlier export is cut to nothing, so that no old rows
// remain behind a shorter new table.
Result<FileDescriptor, ExportError> open_output(const std::filesystem::path& path) {
    for (;;) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd >= 0) return FileDescriptor(fd);
        if (errno == EINTR) continue;
        return Err{ExportError::from_errno(errno)};
    }
}

// Closes a block's output file: 0, or the errno of a failed close.  On NFS,
// under quotas and on some network file systems the last write error only
// shows at close, so a block that wrote everything still fails when its
// close does.  The descriptor is released either way (Linux frees it even
// when close fails), so it is never retried; EINTR says nothing about the
// data and is not a failure.
int close_output(FileDescriptor& file) noexcept {
    if (!file.valid()) return 0;
    const int rc = g_close.load(std::memory_order_relaxed)(file.release());
    return rc == 0 || errno == EINTR ? 0 : errno;
}

}  // namespace

testing::CloseFn testing::set_close_for_tests(CloseFn fn) noexcept {
    return g_close.exchange(fn == nullptr ? &::close : fn);
}

std::string block_file_name(std::string_view acquisition_name, std::size_t block) {
    std::string name(acquisition_name);
    name += " (chunk ";
    name += std::to_string(block);
    name += ").csv";
    return name;
}

template <class E>
Result<void, ExportError> Exporter::export_chunk(const acquisition::Acquisition& acq, const Params& params,
                                                 calibration::Corrections corrections,
                                                 std::span<const std::size_t> block,
                                                 const std::filesystem::path& path) const {
    VEXO_ASSIGN_OR_RETURN(FileDescriptor file, open_output(path));
    // A fault unwinds through `file`, which closes it; every other way out
    // closes it here.  A failure while writing comes first; a failed close
    // after a block that was written whole is the block's write failure.  A
    // stopped block reports nothing: the caller reports the stop.
    auto written = [&]() -> Result<void, ExportError> {
        // fetch -> decode -> correct; an index that fails any stage is
        // skipped.  Of each collected event only its bytes, its channels and
        // its row count are held; the rows are made from the bytes again
        // when they are written, with the same Params and corrections.
        const std::vector<FirstPassEvent> events = first_pass<E>(acq, params, corrections, block, execution_);
        if (stopped(execution_)) return {};
        CsvWriter writer(file.get());
        return export_csv(FirstPassBlock<E>{events, corrections, execution_}, writer, params);
    }();
    const int close_error = close_output(file);
    if (stopped(execution_)) return {};
    VEXO_TRY(std::move(written));
    if (close_error != 0) return Err{ExportError(error::CsvError{close_error})};
    return {};
}

StopCheck::StopCheck(Hook hook, std::chrono::steady_clock::duration interval)
    : hook_(std::move(hook)),
      interval_(interval),
      next_(std::chrono::steady_clock::now() + interval),
      owner_(std::this_thread::get_id()) {}

bool StopCheck::poll() {
    if (stopped()) return true;
    if (!hook_ || std::this_thread::get_id() != owner_) return false;
    if (std::chrono::steady_clock::now() < next_) return false;
    if (hook_()) {
        stopped_.store(true, std::memory_order_release);
        return true;
    }
    // From the end of the call, so that a slow hook is not called back to back.
    next_ = std::chrono::steady_clock::now() + interval_;
    return false;
}

Result<ExportEnd, ExportError> export_csv_from_acq(acquisition::Acquisition acq,
                                                   std::span<const std::size_t> indices,
                                                   calibration::Corrections corrections,
                                                   std::filesystem::path out_dir, std::size_t block_size,
                                                   StopCheck* stop) {
    Params params;
    {
        auto metadata = acq.metadata();
        if (!metadata) return Err{ExportError(std::move(metadata).error())};
        params = std::move(metadata->params);
    }
    check_invariant(block_size != 0, "chunk size must be non-zero");
    if (indices.empty()) return ExportEnd::Finished;

    const Exporter exporter(BlockExecution{.arena = &runtime::pool::arena(), .stop = stop});
    const std::size_t blocks = (indices.size() - 1) / block_size + 1;
    for (std::size_t n = 0; n < blocks; ++n) {
        if (stop != nullptr && stop->poll()) return ExportEnd::Stopped;
        const std::filesystem::path path = out_dir / block_file_name(acq.name(), n);
        const auto family = parsing::family_of(params.model);
        if (!family) return Err{ExportError(error::ParsingError::UnsupportedModel)};
        const std::size_t first = n * block_size;
        const std::size_t count = std::min(block_size, indices.size() - first);
        const auto block = indices.subspan(first, count);
        auto written = parsing::with_event_type(*family, [&]<class E>(std::type_identity<E>) {
            return exporter.export_chunk<E>(acq, params, corrections, block, path);
        });
        if (stop != nullptr && stop->stopped()) return ExportEnd::Stopped;
        VEXO_TRY(std::move(written));
    }
    return ExportEnd::Finished;
}

#define VEXO_EXPORT_CHUNK(E)                                                                                \
    template Result<void, ExportError> Exporter::export_chunk<E>(const acquisition::Acquisition&, const Params&, \
                                                                 calibration::Corrections,                     \
                                                                 std::span<const std::size_t>,                 \
                                                                 const std::filesystem::path&) const;
VEXO_EXPORT_CHUNK(parsing::Zelkv3Event)
VEXO_EXPORT_CHUNK(parsing::Quopv2Event)
VEXO_EXPORT_CHUNK(parsing::Brindlexv3Event)
VEXO_EXPORT_CHUNK(parsing::Zelkv3SEvent)
VEXO_EXPORT_CHUNK(parsing::Ryk16Event)
VEXO_EXPORT_CHUNK(parsing::Tolv96Event)
VEXO_EXPORT_CHUNK(parsing::Mervyv1Event)
VEXO_EXPORT_CHUNK(parsing::QuopocEvent)
VEXO_EXPORT_CHUNK(parsing::Skarnv1Event)
#undef VEXO_EXPORT_CHUNK

}  // namespace vexoacq::export_::csv
