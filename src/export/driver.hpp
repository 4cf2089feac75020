// The CSV export as its callers see it: the entry point, the stop check it
// polls and how it ended.  Everything else of the export (the writer, the
// passes of a block, the worker pool they run on) stays behind this header.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <span>
#include <thread>

#include "acquisition/acquisition.hpp"
#include "calibration/calibration.hpp"
#include "error.hpp"
#include "result.hpp"

namespace vexoacq::export_::csv {

using error::ExportError;

// Whether an export should stop early, asked of a hook on the thread that
// started the export (the binding's hook runs the interpreter's pending
// signal handlers, so that Ctrl-C ends a long export).  The export polls at
// coarse points (execution.hpp lists them).  Only a poll on the owning
// thread calls the hook, and at most once per `interval` (measured from the
// end of the previous call, and first after one interval from
// construction), so a poll costs a clock read; a poll on another thread only
// reads whether the hook has said stop.  Once it has, the answer stays yes
// and the export abandons its work as soon as it reaches a poll.
class StopCheck {
public:
    using Hook = std::function<bool()>;
    static constexpr std::chrono::milliseconds kInterval{50};

    StopCheck() = default;  // no hook: never stops
    explicit StopCheck(Hook hook, std::chrono::steady_clock::duration interval = kInterval);
    StopCheck(const StopCheck&) = delete;
    StopCheck& operator=(const StopCheck&) = delete;

    // True once the hook has said stop.
    bool poll();
    bool stopped() const noexcept { return stopped_.load(std::memory_order_acquire); }

private:
    Hook hook_;
    std::chrono::steady_clock::duration interval_{};
    std::chrono::steady_clock::time_point next_{};
    std::thread::id owner_;
    std::atomic<bool> stopped_{false};
};

// How an export that returned no error ended.
enum class ExportEnd {
    Finished,
    // The stop hook said stop: the block being written was abandoned (its
    // file holds the header and whole records up to some point, or nothing)
    // and no later block was started.
    Stopped,
};

// The export: metadata, blocks, model lookup, one export_chunk per block.
// block_size 0 is a broken invariant.  With `stop`, polled on the calling
// thread as the blocks are written (see StopCheck): a stop ends the export
// with ExportEnd::Stopped, in place of whatever the abandoned block would
// have reported (a write or close failure of that block included: the block
// was cut short on purpose).  Errors found before the hook says stop end the
// export as without a hook, and it is not asked again.
Result<ExportEnd, ExportError> export_csv_from_acq(acquisition::Acquisition acq,
                                                   std::span<const std::size_t> indices,
                                                   calibration::Corrections corrections,
                                                   std::filesystem::path out_dir, std::size_t block_size,
                                                   StopCheck* stop = nullptr);

}  // namespace vexoacq::export_::csv
