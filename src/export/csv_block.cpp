// The pool halves of a block's two passes and the row formatting loop: the
// same code for every record type, which reaches it through BatchKeeper and
// BlockRowsBase::format.
#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include <oneapi/tbb/parallel_pipeline.h>

#include "export/csv_impl.hpp"

namespace vexoacq::export_::csv::detail {

template bool format_rows<false, RowText>(const EventLayout&, std::size_t, std::size_t, RowText&);
template bool format_rows<true, RowText>(const EventLayout&, std::size_t, std::size_t, RowText&);
template bool format_rows<false, WriterRows>(const EventLayout&, std::size_t, std::size_t, WriterRows&);
template bool format_rows<true, WriterRows>(const EventLayout&, std::size_t, std::size_t, WriterRows&);

namespace {

// Batches handed out to the pipeline's tokens; kept for reuse so that their
// text buffers keep their capacity.
class BatchPool {
public:
    Batch* take() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (free_.empty()) {
            all_.push_back(std::make_unique<Batch>());
            return all_.back().get();
        }
        Batch* b = free_.back();
        free_.pop_back();
        return b;
    }
    void give(Batch* b) {
        std::lock_guard<std::mutex> lock(mutex_);
        free_.push_back(b);
    }

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<Batch>> all_;
    std::vector<Batch*> free_;
};

}  // namespace

void collect_on_pool(const acquisition::Acquisition& acq, std::span<const std::size_t> block, std::size_t next,
                     std::vector<KeptEvent>& kept, tbb::task_arena& arena, std::size_t threads,
                     const RowBatching& batching, const BatchKeeper& keeper) {
    // Fetches in block order; decoding and correcting on any thread; the
    // results, and a fault in its place, taken in block order.
    std::exception_ptr fault;
    std::atomic<bool> stop{false};
    arena.execute([&] {
        tbb::parallel_pipeline(
            threads * kBatchesPerThread,
            tbb::make_filter<void, std::shared_ptr<FetchBatch>>(
                tbb::filter_mode::serial_in_order,
                [&](tbb::flow_control& fc) -> std::shared_ptr<FetchBatch> {
                    if (next == block.size() || stop.load(std::memory_order_acquire) || stop_now(batching)) {
                        fc.stop();
                        return nullptr;
                    }
                    auto b = std::make_shared<FetchBatch>();
                    std::size_t bytes = 0;
                    while (next < block.size() && bytes < kFetchBatchBytes && b->raw.size() < kFetchBatchEvents) {
                        auto fetched = acq.get(block[next++]);
                        if (!fetched) continue;
                        bytes += fetched->size();
                        b->raw.push_back(std::move(*fetched));
                    }
                    return b;
                }) &
                tbb::make_filter<std::shared_ptr<FetchBatch>, std::shared_ptr<FetchBatch>>(
                    tbb::filter_mode::parallel,
                    [&](std::shared_ptr<FetchBatch> b) {
                        if (stop.load(std::memory_order_acquire)) return b;
                        keeper.keep(*b);
                        return b;
                    }) &
                tbb::make_filter<std::shared_ptr<FetchBatch>, void>(
                    tbb::filter_mode::serial_in_order, [&](std::shared_ptr<FetchBatch> b) {
                        if (stop.load(std::memory_order_acquire) || stop_now(batching)) return;
                        try {
                            for (auto& k : b->kept)
                                if (k) kept.push_back(std::move(*k));
                        } catch (...) {
                            b->fault = std::current_exception();
                        }
                        if (b->fault) {
                            fault = b->fault;
                            stop.store(true, std::memory_order_release);
                        }
                    }));
    });
    if (fault) std::rethrow_exception(fault);
}

Result<void, ExportError> write_rows(BlockRowsBase& rows, tbb::task_arena& arena, std::size_t threads,
                                     const RowBatching& batching) {
    // A block of little text is formatted faster than the pool wakes up.
    if (threads == 1 || (rows.text_total() < kPoolBlockText && !batching.force_pool)) {
        Batch b;
        while (!rows.stopping() && rows.plan(b)) {
            rows.format(b);
            if (!rows.emit(b)) break;
        }
        return rows.finish();
    }
    BatchPool batches;
    std::atomic<bool> stop{false};
    arena.execute([&] {
        tbb::parallel_pipeline(
            threads * kBatchesPerThread,
            tbb::make_filter<void, Batch*>(tbb::filter_mode::serial_in_order,
                                           [&](tbb::flow_control& fc) -> Batch* {
                                               if (stop.load(std::memory_order_acquire) || rows.stopping()) {
                                                   fc.stop();
                                                   return nullptr;
                                               }
                                               Batch* b = batches.take();
                                               if (!rows.plan(*b)) {
                                                   batches.give(b);
                                                   fc.stop();
                                                   return nullptr;
                                               }
                                               return b;
                                           }) &
                tbb::make_filter<Batch*, Batch*>(tbb::filter_mode::parallel,
                                                 [&](Batch* b) {
                                                     if (!stop.load(std::memory_order_acquire)) rows.format(*b);
                                                     return b;
                                                 }) &
                tbb::make_filter<Batch*, void>(tbb::filter_mode::serial_in_order, [&](Batch* b) {
                    if (!stop.load(std::memory_order_acquire) && !rows.emit(*b))
                        stop.store(true, std::memory_order_release);
                    batches.give(b);
                }));
    });
    return rows.finish();
}

}  // namespace vexoacq::export_::csv::detail
