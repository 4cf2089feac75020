// The inner loops of the channel-block decoders (ryk16, tolv96) and of the
// time axis, in a plain version and in AVX2 and AVX-512 versions chosen at
// run time by what the CPU offers (runtime/cpu.hpp; the AVX-512 version
// serves both AVX-512 levels).  Every version gives the same bits: the
// sample values are 16-bit integers, which a float holds exactly, and the
// time positions are 16-bit sums.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/cpu.hpp"

namespace vexoacq::parsing::kernels {

// dst[i] = (NOT w_i) AND mask as a float, for i < n, w_i being the
// little-endian word at src + 2i (any alignment).
void inverted_samples(runtime::cpu::Kernel k, const std::uint8_t* src, std::size_t n, std::uint16_t mask, float* dst) noexcept;

// The time positions of one channel: for each of the n_labels labels w,
// rel = w - first (w >= first) or w + windows - first (a label below the
// first lies one turn of the ring later), then (rel * samples + s) mod 65536
// for s < samples.  Writes n_labels * samples values to dst.
void time_axis(runtime::cpu::Kernel k, const std::uint16_t* labels, std::size_t n_labels, std::size_t windows,
               std::size_t samples, std::uint16_t* dst) noexcept;

}  // namespace vexoacq::parsing::kernels
