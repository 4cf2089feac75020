// The second pass of a block: the records of the first pass's events, each
// decoded and corrected again and written by write_event, in batches that
// run on the pool when the block is large.
//
// The events are cut into batches: runs of (event, row range) segments of
// about `target_` bytes of text by an estimate of the row width, so that
// small events are formatted many to a batch.  An event is cut into several
// segments only when its own text would pass kSplitText (each segment
// decodes the event again and formats its own rows).  A batch is planned
// and handed to the writer by one thread at a time, in order; formatting
// runs on any thread.  The writer takes a batch's records with append_rows,
// which makes room for each record's bound (row_max) before it as
// write_event over the writer does, so the file is written out at the same
// records, and a failed write stops at the same byte, as on one thread.  A
// broken limit or a fault while a batch is formatted is stored in the batch,
// with the notices printed before it, and raised on the calling thread when
// the batch's turn comes; a write failure stops the planning of further
// batches.  The notices of a batch's events are printed as its records reach
// the writer, where one thread writing event after event prints them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include <oneapi/tbb/task_arena.h>

#include "export/block_writer.hpp"
#include "export/csv.hpp"
#include "export/decode_correct.hpp"
#include "export/execution.hpp"
#include "export/rows.hpp"
#include "parsing/reused_record.hpp"

namespace vexoacq::export_::csv {

namespace detail {

// Blocks of at least this much text (by the estimate) are formatted on the pool.
inline constexpr std::size_t kPoolBlockText = std::size_t{8} << 20;
// Text planned per batch: a share of the block, within these bounds.
inline constexpr std::size_t kMinBatchText = std::size_t{64} << 10;
inline constexpr std::size_t kMaxBatchText = std::size_t{4} << 20;
// An event whose text alone would pass this is cut into several segments.
inline constexpr std::size_t kSplitText = std::size_t{8} << 20;
// Batches in flight per pool thread.
inline constexpr std::size_t kBatchesPerThread = 2;

struct Segment {
    std::size_t event = 0;  // position among the block's events: the ordinal
    std::size_t first_row = 0;
    std::size_t last_row = 0;
    // Filled when the batch is formatted.
    std::size_t row_max = 0;
    std::size_t notices_begin = 0;
    std::size_t notices_end = 0;
    std::size_t rows_begin = 0;  // rows of the batch text
    std::size_t rows_end = 0;
};

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

struct Batch {
    std::vector<Segment> segments;
    RowText text;
    std::vector<std::size_t> notices;  // misplaced channels, segment after segment
    std::exception_ptr fault;          // raised after the notices of the last segment
};

// The records of one segment into its batch: the rows the segment was
// planned for, as text, and the event's notices held in the batch until it
// reaches the writer (only an event's first segment reports them, so that
// an event cut into several segments prints them once).
class SegmentRows {
public:
    SegmentRows(Batch& batch, Segment& segment, std::size_t planned_rows) noexcept
        : batch_(batch), segment_(segment), planned_rows_(planned_rows) {}

    RowRange begin_event(std::size_t rows, std::size_t row_max) {
        check_invariant(rows == planned_rows_, "event rows differ between the two passes");
        segment_.row_max = row_max;
        return {segment_.first_row, segment_.last_row};
    }
    char* begin_row(std::size_t row_max) { return batch_.text.begin_row(row_max); }
    void end_row(char* end) { batch_.text.end_row(end); }
    void bad_channel(std::size_t channel, std::size_t /*ordinal*/) {
        if (segment_.first_row == 0) batch_.notices.push_back(channel);
    }
    // The text grows for every row, so no row is ever refused.
    [[noreturn]] ExportError error() const { internal_fault("a batch refused a record"); }

private:
    Batch& batch_;
    Segment& segment_;
    std::size_t planned_rows_;
};

extern template bool format_rows<false, SegmentRows>(const EventLayout&, std::size_t, std::size_t, SegmentRows&);
extern template bool format_rows<true, SegmentRows>(const EventLayout&, std::size_t, std::size_t, SegmentRows&);

// What the second pass does for every record type: planning the batches,
// writing them out and the block's outcome.  format() is the record type's.
class BlockRowsBase {
public:
    BlockRowsBase(std::span<const FirstPassEvent> events, std::span<const std::size_t> chans, const Params& params,
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
        for (const FirstPassEvent& e : events) total = saturating_add(total, text_estimate(e.rows));
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
    // the block stops (a write failure or a fault, saved for finish()).
    bool emit(const Batch& b) noexcept {
        if (stopping()) return false;
        try {
            for (const Segment& s : b.segments) {
                for (std::size_t n = s.notices_begin; n < s.notices_end; ++n) print_bad_channel(b.notices[n], s.event);
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

    // The block's outcome once the batches have stopped: a fault, the first
    // write failure, or nothing (the buffered records are the caller's).
    Result<void, ExportError> finish() {
        if (fault_) std::rethrow_exception(fault_);
        if (error_) return Err{std::move(*error_)};
        return {};
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

    std::span<const FirstPassEvent> events_;
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
                SegmentRows out(b, s, events_[s.event].rows);
                (void)write_event(out, params_, event, chans_, s.event);
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
    // The event as the first pass had it: the same bytes decoded and
    // corrected the same way, with the same channels holding data.
    const E& decode_again(const FirstPassEvent& first, parsing::EventRecord<E>& record) const {
        auto again = decode_and_correct<E>(first.raw, params_, corrections_, record);
        check_invariant(again.ok() || again.error() != LeftOut::Decoding, "a collected event no longer decodes");
        check_invariant(again.ok(), "a collected event no longer corrects");
        const E& event = **again;
        std::size_t n = 0;
        for_each_data_channel(event, [&](std::size_t j) {
            check_invariant(n < first.channels.size() && first.channels[n] == j,
                            "channels with data differ between the two passes");
            ++n;
        });
        check_invariant(n == first.channels.size(), "channels with data differ between the two passes");
        return event;
    }
};

// The rows of a block after its header: planned, formatted and written by
// `rows`, on the calling thread for a small block or a pool of one, on the
// pool otherwise; then the block's outcome.
Result<void, ExportError> write_rows(BlockRowsBase& rows, tbb::task_arena& arena, std::size_t threads,
                                     const BlockExecution& execution);

template <class E>
Result<bool, ExportError> write_events(const FirstPassBlock<E>& events, CsvWriter& writer, const Params& params,
                                       std::span<const std::size_t> chans) {
    const BlockExecution& execution = events.execution;
    check_invariant(execution.arena != nullptr, "no arena to format rows on");
    tbb::task_arena& arena = *execution.arena;
    const auto threads = static_cast<std::size_t>(std::max(1, arena.max_concurrency()));
    BlockRows<E> rows(events.events, chans, params, events.corrections, writer, threads, execution.batch_text,
                      execution.fresh_records, execution.stop);
    VEXO_TRY(write_rows(rows, arena, threads, execution));
    return !rows.stopped();
}

}  // namespace detail

}  // namespace vexoacq::export_::csv
