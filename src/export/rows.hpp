// The records of one event: its table laid out from the merged window
// order and its channels' lists, and each row written as text.
//
// No table is materialised: each listed channel's placement (first row,
// length, list pointers) is worked out once per event and each row is
// produced from those, as text (number.hpp), straight into the room that
// the sink makes for the longest possible row.  The sink is the block's
// writer (WriterRows) or a batch of the second pass (second_pass.hpp); both
// make that room before each row, so the writer's write-outs fall at the same
// records either way.
//
// Only the export's own sources include this header; csv.hpp declares
// write_event for everyone else.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "error.hpp"
#include "export/csv.hpp"
#include "export/number.hpp"

namespace vexoacq::export_::csv {

namespace detail {

// "Bad channel {channel} at Event {ordinal}" and a line feed, straight to
// the process's standard output (not through any buffered stream, so it
// keeps its place among other output of the process).
void print_bad_channel(std::size_t channel, std::size_t ordinal);

}  // namespace detail

// The event table has R = M * S rows (M: length of the merged window order,
// S: samples per window).  Row r is sample slot r mod S of merged entry
// r div S.  A listed channel's values fill consecutive rows from the first
// row of the entry that holds its first label; its label, time and timing
// columns follow its own lists: labels and timing one value per window,
// time one value per sample, each either as long as the data (labels and
// timing counted S times) or a single value repeated on all rows.
//
// A channel that cannot be laid out that way (its values would run past the
// table, it has data but no labels, or a list of another length) is
// misplaced: "Bad channel {c} at Event {ordinal}" is printed and its cells
// stay empty for this event.  A channel the event has no slot for, or whose
// data are empty, has empty cells without a notice.

namespace detail {

struct Placement {
    bool active = false;
    std::size_t start = 0;  // first row
    std::size_t end = 0;    // one past the last row
    std::size_t entry = 0;  // merged entry of the first row
    const float* data = nullptr;
    const std::uint16_t* labels = nullptr;
    bool label_single = false;
    const std::uint16_t* time = nullptr;
    bool time_single = false;
    const std::size_t* timing = nullptr;
    bool timing_single = false;
};

// True when a per-window list of n values fits data of length len: n * S
// values once expanded, or exactly one.
inline bool per_window_fits(std::size_t n, std::size_t samples, std::size_t len, bool* single) {
    std::size_t expanded = 0;
    if (__builtin_mul_overflow(n, samples, &expanded)) return false;
    *single = expanded == 1 && len != 1;
    return expanded == len || expanded == 1;
}

// Misplaced channels are reported to `out` (out.bad_channel(c, ordinal)).
template <class E, class Out>
Placement place_channel(const E& ev, std::size_t c, std::span<const std::uint16_t> merged, std::size_t samples,
                        std::size_t rows, std::size_t ordinal, Out& out) {
    Placement pl;
    if (c >= ev.data.size() || ev.data[c].empty()) return pl;
    const auto& data = ev.data[c];
    const std::size_t len = data.size();
    static const std::vector<std::uint16_t> kNoLabels;
    const auto& labels = c < ev.window_labels.size() ? ev.window_labels[c] : kNoLabels;
    const auto& time = c < ev.time.size() ? ev.time[c] : kNoLabels;

    auto misplaced = [&] {
        out.bad_channel(c, ordinal);
        return Placement{};
    };

    std::size_t entry = 0;
    if (!merged.empty()) {
        if (labels.empty()) return misplaced();
        const auto it = std::find(merged.begin(), merged.end(), labels[0]);
        check_invariant(it != merged.end(), "first window label missing from the merged window order");
        entry = static_cast<std::size_t>(it - merged.begin());
    }
    const std::size_t start = entry * samples;  // entry < M, so start < R
    if (len > rows - start) return misplaced();

    if (!per_window_fits(labels.size(), samples, len, &pl.label_single)) return misplaced();
    if (time.size() != len && time.size() != 1) return misplaced();
    pl.time_single = time.size() == 1 && len != 1;
    if constexpr (parsing::HasTiming<E>) {
        static const std::vector<std::size_t> kNoTiming;
        const auto& timing = c < ev.timing.size() ? ev.timing[c] : kNoTiming;
        if (!per_window_fits(timing.size(), samples, len, &pl.timing_single)) return misplaced();
        pl.timing = timing.data();
    }
    pl.active = true;
    pl.start = start;
    pl.end = start + len;
    pl.entry = entry;
    pl.data = data.data();
    pl.labels = labels.data();
    pl.time = time.data();
    return pl;
}

// One event laid out for writing: its table size, the record prefix
// "0,{ordinal}" and every listed channel's placement.  Points into the event.
struct EventLayout {
    std::size_t samples = 0;
    std::size_t rows = 0;
    std::size_t row_max = 0;  // longest possible record, line feed included
    std::size_t prefix_len = 0;
    char prefix[2 + number::kMaxFloatText] = {};
    std::vector<Placement> places;
};

// Longest text of one column group: ",label,data,time[,timing]".
template <class E>
inline constexpr std::size_t kGroupMax = 1 + number::kMaxU16Text + 1 + number::kMaxFloatText + 1 + number::kMaxU16Text +
                                  (parsing::HasTiming<E> ? 1 + number::kMaxFloatText : 0);

// Merges the labels, places every listed channel (misplaced ones are
// reported to `out` as they are found) and fixes the record prefix.  Every
// broken limit of the event is found here, before any of its rows is
// produced.
template <class E, class Out>
EventLayout lay_out(const Params& params, const E& event, std::span<const std::size_t> chans, std::size_t ordinal,
                    Out& out) {
    EventLayout lay;
    lay.samples = params.samples;
    const std::vector<std::uint16_t> merged = merge_window_labels(event.window_labels);
    check_invariant(!__builtin_mul_overflow(merged.size(), lay.samples, &lay.rows), "event table size overflows");
    lay.places.reserve(chans.size());
    for (const std::size_t c : chans)
        lay.places.push_back(place_channel(event, c, merged, lay.samples, lay.rows, ordinal, out));
    lay.prefix[0] = '0';
    lay.prefix[1] = ',';
    lay.prefix_len = static_cast<std::size_t>(number::write_count(lay.prefix + 2, ordinal) - lay.prefix);
    lay.row_max = lay.prefix_len + chans.size() * kGroupMax<E> + 1;
    return lay;
}

// Where write_event puts the records of one event:
//  - begin_event(rows, row_max): the event's table has `rows` rows of at most
//    `row_max` bytes each; returns the rows [first, last) to produce;
//  - begin_row(row_max): room for one record, or nullptr when the sink has
//    failed (its error is error()); end_row(end) takes the record up to end;
//  - bad_channel(c, ordinal): channel c is misplaced in this event.
struct RowRange {
    std::size_t first = 0;
    std::size_t last = 0;
};
template <class S>
concept RowSink = requires(S& s, std::size_t n, char* p) {
    { s.begin_event(n, n) } -> std::same_as<RowRange>;
    { s.begin_row(n) } -> std::same_as<char*>;
    s.end_row(p);
    s.bad_channel(n, n);
    { s.error() } -> std::same_as<ExportError>;
};

// Every record straight into the writer's buffer, notices printed at once.
class WriterRows {
public:
    explicit WriterRows(CsvWriter& writer) noexcept : writer_(writer) {}
    RowRange begin_event(std::size_t rows, std::size_t /*row_max*/) const noexcept { return {0, rows}; }
    char* begin_row(std::size_t row_max) { return writer_.reserve(row_max); }
    void end_row(char* end) noexcept { writer_.commit(end); }
    void bad_channel(std::size_t channel, std::size_t ordinal) const { print_bad_channel(channel, ordinal); }
    ExportError error() const { return writer_.error(); }

private:
    CsvWriter& writer_;
};

// Records [first, last) of a laid-out event, appended to `out` (a RowSink);
// false when `out` could not take a record.  `Timing`: the record type has
// timing columns.  The instances are compiled once each: over the writer in
// rows.cpp, over a batch of the second pass in second_pass.cpp.
template <bool Timing, class Sink>
bool format_rows(const EventLayout& lay, std::size_t first, std::size_t last, Sink& out) {
    constexpr std::size_t kWidth = Timing ? 4 : 3;
    const std::size_t samples = lay.samples;
    // first < rows, so samples > 0 whenever a row is produced.
    std::size_t entry = first < last ? first / samples : 0;
    std::size_t slot = first < last ? first % samples : 0;
    for (std::size_t r = first; r < last; ++r) {
        char* out_p = out.begin_row(lay.row_max);
        if (out_p == nullptr) return false;
        std::memcpy(out_p, lay.prefix, lay.prefix_len);
        out_p += lay.prefix_len;
        for (const Placement& pl : lay.places) {
            if (!pl.active || r < pl.start || r >= pl.end) {
                std::memcpy(out_p, ",,,,", kWidth);
                out_p += kWidth;
                continue;
            }
            const std::size_t i = r - pl.start;
            const std::size_t window = entry - pl.entry;
            *out_p++ = ',';
            out_p = number::write_u16(out_p, pl.label_single ? pl.labels[0] : pl.labels[window]);
            *out_p++ = ',';
            if (char* e = number::write_rounded(out_p, pl.data[i])) out_p = e;
            *out_p++ = ',';
            out_p = number::write_u16(out_p, pl.time_single ? pl.time[0] : pl.time[i]);
            if constexpr (Timing) {
                *out_p++ = ',';
                out_p = number::write_count(out_p, pl.timing_single ? pl.timing[0] : pl.timing[window]);
            }
        }
        *out_p++ = '\n';
        out.end_row(out_p);
        if (++slot == samples) {
            slot = 0;
            ++entry;
        }
    }
    return true;
}

extern template bool format_rows<false, WriterRows>(const EventLayout&, std::size_t, std::size_t, WriterRows&);
extern template bool format_rows<true, WriterRows>(const EventLayout&, std::size_t, std::size_t, WriterRows&);

}  // namespace detail

// The records of one event into `out`.  The layout comes first, so a broken
// limit faults before any record of the event, after the notices of the
// channels placed before it.
template <class E, detail::RowSink Out>
Result<void, ExportError> write_event(Out& out, const Params& params, const E& event,
                                      std::span<const std::size_t> chans, std::size_t ordinal) {
    const detail::EventLayout lay = detail::lay_out(params, event, chans, ordinal, out);
    const detail::RowRange range = out.begin_event(lay.rows, lay.row_max);
    if (!detail::format_rows<parsing::HasTiming<E>>(lay, range.first, range.last, out)) return Err{out.error()};
    return {};
}

template <class E>
Result<void, ExportError> write_event(CsvWriter& writer, const Params& params, const E& event,
                                      std::span<const std::size_t> chans, std::size_t ordinal) {
    detail::WriterRows out(writer);
    return write_event(out, params, event, chans, ordinal);
}

template <class E>
std::size_t event_rows(const E& event, const Params& params) {
    std::size_t rows = 0;
    if (__builtin_mul_overflow(merge_window_labels(event.window_labels).size(), params.samples, &rows))
        return SIZE_MAX;
    return rows;
}

}  // namespace vexoacq::export_::csv
