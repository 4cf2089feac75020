// Which vector instructions this processor runs, probed once for the whole
// process.  Both families of hand-vectorised loops (the channel-block
// decoders and time axis in parsing/block_kernels, the ECC word check in
// ecc/check) choose their version from this one ladder.  Each level names
// the instructions it needs; a family that has no body for a level runs its
// body for the next level down (the decoders have none that needs GFNI, the
// ECC check none for plain AVX-512).
#pragma once

#include <cstdint>

namespace vexoacq::runtime::cpu {

enum class Kernel : std::uint8_t {
    Scalar,      // plain C++, every processor
    Avx2,        // AVX2
    Avx512,      // AVX-512 F and BW
    Avx512Gfni,  // AVX-512 F and BW, and GFNI
};

inline constexpr Kernel kAllKernels[] = {Kernel::Scalar, Kernel::Avx2, Kernel::Avx512, Kernel::Avx512Gfni};

// Whether this processor (and this build) can run `k`; Scalar always can.
bool available(Kernel k) noexcept;
// The highest available level, found once.
Kernel best() noexcept;
const char* name(Kernel k) noexcept;

}  // namespace vexoacq::runtime::cpu
