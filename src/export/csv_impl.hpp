// Template definitions of the CSV block writer: the header, the row
// layout and formatting, and the two passes of a block.  Only the export's
// own sources include this; each instantiates the templates for some record
// types (VEXO_EXPORT_INSTANCES), so the types compile side by side.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "export/csv.hpp"
#include "export/number.hpp"
#include "parsing/reused_record.hpp"

namespace vexoacq::export_::csv {

namespace detail {

// Prints "Bad channel {c} at Event {ordinal}" for each channel, in order.
void print_notices(std::span<const std::size_t> channels, std::size_t ordinal);

// Whether the export is to stop now (polls the hook when one is due).
inline bool stop_now(const RowBatching& batching) { return batching.stop != nullptr && batching.stop->poll(); }

}  // namespace detail

// ------------------------------------------------------------------ header

template <class E>
std::vector<std::size_t> channels(std::span<const E> events) {
    std::vector<std::uint8_t> seen;
    for (const E& ev : events) {
        if (seen.size() < ev.data.size()) seen.resize(ev.data.size());
        for (std::size_t j = 0; j < ev.data.size(); ++j) {
            if (!ev.data[j].empty()) seen[j] = 1;
        }
    }
    std::vector<std::size_t> out;
    for (std::size_t j = 0; j < seen.size(); ++j) {
        if (seen[j] != 0) out.push_back(j);
    }
    return out;
}

template <class E>
Result<void, ExportError> write_header(CsvWriter& writer, std::span<const E> /*events*/,
                                       std::span<const std::size_t> chans) {
    constexpr bool kTiming = parsing::HasTiming<E>;
    std::vector<std::string> names;
    names.reserve(2 + chans.size() * 4);
    names.emplace_back("acq_num");
    names.emplace_back("evt_num");
    for (const std::size_t c : chans) {
        const std::string n = std::to_string(c);
        names.push_back("windnum_ch" + n);
        names.push_back("data_ch" + n);
        names.push_back("time_ch" + n);
        if constexpr (kTiming) names.push_back("timing_ch" + n);
    }
    std::vector<std::string_view> fields(names.begin(), names.end());
    return writer.write_record(fields);
}

// ------------------------------------------------------------------- rows
//
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

// Misplaced channels are appended to `notices` in channel-list order.
template <class E>
Placement place_channel(const E& ev, std::size_t c, std::span<const std::uint16_t> merged, std::size_t samples,
                        std::size_t rows, std::vector<std::size_t>& notices) {
    Placement pl;
    if (c >= ev.data.size() || ev.data[c].empty()) return pl;
    const auto& data = ev.data[c];
    const std::size_t len = data.size();
    static const std::vector<std::uint16_t> kNoLabels;
    const auto& labels = c < ev.window_labels.size() ? ev.window_labels[c] : kNoLabels;
    const auto& time = c < ev.time.size() ? ev.time[c] : kNoLabels;

    auto misplaced = [&] {
        notices.push_back(c);
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

// Rows of text and where each ends.  Room is made for the longest possible
// row before each row, so a row never needs a bounds check while it is
// written.  The storage is not zero-filled and keeps its capacity across
// clear(), so a batch buffer reused for the next batch faults in no pages.
class RowText {
public:
    char* begin_row(std::size_t row_max) {
        if (capacity_ - size_ < row_max) grow(size_ + row_max);
        return data_.get() + size_;
    }
    void end_row(char* end) {
        size_ = static_cast<std::size_t>(end - data_.get());
        ends_.push_back(size_);
    }
    void clear() noexcept {
        size_ = 0;
        ends_.clear();
    }
    // Room for `bytes` of text and `rows` rows before any growth.
    void reserve(std::size_t bytes, std::size_t rows) {
        if (capacity_ - size_ < bytes) grow_exact(size_ + bytes);
        ends_.reserve(ends_.size() + rows);
    }
    // Gives up storage above `keep` bytes (a batch that held one huge event).
    void trim(std::size_t keep) {
        if (capacity_ > keep) {
            data_.reset();
            capacity_ = 0;
            std::vector<std::size_t>().swap(ends_);
        }
    }
    const char* data() const noexcept { return data_.get(); }
    std::size_t rows() const noexcept { return ends_.size(); }
    // Offset where row i begins.
    std::size_t row_begin(std::size_t i) const noexcept { return i == 0 ? 0 : ends_[i - 1]; }
    std::span<const std::size_t> ends(std::size_t first, std::size_t last) const noexcept {
        return std::span<const std::size_t>(ends_).subspan(first, last - first);
    }

private:
    void grow(std::size_t need) { grow_exact(std::max(need, std::max<std::size_t>(capacity_ * 2, 1 << 16))); }
    void grow_exact(std::size_t cap) {
        auto bigger = std::make_unique_for_overwrite<char[]>(cap);
        if (size_ != 0) std::memcpy(bigger.get(), data_.get(), size_);
        data_ = std::move(bigger);
        capacity_ = cap;
    }

    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::vector<std::size_t> ends_;
};

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

// Merges the labels, places every listed channel (misplaced ones go to
// `notices`) and fixes the record prefix.  Every broken limit of the event
// is found here, before any of its rows is produced.
template <class E>
EventLayout lay_out(const Params& params, const E& event, std::span<const std::size_t> chans, std::size_t ordinal,
                    std::vector<std::size_t>& notices) {
    EventLayout lay;
    lay.samples = params.samples;
    const std::vector<std::uint16_t> merged = merge_window_labels(event.window_labels);
    check_invariant(!__builtin_mul_overflow(merged.size(), lay.samples, &lay.rows), "event table size overflows");
    lay.places.reserve(chans.size());
    for (const std::size_t c : chans)
        lay.places.push_back(place_channel(event, c, merged, lay.samples, lay.rows, notices));
    lay.prefix[0] = '0';
    lay.prefix[1] = ',';
    lay.prefix_len = static_cast<std::size_t>(number::write_count(lay.prefix + 2, ordinal) - lay.prefix);
    lay.row_max = lay.prefix_len + chans.size() * kGroupMax<E> + 1;
    return lay;
}

// Rows straight into the writer's buffer: begin_row is null once a write-out
// has failed.
class WriterRows {
public:
    explicit WriterRows(CsvWriter& writer) noexcept : writer_(writer) {}
    char* begin_row(std::size_t row_max) { return writer_.reserve(row_max); }
    void end_row(char* end) noexcept { writer_.commit(end); }

private:
    CsvWriter& writer_;
};

// Records [first, last) of a laid-out event, appended to `out` (RowText or
// WriterRows); false when `out` could not take a record.  `Timing`: the
// record type has timing columns.  The four instances are compiled once, in
// csv.cpp.
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

extern template bool format_rows<false, RowText>(const EventLayout&, std::size_t, std::size_t, RowText&);
extern template bool format_rows<true, RowText>(const EventLayout&, std::size_t, std::size_t, RowText&);
extern template bool format_rows<false, WriterRows>(const EventLayout&, std::size_t, std::size_t, WriterRows&);
extern template bool format_rows<true, WriterRows>(const EventLayout&, std::size_t, std::size_t, WriterRows&);

}  // namespace detail

template <class E>
Result<void, ExportError> write_event(CsvWriter& writer, const Params& params, const E& event,
                                      std::span<const std::size_t> chans, std::size_t ordinal) {
    std::vector<std::size_t> notices;
    detail::EventLayout lay;
    try {
        lay = detail::lay_out(params, event, chans, ordinal, notices);
    } catch (...) {
        // The notices of the channels placed before a broken limit still appear.
        detail::print_notices(notices, ordinal);
        throw;
    }
    detail::print_notices(notices, ordinal);
    detail::WriterRows rows(writer);
    if (!detail::format_rows<parsing::HasTiming<E>>(lay, 0, lay.rows, rows)) return Err{writer.error()};
    return {};
}

// ------------------------------------------------------------------ blocks

template <class E>
Result<void, ExportError> export_csv(std::span<const E> events, CsvWriter& writer, const Params& params) {
    const std::vector<std::size_t> chans = channels(events);
    VEXO_TRY(write_header(writer, events, std::span<const std::size_t>(chans)));
    for (std::size_t k = 0; k < events.size(); ++k) {
        VEXO_TRY(write_event(writer, params, events[k], std::span<const std::size_t>(chans), k));
    }
    return writer.flush();
}

template <class E>
std::vector<std::size_t> event_channels(const E& event) {
    std::vector<std::size_t> out;
    for (std::size_t j = 0; j < event.data.size(); ++j) {
        if (!event.data[j].empty()) out.push_back(j);
    }
    return out;
}

template <class E>
std::size_t event_rows(const E& event, const Params& params) {
    std::size_t rows = 0;
    if (__builtin_mul_overflow(merge_window_labels(event.window_labels).size(), params.samples, &rows))
        return SIZE_MAX;
    return rows;
}

// The second pass of a block.
//
// The kept events are cut into batches: runs of (event, row range) segments
// of about `target_` bytes of text by an estimate of the row width, so that
// small events are formatted many to a batch.  An event is cut into several
// segments only when its own text would pass kSplitText (each segment
// decodes the event again and formats its own rows).  A
// batch is planned and handed to the writer by one thread at a time, in
// order; formatting runs on any thread.  A broken limit or a fault while a
// batch is formatted is kept in the batch, with the notices printed before
// it, and raised on the calling thread when the batch's turn comes; a write
// failure stops the planning of further batches.

namespace detail {

// Text planned per batch: a share of the block, within these bounds.
inline constexpr std::size_t kMinBatchText = std::size_t{64} << 10;
inline constexpr std::size_t kMaxBatchText = std::size_t{4} << 20;
// An event whose text alone would pass this is cut into several segments.
inline constexpr std::size_t kSplitText = std::size_t{8} << 20;
// Batches in flight per pool thread.
inline constexpr std::size_t kBatchesPerThread = 2;

struct Segment {
    std::size_t event = 0;  // position among the kept events: the ordinal
    std::size_t first_row = 0;
    std::size_t last_row = 0;
    // Filled when the batch is formatted.
    std::size_t row_max = 0;
    std::size_t notices_begin = 0;
    std::size_t notices_end = 0;
    std::size_t rows_begin = 0;  // rows of the batch text
    std::size_t rows_end = 0;
};

struct Batch {
    std::vector<Segment> segments;
    RowText text;
    std::vector<std::size_t> notices;  // misplaced channels, segment after segment
    std::vector<std::size_t> scratch;  // notices of a segment that does not print them
    std::exception_ptr fault;          // raised after the notices of the last segment
};

// What the second pass does for every record type: planning the batches,
// writing them out and the block's outcome.  format() is the record type's.
class BlockRowsBase {
public:
    BlockRowsBase(std::span<const KeptEvent> events, std::span<const std::size_t> chans, const Params& params,
              const calibration::Corrections& corrections, CsvWriter& writer, std::size_t threads,
              std::size_t batch_text, bool fresh_records, StopCheck* stop)
        : events_(events),
          chans_(chans),
          params_(params),
          corrections_(corrections),
          writer_(writer),
          fresh_(fresh_records),
          stop_(stop) {
        // "0,{ordinal}", line feed, and about a dozen bytes per column group.
        row_bytes_ = 4 + 12 * chans.size();
        std::size_t total = 0;
        for (const KeptEvent& k : events) total = saturating_add(total, text_estimate(k.rows));
        total_ = total;
        target_ = batch_text != 0 ? batch_text : std::clamp(total / (threads * 4), kMinBatchText, kMaxBatchText);
        const std::size_t split = batch_text != 0 ? batch_text : kSplitText;
        split_rows_ = std::max<std::size_t>(1, split / row_bytes_);
    }
    BlockRowsBase(const BlockRowsBase&) = delete;
    BlockRowsBase& operator=(const BlockRowsBase&) = delete;
    virtual ~BlockRowsBase() = default;

    // Estimated text of the whole block.
    std::size_t text_total() const noexcept { return total_; }

    // Fills `b` with the next segments; false when every row is planned.
    bool plan(Batch& b) {
        b.segments.clear();
        std::size_t planned = 0;
        while (next_event_ < events_.size() && planned < target_) {
            const std::size_t rows = events_[next_event_].rows;
            Segment s;
            s.event = next_event_;
            s.first_row = next_row_;
            if (rows == SIZE_MAX) {
                s.last_row = rows;  // the table size overflows: the layout faults
            } else {
                s.last_row = rows - next_row_ <= split_rows_ ? rows : next_row_ + split_rows_;
            }
            planned = saturating_add(planned, text_estimate(s.last_row - s.first_row));
            if (s.last_row >= rows) {
                ++next_event_;
                next_row_ = 0;
            } else {
                next_row_ = s.last_row;
            }
            b.segments.push_back(s);
        }
        return !b.segments.empty();
    }

    // Decodes, corrects, lays out and formats the batch's segments; never throws.
    virtual void format(Batch& b) const noexcept = 0;

    // Prints the notices and writes the rows of a formatted batch; false when
    // the block stops (a write failure or a fault, kept for finish()).
    bool emit(const Batch& b) noexcept {
        if (stopping()) return false;
        try {
            for (const Segment& s : b.segments) {
                print_notices(std::span<const std::size_t>(b.notices).subspan(s.notices_begin,
                                                                              s.notices_end - s.notices_begin),
                              s.event);
                if (b.fault && &s == &b.segments.back()) {
                    fault_ = b.fault;
                    return false;
                }
                if (s.rows_begin == s.rows_end) continue;
                auto r = writer_.append_rows(b.text.data(), b.text.row_begin(s.rows_begin),
                                             b.text.ends(s.rows_begin, s.rows_end), s.row_max);
                if (!r) {
                    error_ = std::move(r).error();
                    return false;
                }
            }
        } catch (...) {
            fault_ = std::current_exception();
            return false;
        }
        return true;
    }

    // The block's outcome once the batches have stopped.
    Result<void, ExportError> finish() {
        if (fault_) std::rethrow_exception(fault_);
        if (error_) return Err{std::move(*error_)};
        if (stopped()) return {};
        return writer_.flush();
    }

    // Polls the stop hook (on the thread that owns it; elsewhere only reads
    // the answer).
    bool stopping() const { return stop_ != nullptr && stop_->poll(); }
    bool stopped() const noexcept { return stop_ != nullptr && stop_->stopped(); }

protected:
    static std::size_t saturating_add(std::size_t a, std::size_t b) noexcept {
        std::size_t s = 0;
        return __builtin_add_overflow(a, b, &s) ? SIZE_MAX : s;
    }
    std::size_t text_estimate(std::size_t rows) const noexcept {
        std::size_t t = 0;
        return __builtin_mul_overflow(rows, row_bytes_, &t) ? SIZE_MAX : t;
    }

    std::span<const KeptEvent> events_;
    std::span<const std::size_t> chans_;
    const Params& params_;
    const calibration::Corrections& corrections_;
    CsvWriter& writer_;
    bool fresh_ = false;
    StopCheck* stop_ = nullptr;
    std::size_t row_bytes_ = 1;
    std::size_t total_ = 0;
    std::size_t target_ = kMinBatchText;
    std::size_t split_rows_ = 1;
    std::size_t next_event_ = 0;
    std::size_t next_row_ = 0;
    std::optional<ExportError> error_;
    std::exception_ptr fault_;
};

template <class E>
class BlockRows final : public BlockRowsBase {
public:
    using BlockRowsBase::BlockRowsBase;

    void format(Batch& b) const noexcept override {
        b.notices.clear();
        b.fault = nullptr;
        std::size_t i = 0;  // the segment being formatted
        b.segments[0].notices_begin = 0;
        try {
            b.text.trim(2 * (target_ + kSplitText));
            b.text.clear();
            // The planned text, with some room over the estimate, at once: a
            // buffer grown step by step leaves its smaller copies behind in
            // the heap.
            std::size_t rows = 0;
            for (const Segment& s : b.segments) rows = saturating_add(rows, s.last_row - s.first_row);
            if (rows != SIZE_MAX && text_estimate(rows) < kSplitText + target_)
                b.text.reserve(text_estimate(rows) + text_estimate(rows) / 4, rows);
            parsing::EventRecord<E> record(fresh_);
            for (; i < b.segments.size(); ++i) {
                if (stopping()) return;  // the batch is never emitted
                Segment& s = b.segments[i];
                s.notices_begin = b.notices.size();
                s.rows_begin = b.text.rows();
                const E& event = decode_again(events_[s.event], record);
                std::vector<std::size_t>& sink = s.first_row == 0 ? b.notices : b.scratch;
                b.scratch.clear();
                const EventLayout lay = lay_out(params_, event, chans_, s.event, sink);
                check_invariant(lay.rows == events_[s.event].rows, "event rows differ between the two passes");
                (void)format_rows<parsing::HasTiming<E>>(lay, s.first_row, s.last_row, b.text);
                s.row_max = lay.row_max;
                s.notices_end = b.notices.size();
                s.rows_end = b.text.rows();
            }
        } catch (...) {
            // Nothing of the failed segment is written; its notices so far are.
            Segment& s = b.segments[i];
            s.notices_end = b.notices.size();
            s.rows_begin = s.rows_end = 0;
            b.fault = std::current_exception();
            b.segments.resize(i + 1);
        }
    }

private:
    const E& decode_again(const KeptEvent& kept, parsing::EventRecord<E>& record) const {
        check_invariant(record.decode(parsing::RawBytes(kept.raw), params_).ok(),
                        "a collected event no longer decodes");
        E& event = record.get();
        if (corrections_.pedestals) {
            check_invariant(corrections_.pedestals->correct(event, corrections_.params).ok(),
                            "a collected event no longer corrects");
        }
        std::size_t n = 0;
        for (std::size_t j = 0; j < event.data.size(); ++j) {
            if (event.data[j].empty()) continue;
            check_invariant(n < kept.channels.size() && kept.channels[n] == j,
                            "channels with data differ between the two passes");
            ++n;
        }
        check_invariant(n == kept.channels.size(), "channels with data differ between the two passes");
        return event;
    }
};

}  // namespace detail

// ------------------------------------------------------------ first pass

namespace detail {

// Events at least this large are decoded on the pool.
inline constexpr std::size_t kPoolEventBytes = std::size_t{32} << 10;
// Blocks of at least this much text (by the estimate) are formatted on the pool.
inline constexpr std::size_t kPoolBlockText = std::size_t{8} << 20;

// Fetched events handed on per batch of the first pass.
inline constexpr std::size_t kFetchBatchBytes = std::size_t{256} << 10;
inline constexpr std::size_t kFetchBatchEvents = 256;

struct FetchBatch {
    std::vector<std::vector<std::uint8_t>> raw;
    std::vector<std::optional<KeptEvent>> kept;
    std::exception_ptr fault;  // raised in place of kept[kept.size() - 1]
};

template <class E>
std::optional<KeptEvent> keep_event(std::vector<std::uint8_t>& raw, const Params& params,
                                    const calibration::Corrections& corrections, parsing::EventRecord<E>& record) {
    if (!record.decode(parsing::RawBytes(raw), params)) return std::nullopt;
    E& event = record.get();
    if (corrections.pedestals && !corrections.pedestals->correct(event, corrections.params)) return std::nullopt;
    return KeptEvent{std::move(raw), event_channels(event), event_rows(event, params)};
}

// Decodes and corrects the fetched events of a batch of the first pass into
// its kept list; a fault takes the place of the event that raised it and
// ends the batch.
class BatchKeeper {
public:
    BatchKeeper() = default;
    BatchKeeper(const BatchKeeper&) = delete;
    BatchKeeper& operator=(const BatchKeeper&) = delete;
    virtual ~BatchKeeper() = default;
    virtual void keep(FetchBatch& b) const = 0;
};

template <class E>
class EventKeeper final : public BatchKeeper {
public:
    EventKeeper(const Params& params, const calibration::Corrections& corrections, const RowBatching& batching)
        : params_(params), corrections_(corrections), batching_(batching) {}

    void keep(FetchBatch& b) const override {
        b.kept.reserve(b.raw.size());
        parsing::EventRecord<E> record(batching_.fresh_records);
        for (auto& raw : b.raw) {
            if (stop_now(batching_)) break;  // the batch is never taken
            try {
                // The bytes the block keeps are copied into storage made
                // here and the fetched buffer is freed at once: the kept
                // bytes' pages are faulted in on this stage, on every
                // thread, and the fetch stage, one event at a time, gets
                // back memory that is already mapped.
                std::vector<std::uint8_t> bytes(raw.begin(), raw.end());
                std::vector<std::uint8_t>().swap(raw);
                b.kept.push_back(keep_event<E>(bytes, params_, corrections_, record));
            } catch (...) {
                b.kept.emplace_back();
                b.fault = std::current_exception();
                break;
            }
        }
        b.raw.clear();
    }

private:
    const Params& params_;
    const calibration::Corrections& corrections_;
    const RowBatching& batching_;
};

// The first pass from block[next] on, on `arena` (`threads` of them):
// fetches in block order, decoding and correcting by `keeper` on any thread,
// the results (and a fault in their place, raised here) appended to `kept`
// in block order.
void collect_on_pool(const acquisition::Acquisition& acq, std::span<const std::size_t> block, std::size_t next,
                     std::vector<KeptEvent>& kept, tbb::task_arena& arena, std::size_t threads,
                     const RowBatching& batching, const BatchKeeper& keeper);

// The rows of a block after its header: planned, formatted and written by
// `rows`, on the calling thread for a small block or a pool of one, on the
// pool otherwise; then the block's outcome.
Result<void, ExportError> write_rows(BlockRowsBase& rows, tbb::task_arena& arena, std::size_t threads,
                                     const RowBatching& batching);

}  // namespace detail

template <class E>
std::vector<KeptEvent> collect_block(const acquisition::Acquisition& acq, const Params& params,
                                     const calibration::Corrections& corrections,
                                     std::span<const std::size_t> block, const RowBatching& batching) {
    using detail::keep_event, detail::kPoolEventBytes, detail::stop_now;
    check_invariant(batching.arena != nullptr, "no arena to decode events on");
    tbb::task_arena& arena = *batching.arena;
    const auto threads = static_cast<std::size_t>(std::max(1, arena.max_concurrency()));
    std::vector<KeptEvent> kept;
    kept.reserve(block.size());
    // On the calling thread up to the first event that is fetched.  Small
    // events cost their fetch far more than their decoding, so their block
    // stays there; events of kPoolEventBytes and more go on to the pool.
    std::size_t next = 0;
    bool to_pool = false;
    while (next < block.size() && !to_pool) {
        if (stop_now(batching)) return kept;
        auto fetched = acq.get(block[next++]);
        if (!fetched) continue;
        const bool large = fetched->size() >= kPoolEventBytes;
        parsing::EventRecord<E> record(batching.fresh_records);
        if (auto k = keep_event<E>(*fetched, params, corrections, record)) kept.push_back(std::move(*k));
        to_pool = threads > 1 && (large || batching.force_pool);
    }
    if (!to_pool) {
        for (; next < block.size(); ++next) {
            if (stop_now(batching)) return kept;
            auto fetched = acq.get(block[next]);
            if (!fetched) continue;
            parsing::EventRecord<E> record(batching.fresh_records);
            if (auto k = keep_event<E>(*fetched, params, corrections, record)) kept.push_back(std::move(*k));
        }
        return kept;
    }
    const detail::EventKeeper<E> keeper(params, corrections, batching);
    detail::collect_on_pool(acq, block, next, kept, arena, threads, batching, keeper);
    return kept;
}

template <class E>
Result<void, ExportError> write_block(std::span<const KeptEvent> events, std::span<const std::size_t> chans,
                                      const Params& params, const calibration::Corrections& corrections,
                                      CsvWriter& writer, const RowBatching& batching) {
    VEXO_TRY(write_header(writer, std::span<const E>(), chans));
    check_invariant(batching.arena != nullptr, "no arena to format rows on");
    tbb::task_arena& arena = *batching.arena;
    const auto threads = static_cast<std::size_t>(std::max(1, arena.max_concurrency()));
    detail::BlockRows<E> rows(events, chans, params, corrections, writer, threads, batching.batch_text,
                              batching.fresh_records, batching.stop);
    return detail::write_rows(rows, arena, threads, batching);
}

// The instances for one record type; every record type has them (a few
// record types per csv_*.cpp, so that they compile side by side), so that
// tests and benchmarks can drive the block writer with events built in code.
#define VEXO_EXPORT_INSTANCES(E)                                                                           \
    template std::vector<std::size_t> channels<E>(std::span<const E>);                                  \
    template Result<void, ExportError> write_header<E>(CsvWriter&, std::span<const E>,                  \
                                                       std::span<const std::size_t>);                   \
    template Result<void, ExportError> write_event<E>(CsvWriter&, const Params&, const E&,              \
                                                      std::span<const std::size_t>, std::size_t);       \
    template Result<void, ExportError> export_csv<E>(std::span<const E>, CsvWriter&, const Params&);      \
    template std::vector<std::size_t> event_channels<E>(const E&);                                      \
    template std::size_t event_rows<E>(const E&, const Params&);                                        \
    template std::vector<KeptEvent> collect_block<E>(const acquisition::Acquisition&, const Params&,    \
                                                     const calibration::Corrections&,                   \
                                                     std::span<const std::size_t>, const RowBatching&); \
    template Result<void, ExportError> write_block<E>(std::span<const KeptEvent>,                       \
                                                      std::span<const std::size_t>, const Params&,      \
                                                      const calibration::Corrections&, CsvWriter&,      \
                                                      const RowBatching&);

}  // namespace vexoacq::export_::csv
