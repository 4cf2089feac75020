// How the passes of a block run: on which worker arena, in what batches,
// into which decode records, and with which stop check.
//
// Where Python code can run during an export.  The export itself never
// touches a Python object; the only way back into the interpreter is the
// stop hook (StopCheck, driver.hpp), which the binding sets to take the
// interpreter lock and run the pending signal handlers, that is, any Python
// code.  The hook is called only by StopCheck::poll on the thread that
// started the export, at these polls:
//  - the driver: before each block;
//  - the first pass (first_pass.hpp): before each event collected on the
//    calling thread; on the pool, in the fetch stage before each batch, in
//    the decode stage before each event and in the take stage before each
//    batch;
//  - the second pass (second_pass.hpp): before each batch is planned, before
//    each segment is formatted and before a formatted batch is written.
// The pool's stages may run on the calling thread too (it joins the arena
// while it waits), so a poll in a parallel stage can run the hook there: in
// the middle of a batch, with that thread's reused decode record out.  A
// nested export started by a signal handler then decodes into records of its
// own (parsing/reused_record.hpp), and it shares no other state with the
// export it interrupted.  Polls on the pool's other threads only read
// whether the hook has said stop.
#pragma once

#include <cstddef>

#include <oneapi/tbb/task_arena.h>

#include "export/driver.hpp"

namespace vexoacq::export_::csv {

// Where a block's events are decoded and its rows formatted: on `arena` when
// it has more than one thread and the block is large enough to gain from it
// (events of 32 KiB and more are decoded there, blocks of 8 MiB of text and
// more formatted there), on the calling thread alone otherwise.
// `batch_text` is the text planned per batch of rows; 0 derives it from the
// block and the thread count.  Tests set it small, and set `force_pool`, to
// run small blocks through the pool in many batches.  Events are decoded
// into the decoding thread's reused record where the family allows it;
// `fresh_records` decodes every event into a new record instead (the
// benchmark's comparison).  `stop`, when set, is polled as the block is
// collected and written.
struct BlockExecution {
    tbb::task_arena* arena = nullptr;
    std::size_t batch_text = 0;
    bool force_pool = false;
    bool fresh_records = false;
    StopCheck* stop = nullptr;
};

// Whether the export is to stop now (polls the hook when one is due).
inline bool stop_now(const BlockExecution& execution) {
    return execution.stop != nullptr && execution.stop->poll();
}

// Whether the hook has said stop (no poll).
inline bool stopped(const BlockExecution& execution) noexcept {
    return execution.stop != nullptr && execution.stop->stopped();
}

}  // namespace vexoacq::export_::csv
