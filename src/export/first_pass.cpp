// The pool half of the first pass, the same for every record type (which it
// reaches through BatchDecoder).
#include "export/first_pass.hpp"

#include <atomic>
#include <memory>

#include <oneapi/tbb/parallel_pipeline.h>

namespace vexoacq::export_::csv::detail {

void first_pass_on_pool(const acquisition::Acquisition& acq, std::span<const std::size_t> block, std::size_t next,
                        std::vector<FirstPassEvent>& events, tbb::task_arena& arena, std::size_t threads,
                        const BlockExecution& execution, const BatchDecoder& decoder) {
    // Fetches in block order; decoding and correcting on any thread; the
    // results, and a fault in its place, taken in block order.
    std::exception_ptr fault;
    std::atomic<bool> stop{false};
    arena.execute([&] {
        tbb::parallel_pipeline(
            threads * kFetchBatchesPerThread,
            tbb::make_filter<void, std::shared_ptr<FetchBatch>>(
                tbb::filter_mode::serial_in_order,
                [&](tbb::flow_control& fc) -> std::shared_ptr<FetchBatch> {
                    if (next == block.size() || stop.load(std::memory_order_acquire) || stop_now(execution)) {
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
                        decoder.decode(*b);
                        return b;
                    }) &
                tbb::make_filter<std::shared_ptr<FetchBatch>, void>(
                    tbb::filter_mode::serial_in_order, [&](std::shared_ptr<FetchBatch> b) {
                        if (stop.load(std::memory_order_acquire) || stop_now(execution)) return;
                        try {
                            for (auto& e : b->events)
                                if (e) events.push_back(std::move(*e));
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

}  // namespace vexoacq::export_::csv::detail
