// CSV export of decoded events.
//
// Design.  The caller's index list is cut into blocks of `block_size`
// entries; block n goes to "{acquisition name} (chunk {n}).csv" in the output
// folder.  A block's events are fetched, decoded and pedestal-corrected
// first (an event that fails any step is left out without a trace), because
// the header's channel list depends on all of them.  Then the header and,
// event after event, one record per sample slot of the event's merged window
// order (merge_window_labels) are written.
//
// No table is materialised: each listed channel's placement (first row,
// length, list pointers) is worked out once per event and each row is
// produced from those, as text (number.hpp) in a row buffer that is then
// copied into the writer's buffer.  The writer makes room for the longest
// possible row before each row and writes its buffer out when that room is
// missing, so the points where the file is written (and where a failed write
// stops the block) depend only on the rows, not on how they were produced.
// A failed write is reported when it happens, as ExportError::Csv, and ends
// the block; what reached the file stays there.
//
// Memory and cores.  A block keeps, across its two passes, only what the
// header needs: each kept event's raw bytes, its channels with data and its
// row count.  The rows are then produced by decoding and correcting each
// event again (both are deterministic; a second pass that disagrees with the
// first is a broken invariant).  Both passes decode into a record kept per
// thread for the families that can decode into a given record, so a block
// of large events does not free and fault in every event's lists again.  On
// a pool of more than one thread, batches of rows are formatted concurrently
// and handed to the writer in order by one thread at a time, with at most a
// few batches per thread in flight;
// the "Bad channel" notices of an event are printed when its rows reach the
// writer, exactly where the one-thread run prints them.
//
// Dialect: "," between fields, "\n" after every record; no field ever needs
// quoting (names and numbers only).  NaN cells are empty fields.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

#include <oneapi/tbb/task_arena.h>

#include "acquisition/acquisition.hpp"
#include "acquisition/metadata.hpp"
#include "calibration/calibration.hpp"
#include "error.hpp"
#include "parsing/parsing.hpp"
#include "result.hpp"

namespace vexoacq::export_::csv {

using acquisition::Params;
using error::ExportError;

// Buffered record writer over a file descriptor it does not own.  Bytes are
// written out whenever the buffer cannot take the next record, and by
// finish(); the first failed write is kept, and every later call fails.
class CsvWriter {
public:
    static constexpr std::size_t kBufferSize = std::size_t{1} << 20;

    explicit CsvWriter(int fd, std::size_t buffer_size = kBufferSize);
    CsvWriter(const CsvWriter&) = delete;
    CsvWriter& operator=(const CsvWriter&) = delete;

    // Room for `n` bytes at the returned pointer (flushing first when the
    // buffer lacks it), or nullptr after a failed write.  commit() then
    // takes the bytes up to `end`.
    char* reserve(std::size_t n);
    void commit(char* end) noexcept { used_ = static_cast<std::size_t>(end - buffer_.data()); }

    // One record of raw fields (no quoting), ended by a line feed.
    Result<void, ExportError> write_record(std::span<const std::string_view> fields);

    // Records formatted elsewhere: text[begin, ends[0]) is the first,
    // text[ends[i - 1], ends[i]) the next ones, none longer than row_max.
    // The same bytes and the same write-outs as reserve(row_max), copy and
    // commit for every record in turn.
    Result<void, ExportError> append_rows(const char* text, std::size_t begin, std::span<const std::size_t> ends,
                                          std::size_t row_max);

    // Writes out what the buffer holds.
    Result<void, ExportError> flush();

    bool failed() const noexcept { return failed_; }
    ExportError error() const { return ExportError(error::CsvError{os_error_}); }

private:
    int fd_;
    std::vector<char> buffer_;
    std::size_t used_ = 0;
    bool failed_ = false;
    int os_error_ = 0;
};

// Merged window order of one event's label lists.
std::vector<std::uint16_t> merge_window_labels(std::span<const std::vector<std::uint16_t>> labels);

// Ascending channel numbers that hold at least one data value in some event.
template <class E>
std::vector<std::size_t> channels(std::span<const E> events);

// "acq_num", "evt_num", then per channel "windnum_ch{c}", "data_ch{c}",
// "time_ch{c}" (and "timing_ch{c}" for records with timing).
template <class E>
Result<void, ExportError> write_header(CsvWriter& writer, std::span<const E> events,
                                       std::span<const std::size_t> channels);

// The records of one event (see csv_impl.hpp for the placement rules).
template <class E>
Result<void, ExportError> write_event(CsvWriter& writer, const Params& params, const E& event,
                                      std::span<const std::size_t> channels, std::size_t ordinal);

// One block: channel list, header, the events with ordinals 0, 1, ..., and
// the final write-out.
template <class E>
Result<void, ExportError> export_csv(std::span<const E> events, CsvWriter& writer, const Params& params);

// Channel slots of one event that hold at least one data value, ascending.
template <class E>
std::vector<std::size_t> event_channels(const E& event);

// Rows of the event table: merged window order length times samples per
// window, or SIZE_MAX when that product overflows.
template <class E>
std::size_t event_rows(const E& event, const Params& params);

// What a block keeps of one collected event between its two passes.
struct KeptEvent {
    std::vector<std::uint8_t> raw;       // the event's bytes as fetched
    std::vector<std::size_t> channels;   // event_channels of the corrected event
    std::size_t rows = 0;                // event_rows of the corrected event
};

// Whether an export should stop early, asked of a hook on the thread that
// started the export (the binding's hook runs the interpreter's pending
// signal handlers, so that Ctrl-C ends a long export).  The export polls at
// coarse points: before each event of the first pass and each segment of
// rows it formats, between batches and between blocks.  Only a poll on the
// owning thread calls the hook, and at most once per `interval` (measured
// from the end of the previous call, and first after one interval from
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

// Where a block's events are decoded and its rows formatted: on `arena` when
// it has more than one thread and the block is large enough to gain from it
// (events of 32 KiB and more are decoded there, blocks of 8 MiB of text and
// more formatted there), on the calling thread alone otherwise.
// `batch_text` is the text planned per batch of rows; 0 derives it from the
// block and the thread count.  Tests set it small, and set `force_pool`, to
// run small blocks through the pool in many batches.  Events are decoded
// into a record kept per thread where the family allows it;
// `fresh_records` decodes every event into a new record instead (the
// benchmark's comparison).  `stop`, when set, is polled as the block is
// collected and written.
struct RowBatching {
    tbb::task_arena* arena = nullptr;
    std::size_t batch_text = 0;
    bool force_pool = false;
    bool fresh_records = false;
    StopCheck* stop = nullptr;
};

// The first pass of a block: each index's event fetched, decoded under
// `params` and corrected with `corrections`, in block order; an event that
// fails any step is left out.  With more than one thread, decoding and
// correcting run concurrently while the fetches stay in order.  After a stop
// the events collected so far (a meaningless part of the block).
template <class E>
std::vector<KeptEvent> collect_block(const acquisition::Acquisition& acq, const Params& params,
                                     const calibration::Corrections& corrections,
                                     std::span<const std::size_t> block, const RowBatching& batching);

// Ascending channels that hold data in some collected event.
std::vector<std::size_t> block_channels(std::span<const KeptEvent> events);

// The header and the rows of a block's collected events, decoded under
// `params` and corrected with `corrections` again; the same bytes and notices
// as export_csv over the corrected events themselves.  After a stop, no
// error: the records already written out stay, the writer's buffer is not
// written.
template <class E>
Result<void, ExportError> write_block(std::span<const KeptEvent> events, std::span<const std::size_t> channels,
                                      const Params& params, const calibration::Corrections& corrections,
                                      CsvWriter& writer, const RowBatching& batching);

// Fetch, decode and correct the block's events, then write them to `path`
// (created, or cut to nothing when it exists; mode 0666 under the umask).
// A block stopped while it is collected leaves the file empty.
template <class E>
Result<void, ExportError> export_chunk(const acquisition::Acquisition& acq, const Params& params,
                                       calibration::Corrections corrections,
                                       std::span<const std::size_t> block, const std::filesystem::path& path);
// The same with the rows batched as given (tests, benchmarks); the one above
// formats them on the process's worker pool.
template <class E>
Result<void, ExportError> export_chunk(const acquisition::Acquisition& acq, const Params& params,
                                       calibration::Corrections corrections,
                                       std::span<const std::size_t> block, const std::filesystem::path& path,
                                       const RowBatching& batching);

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

// "{name} (chunk {n}).csv"
std::string block_file_name(std::string_view acquisition_name, std::size_t block);

namespace testing {
// Fault injection for the C++ tests only (the binding never calls it): the
// call that closes a block's output file, ::close unless replaced.  Returns
// the previous one; nullptr restores ::close.
using CloseFn = int (*)(int fd);
CloseFn set_close_for_tests(CloseFn fn) noexcept;
}  // namespace testing

}  // namespace vexoacq::export_::csv
