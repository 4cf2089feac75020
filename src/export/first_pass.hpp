// The first pass of a block: fetch, decode and correct each event in block
// order, and retain of the events that pass what the header and the second
// pass need (FirstPassEvent).  Small events are decoded on the calling
// thread; a block of large ones goes on to the pool, where the fetches stay
// in block order and the decoding runs on any thread.  Only the export's own
// sources include this header.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "export/block_writer.hpp"
#include "export/csv.hpp"
#include "export/decode_correct.hpp"
#include "export/execution.hpp"
#include "parsing/reused_record.hpp"

namespace vexoacq::export_::csv {

namespace detail {

// Events at least this large are decoded on the pool.
inline constexpr std::size_t kPoolEventBytes = std::size_t{32} << 10;
// Fetch batches in flight per pool thread.
inline constexpr std::size_t kFetchBatchesPerThread = 2;

// Fetched events handed on per batch of the first pass.
inline constexpr std::size_t kFetchBatchBytes = std::size_t{256} << 10;
inline constexpr std::size_t kFetchBatchEvents = 256;

struct FetchBatch {
    std::vector<std::vector<std::uint8_t>> raw;
    std::vector<std::optional<FirstPassEvent>> events;  // one per raw event: nullopt when it was left out
    std::exception_ptr fault;  // raised in place of events[events.size() - 1]
};

// One fetched event decoded and corrected, as the second pass will need it;
// nullopt when a step leaves it out.  Takes the bytes over when it retains them.
template <class E>
std::optional<FirstPassEvent> first_pass_event(std::vector<std::uint8_t>& raw, const Params& params,
                                               const calibration::Corrections& corrections,
                                               parsing::EventRecord<E>& record) {
    auto event = decode_and_correct<E>(raw, params, corrections, record);
    if (!event) return std::nullopt;
    return FirstPassEvent{std::move(raw), event_channels(**event), event_rows(**event, params)};
}

// Decodes and corrects the fetched events of a batch of the first pass into
// its events; a fault takes the place of the event that raised it and ends
// the batch.
class BatchDecoder {
public:
    BatchDecoder() = default;
    BatchDecoder(const BatchDecoder&) = delete;
    BatchDecoder& operator=(const BatchDecoder&) = delete;
    virtual ~BatchDecoder() = default;
    virtual void decode(FetchBatch& b) const = 0;
};

template <class E>
class EventDecoder final : public BatchDecoder {
public:
    EventDecoder(const Params& params, const calibration::Corrections& corrections, const BlockExecution& execution)
        : params_(params), corrections_(corrections), execution_(execution) {}

    void decode(FetchBatch& b) const override {
        b.events.reserve(b.raw.size());
        parsing::EventRecord<E> record(execution_.fresh_records);
        for (auto& raw : b.raw) {
            if (stop_now(execution_)) break;  // the batch is never taken
            try {
                // The bytes the block holds on to are copied into storage
                // made here and the fetched buffer is freed at once: their
                // pages are faulted in on this stage, on every thread, and
                // the fetch stage, one event at a time, gets back memory
                // that is already mapped.
                std::vector<std::uint8_t> bytes(raw.begin(), raw.end());
                std::vector<std::uint8_t>().swap(raw);
                b.events.push_back(first_pass_event<E>(bytes, params_, corrections_, record));
            } catch (...) {
                b.events.emplace_back();
                b.fault = std::current_exception();
                break;
            }
        }
        b.raw.clear();
    }

private:
    const Params& params_;
    const calibration::Corrections& corrections_;
    const BlockExecution& execution_;
};

// The first pass from block[next] on, on `arena` (`threads` of them):
// fetches in block order, decoding and correcting by `decoder` on any
// thread, the results (and a fault in their place, raised here) appended to
// `events` in block order.
void first_pass_on_pool(const acquisition::Acquisition& acq, std::span<const std::size_t> block, std::size_t next,
                        std::vector<FirstPassEvent>& events, tbb::task_arena& arena, std::size_t threads,
                        const BlockExecution& execution, const BatchDecoder& decoder);

}  // namespace detail

template <class E>
std::vector<FirstPassEvent> first_pass(const acquisition::Acquisition& acq, const Params& params,
                                       const calibration::Corrections& corrections,
                                       std::span<const std::size_t> block, const BlockExecution& execution) {
    using detail::first_pass_event, detail::kPoolEventBytes;
    check_invariant(execution.arena != nullptr, "no arena to decode events on");
    tbb::task_arena& arena = *execution.arena;
    const auto threads = static_cast<std::size_t>(std::max(1, arena.max_concurrency()));
    std::vector<FirstPassEvent> events;
    events.reserve(block.size());
    // On the calling thread up to the first event that is fetched.  Small
    // events cost their fetch far more than their decoding, so their block
    // stays there; events of kPoolEventBytes and more go on to the pool.
    std::size_t next = 0;
    bool to_pool = false;
    while (next < block.size() && !to_pool) {
        if (stop_now(execution)) return events;
        auto fetched = acq.get(block[next++]);
        if (!fetched) continue;
        const bool large = fetched->size() >= kPoolEventBytes;
        parsing::EventRecord<E> record(execution.fresh_records);
        if (auto e = first_pass_event<E>(*fetched, params, corrections, record)) events.push_back(std::move(*e));
        to_pool = threads > 1 && (large || execution.force_pool);
    }
    if (!to_pool) {
        for (; next < block.size(); ++next) {
            if (stop_now(execution)) return events;
            auto fetched = acq.get(block[next]);
            if (!fetched) continue;
            parsing::EventRecord<E> record(execution.fresh_records);
            if (auto e = first_pass_event<E>(*fetched, params, corrections, record)) events.push_back(std::move(*e));
        }
        return events;
    }
    const detail::EventDecoder<E> decoder(params, corrections, execution);
    detail::first_pass_on_pool(acq, block, next, events, arena, threads, execution, decoder);
    return events;
}

}  // namespace vexoacq::export_::csv
