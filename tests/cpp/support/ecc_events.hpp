// Whole-event forms of the ECC check for the tests and the fuzz entries:
// one joined list of findings instead of per-channel lists, on the process's
// pool (the binding's entry) or on a given arena, kernel and schedule,
// channel after channel on the calling thread, and a corrected copy.  The
// library itself hands the per-channel lists of check_channels straight on
// (the binding makes its Python list from them).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <oneapi/tbb/task_arena.h>

#include "ecc/check.hpp"
#include "ecc/check_arena.hpp"
#include "runtime/cpu.hpp"

namespace vexoacq::testing::ecc_events {

using ecc::check::EccEntry;

// All entries, by channel and then by offset.
inline std::vector<EccEntry> joined(const ecc::check::ChannelFindings& findings) {
    std::vector<EccEntry> all;
    all.reserve(findings.total());
    for (const std::span<const EccEntry> l : findings) all.insert(all.end(), l.begin(), l.end());
    return all;
}

// check_channels on a given arena, kernel and schedule, joined.
inline std::vector<EccEntry> check_event(std::span<const std::uint8_t> raw, tbb::task_arena& arena,
                                         runtime::cpu::Kernel kernel, const ecc::check::Schedule& schedule = {}) {
    return joined(ecc::check::check_channels(raw, arena, kernel, schedule));
}

// The same on the process's worker pool with the best kernel, through the
// entry the binding calls.
inline std::vector<EccEntry> check_event(std::span<const std::uint8_t> raw) {
    return joined(ecc::check::check_channels(raw, runtime::cpu::best()));
}

// The channels one after the other on the calling thread, into one list.
inline std::vector<EccEntry> check_event_serial(std::span<const std::uint8_t> raw, runtime::cpu::Kernel kernel) {
    const std::size_t channels = ecc::check::chip_count(raw.size()) * ecc::check::kChannelsPerChip;
    std::vector<EccEntry> all;
    for (std::size_t ch = 0; ch < channels; ++ch) ecc::check::check_channel(raw, ch, kernel, all);
    return all;
}

// A corrected copy of `raw`, as ecc_correct makes it.
inline std::vector<std::uint8_t> correct_event(std::span<const std::uint8_t> raw) {
    std::vector<std::uint8_t> buffer(raw.begin(), raw.end());
    ecc::check::apply_corrections(buffer, ecc::check::check_channels(buffer, runtime::cpu::best()));
    return buffer;
}

}  // namespace vexoacq::testing::ecc_events
