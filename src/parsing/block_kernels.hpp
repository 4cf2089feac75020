// The inner loops of the channel-block decoders (ryk16, tolv96) and of the
// time axis, in a plain version and in AVX2 and AVX-512 versions chosen at
// run time by what the CPU offers.  Every version gives the same bits: the
// sample values are 16-bit integers, which a float holds exactly, and the
// time positions are 16-bit sums.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexoacq::parsing::kernels {

enum class Kernel { Scalar, Avx2, Avx512 };

inline constexpr Kernel kAllKernels[] = {Kernel::Scalar, Kernel::Avx2, Kernel::Avx512};

// Whether this CPU (and this build) can run `k`; Scalar always can.
bool available(Kernel k) noexcept;
// The widest available kernel, found once.
Kernel best() noexcept;
const char* name(Kernel k) noexcept;

// dst[i] = (NOT w_i) AND mask as a float, for i < n, w_i being the
// little-endian word at src + 2i (any alignment).
void inverted_samples(Kernel k, const std::uint8_t* src, std::size_t n, std::uint16_t mask, float* dst) noexcept;

// The time positions of one channel: for each of the n_labels labels w,
// rel = w - first (w >= first) or w + windows - first (a label below the
// first lies one turn of the ring later), then (rel * samples + s) mod 65536
// for s < samples.  Writes n_labels * samples values to dst.
void time_axis(Kernel k, const std::uint16_t* labels, std::size_t n_labels, std::size_t windows,
               std::size_t samples, std::uint16_t* dst) noexcept;

}  // namespace vexoacq::parsing::kernels
