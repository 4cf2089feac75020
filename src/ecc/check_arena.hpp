// The ECC check of check.hpp on a oneTBB arena of the caller's choosing,
// and when it wakes helpers there.  The tests and the benchmarks use it to
// run the check on arenas of their own size; the binding uses check.hpp's
// form, on the process's pool, and so never sees oneTBB.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

#include <oneapi/tbb/task_arena.h>

#include "ecc/check.hpp"

namespace vexoacq::ecc::check {

// When the calling thread wakes helpers on the pool.
struct Schedule {
    // The caller checks channels alone until the work still unclaimed,
    // projected from the channels done so far, is more than this; it then
    // wakes one pool thread, which wakes the others while the work left is
    // still worth it.  Waking sleeping pool threads costs the waker some 30
    // to 100 microseconds, and the first of them starts some 20 to 100 later
    // (more on a loaded machine).
    std::chrono::nanoseconds wake_above{std::chrono::microseconds(100)};
    // Tests only: wake the helpers before the first channel and leave every
    // channel to them, so that each one is checked on a pool thread.  The
    // caller then waits for threads that may still be asleep; an arena
    // without workers ignores it.
    bool helpers_only = false;
};

// The check of every channel of `raw`, started on the calling thread, with
// helpers from `arena` as `schedule` says.  Input outside the limits of
// check.hpp ends the call with an internal fault, also when a pool thread
// meets it (the fault of the lowest channel is rethrown on the calling
// thread, after every channel that was started has ended); the arena stays
// usable.  The call never waits for a pool thread that has not yet started:
// a helper that wakes after the last channel was taken finds nothing to do.
// Once the call has returned no pool thread uses `arena` any more, so the
// caller may destroy it then; helpers still queued there run later, on the
// call's shared state alone.
ChannelFindings check_channels(std::span<const std::uint8_t> raw, tbb::task_arena& arena, Kernel kernel,
                               const Schedule& schedule = {});

}  // namespace vexoacq::ecc::check
