// CSV export of decoded events: the units of a block, for the export's own
// driver and for the tests and benchmarks that drive them directly.  The
// binding needs only driver.hpp.
//
// Design.  The caller's index list is cut into blocks of `block_size`
// entries; block n goes to "{acquisition name} (chunk {n}).csv" in the output
// folder (driver.cpp).  A block is written in two passes, because the
// header's channel list depends on all of its events:
//  - the first pass (first_pass.hpp) fetches, decodes and pedestal-corrects
//    each event of the block (an event that fails any step is left out
//    without a trace) and retains of it only what the header needs, as a
//    FirstPassEvent: its raw bytes, its channels with data and its row count;
//  - the block writer, export_csv (block_writer.hpp), then writes the header
//    (channels, write_header) and every event's records (write_event,
//    rows.hpp), event after event.  Over the first pass's events it decodes
//    and corrects each one again (second_pass.hpp; both steps are
//    deterministic, and a second pass that disagrees with the first is a
//    broken invariant).
// On a pool of more than one thread the first pass decodes events
// concurrently while they are fetched in order, and the second pass formats
// batches of records concurrently into text that the writer takes in order,
// with the same bytes, write-outs and "Bad channel" notices as one thread
// writing event after event (execution.hpp says how a block runs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "acquisition/acquisition.hpp"
#include "acquisition/metadata.hpp"
#include "calibration/calibration.hpp"
#include "error.hpp"
#include "export/driver.hpp"
#include "export/execution.hpp"
#include "export/label_merge.hpp"
#include "export/writer.hpp"
#include "parsing/parsing.hpp"
#include "result.hpp"

namespace vexoacq::export_::csv {

using acquisition::Params;

// What the first pass retains of one collected event for the second.
struct FirstPassEvent {
    std::vector<std::uint8_t> raw;       // the event's bytes as fetched
    std::vector<std::size_t> channels;   // event_channels of the corrected event
    std::size_t rows = 0;                // event_rows of the corrected event
};

// A block's events as the first pass left them: the sequence that the
// export hands to export_csv, which decodes and corrects each event again
// under the same Params and `corrections` as it writes its records.
template <class E>
struct FirstPassBlock {
    std::span<const FirstPassEvent> events;
    const calibration::Corrections& corrections;
    const BlockExecution& execution;

    auto begin() const noexcept { return events.begin(); }
    auto end() const noexcept { return events.end(); }
};

// The record type of an event sequence: the decoded events themselves, or a
// first pass's events of that type.
template <class Events>
struct RecordTypeOf;
template <class E>
struct RecordTypeOf<std::span<const E>> {
    using type = E;
};
template <class E>
struct RecordTypeOf<FirstPassBlock<E>> {
    using type = E;
};
template <class Events>
using RecordType = typename RecordTypeOf<Events>::type;

// Ascending channel numbers that hold at least one data value in some event
// of `events` (decoded events, or a first pass's block).
template <class Events>
std::vector<std::size_t> channels(const Events& events);

// "acq_num", "evt_num", then per channel "windnum_ch{c}", "data_ch{c}",
// "time_ch{c}" (and "timing_ch{c}" for records with timing).
template <class Events>
Result<void, ExportError> write_header(CsvWriter& writer, const Events& events,
                                       std::span<const std::size_t> channels);

// The records of one event (rows.hpp has the placement rules).  Misplaced
// channels are reported at once: "Bad channel {c} at Event {ordinal}".
template <class E>
Result<void, ExportError> write_event(CsvWriter& writer, const Params& params, const E& event,
                                      std::span<const std::size_t> channels, std::size_t ordinal);

// One block: channel list, header, the events' records with ordinals
// 0, 1, ..., and the final write-out.  `events` are the decoded events
// themselves (std::span<const E>) or a first pass's block; for the latter a
// stop while the records are written leaves the writer's buffer unwritten
// and reports no error.
template <class Events>
Result<void, ExportError> export_csv(const Events& events, CsvWriter& writer, const Params& params);

// Channel slots of one event that hold at least one data value, ascending.
template <class E>
std::vector<std::size_t> event_channels(const E& event);

// Rows of the event table: merged window order length times samples per
// window, or SIZE_MAX when that product overflows.
template <class E>
std::size_t event_rows(const E& event, const Params& params);

// The first pass of a block: each index's event fetched, decoded under
// `params` and corrected with `corrections`, in block order; an event that
// fails any step is left out.  With more than one thread, decoding and
// correcting run concurrently while the fetches stay in order.  After a stop
// the events collected so far (a meaningless part of the block).
template <class E>
std::vector<FirstPassEvent> first_pass(const acquisition::Acquisition& acq, const Params& params,
                                       const calibration::Corrections& corrections,
                                       std::span<const std::size_t> block, const BlockExecution& execution);

// Runs the blocks of one export, all with the same execution settings.
class Exporter {
public:
    explicit Exporter(const BlockExecution& execution) noexcept : execution_(execution) {}

    // Fetch, decode and correct the block's events, then write them to
    // `path` (created, or cut to nothing when it exists; mode 0666 under the
    // umask).  A block stopped while it is collected leaves the file empty.
    template <class E>
    Result<void, ExportError> export_chunk(const acquisition::Acquisition& acq, const Params& params,
                                           calibration::Corrections corrections,
                                           std::span<const std::size_t> block,
                                           const std::filesystem::path& path) const;

    const BlockExecution& execution() const noexcept { return execution_; }

private:
    BlockExecution execution_;
};

// "{name} (chunk {n}).csv"
std::string block_file_name(std::string_view acquisition_name, std::size_t block);

}  // namespace vexoacq::export_::csv
