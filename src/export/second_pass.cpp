// The pool half of the second pass, the same for every record type (which it
// reaches through BlockRowsBase::format).
#include "export/second_pass.hpp"

#include <atomic>
#include <mutex>

#include <oneapi/tbb/parallel_pipeline.h>

namespace vexoacq::export_::csv::detail {

template bool format_rows<false, SegmentRows>(const EventLayout&, std::size_t, std::size_t, SegmentRows&);
template bool format_rows<true, SegmentRows>(const EventLayout&, std::size_t, std::size_t, SegmentRows&);

namespace {

// Batches handed out to the pipeline's tokens; stored for reuse so that their
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

Result<void, ExportError> write_rows(BlockRowsBase& rows, tbb::task_arena& arena, std::size_t threads,
                                     const BlockExecution& execution) {
    // A block of little text is formatted faster than the pool wakes up.
    if (threads == 1 || (rows.text_total() < kPoolBlockText && !execution.force_pool)) {
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
