// The export driver: blocks of the index list, one file per block, and the
// fetch -> decode -> correct chain that gathers a block's events.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "export/csv.hpp"
#include "runtime/pool.hpp"

namespace vexoacq::export_::csv {

namespace {

std::atomic<testing::CloseFn> g_close{&::close};

// Owns the descriptor of a block's output file.  On NFS, under quotas and on
// some network file systems the last write error only shows at close, so a
// block that wrote everything still fails when its close does.
class OutputFile {
public:
    explicit OutputFile(int fd) noexcept : fd_(fd) {}
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() { (void)close(); }
    int get() const noexcept { return fd_; }

    // 0, or the errno of a failed close.  The descriptor is released either
    // way (Linux frees it even when close fails), so it is never retried;
    // EINTR says nothing about the data and is not a failure.
    int close() noexcept {
        if (fd_ < 0) return 0;
        const int rc = g_close.load(std::memory_order_relaxed)(fd_);
        fd_ = -1;
        return rc == 0 || errno == EINTR ? 0 : errno;
    }

private:
    int fd_;
};

// Write-only, created with 0666 under the umask, not inherited across exec.
// A file left by an earlier export is cut to nothing, so that no old rows
// remain behind a shorter new table.
Result<int, ExportError> open_output(const std::filesystem::path& path) {
    for (;;) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno == EINTR) continue;
        return Err{ExportError::from_errno(errno)};
    }
}

}  // namespace

testing::CloseFn testing::set_close_for_tests(CloseFn fn) noexcept {
    return g_close.exchange(fn == nullptr ? &::close : fn);
}

template <class E>
Result<void, ExportError> export_chunk(const acquisition::Acquisition& acq, const Params& params,
                                       calibration::Corrections corrections,
                                       std::span<const std::size_t> block, const std::filesystem::path& path,
                                       const RowBatching& batching) {
    VEXO_ASSIGN_OR_RETURN(const int fd, open_output(path));
    OutputFile file(fd);

    // fetch -> decode -> correct; an index that fails any stage is skipped.
    // Of each collected event only its bytes, its channels and its row count
    // are kept; the rows are made from the bytes again when they are written,
    // with the same Params and the same corrections.
    const std::vector<KeptEvent> kept = collect_block<E>(acq, params, corrections, block, batching);
    const auto stopped = [&] { return batching.stop != nullptr && batching.stop->stopped(); };
    if (stopped()) return {};
    const std::vector<std::size_t> chans = block_channels(kept);

    CsvWriter writer(file.get());
    // A failure while writing comes first; a failed close after a block that
    // was written whole is the block's write failure.  A stopped block is
    // closed and reports nothing: the caller reports the stop.
    auto written = write_block<E>(kept, chans, params, corrections, writer, batching);
    if (stopped()) return {};
    VEXO_TRY(std::move(written));
    if (const int err = file.close(); err != 0) return Err{ExportError(error::CsvError{err})};
    return {};
}

template <class E>
Result<void, ExportError> export_chunk(const acquisition::Acquisition& acq, const Params& params,
                                       calibration::Corrections corrections,
                                       std::span<const std::size_t> block, const std::filesystem::path& path) {
    return export_chunk<E>(acq, params, std::move(corrections), block, path, RowBatching{&runtime::pool::arena()});
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

    RowBatching batching{&runtime::pool::arena()};
    batching.stop = stop;
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
            return export_chunk<E>(acq, params, corrections, block, path, batching);
        });
        if (stop != nullptr && stop->stopped()) return ExportEnd::Stopped;
        VEXO_TRY(std::move(written));
    }
    return ExportEnd::Finished;
}

#define VEXO_EXPORT_CHUNK(E)                                                                    \
    template Result<void, ExportError> export_chunk<E>(const acquisition::Acquisition&, const Params&, \
                                                       calibration::Corrections,                       \
                                                       std::span<const std::size_t>,                   \
                                                       const std::filesystem::path&);                  \
    template Result<void, ExportError> export_chunk<E>(const acquisition::Acquisition&, const Params&, \
                                                       calibration::Corrections,                       \
                                                       std::span<const std::size_t>,                   \
                                                       const std::filesystem::path&, const RowBatching&);
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
