// The length table of the zelk-style formats (brindlexv3, zelkv3s), listed
// whole: the oracle that the decoders' direct candidate search is checked
// against.  The decoders never list an entry (it can hold up to
// (windows − 1) × channels pairs); the tests do, for small geometries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "parsing/zelk_common.hpp"

namespace vexoacq::testing {

// Every (M, W) with 1 ≤ M ≤ channels, 1 ≤ W ≤ windows − 1 and
// 2 × (W × (M × block + extra) + fixed) ≡ byte_length (mod 2^64), ordered by
// M largest first and, for equal M, by W ascending (the order in which a
// table built W-major, M-minor and stably sorted by descending M holds them).
// Each M is solved for its W, so a wrapping geometry costs one step per M.
inline std::vector<parsing::detail::ChanWinds> length_candidates(std::size_t channels, std::size_t windows,
                                                                 std::size_t block, std::size_t extra,
                                                                 std::size_t fixed, std::size_t byte_length) {
    using namespace parsing::detail;
    std::vector<ChanWinds> out;
    if (windows < 2 || channels == 0 || byte_length % 2 != 0) return out;
    const std::uint64_t max_w = windows - 1;
    const std::uint64_t q = reduced_length(byte_length, fixed);
    for (std::size_t m = channels; m >= 1; --m) {
        const WindowSolutions sol = solve_windows(m * block + extra, q);
        for (std::uint64_t w = sol.first; w <= max_w; w += sol.step) {
            out.emplace_back(m, w);
            if (max_w - w < sol.step) break;
        }
    }
    return out;
}

}  // namespace vexoacq::testing
