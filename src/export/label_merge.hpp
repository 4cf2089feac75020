// The merged window order of an event: the labels of the windows its
// channels recorded, in one sequence.  A channel whose readout ran past the
// end of the board's ring of windows lists its high labels before its low
// ones (510, 511, 0, 1), and channels need not have recorded the same
// windows; the event's table has one run of `samples` rows per entry of the
// merged order, and each channel's values start at its first label's entry.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vexoacq::export_::csv {

// Merged window order of one event's label lists (every channel's, empty
// ones included): every label occurs, no entry directly follows an equal one.
std::vector<std::uint16_t> merge_window_labels(std::span<const std::vector<std::uint16_t>> labels);

}  // namespace vexoacq::export_::csv
