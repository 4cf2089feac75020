// The time-axis rule, and nothing else.  Every decoder but mervyv1's builds a
// record's `time` lists from its `window_labels` by this one rule: a
// channel's labels are measured around the ring of Params.windows from the
// channel's first label, and each label gives Params.samples consecutive
// positions, modulo 65536.  The namespace keeps the name `util` that the
// decoders' shared helpers once had in common; the word readers and the
// tuning-key lookup live in the frame (parsing/frame.hpp).
#pragma once

#include <cstdint>
#include <vector>

#include "parsing/block_kernels.hpp"
#include "parsing/frame.hpp"

namespace vexoacq::parsing::util {

// Appends to time[c], for each channel c < params.channels whose label list is
// not empty, (rel * S + s) mod 65536 for every label (rel = the label's distance
// after the channel's first label around a ring of params.windows) and every
// s < S = params.samples.  MissingData when channel c has no label list, or has
// labels but no time list.  `kernel` picks the inner loop (all give the same
// values).
Result<void, ParsingError> set_time_axis(std::vector<std::vector<std::uint16_t>>& time,
                                         const std::vector<std::vector<std::uint16_t>>& window_labels,
                                         const Params& params, runtime::cpu::Kernel kernel = runtime::cpu::best());

// The same rule for a record whose time lists are reused: every time list
// ends up exactly as if it had been emptied and the rule applied, but a list
// that already has the length it needs is overwritten in place rather than
// emptied and refilled.  One implementation serves both.
Result<void, ParsingError> replace_time_axis(std::vector<std::vector<std::uint16_t>>& time,
                                             const std::vector<std::vector<std::uint16_t>>& window_labels,
                                             const Params& params, runtime::cpu::Kernel kernel);

}  // namespace vexoacq::parsing::util
