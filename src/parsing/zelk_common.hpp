// Pieces shared by the zelk-style decoders (zelkv3/quopv2, brindlexv3,
// zelkv3s): the channel-count inference from an event's byte length, and the
// masked sample loop.
//
// brindlexv3 and zelkv3s events do not say how many channels or windows they
// hold.  Both formats give an event of M channels and W windows the byte
// length 2 × (W × g(M) + fixed) in wrapping 64-bit arithmetic, with
// g(M) = M × block + extra (the words of one window chunk), for M in
// 1..channels and W in 1..windows−1.  The decoders look up which (M, W) pairs
// give the event's length.  Rather than materialising the whole table of
// (windows−1) × channels lengths per event, each M is solved for W directly:
// the lookup is a linear congruence modulo 2^63, which gives exactly the
// pairs the table would hold, wrap-arounds included, in the table's order.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vexoacq::parsing::detail {

static_assert(sizeof(std::size_t) == 8, "length arithmetic assumes 64-bit machine words");

// (M channels, W windows).
using ChanWinds = std::pair<std::size_t, std::size_t>;

// Inverse of an odd number modulo 2^64 (Newton iteration, 5 steps from 3 bits).
constexpr std::uint64_t inverse_odd(std::uint64_t a) noexcept {
    std::uint64_t x = a;
    for (int i = 0; i < 5; ++i) x *= 2 - a * x;
    return x;
}

// Every (M, W) with 1 ≤ M ≤ channels, 1 ≤ W ≤ windows − 1 and
// 2 × (W × (M × block + extra) + fixed) ≡ byte_length (mod 2^64), ordered by
// M largest first and, for equal M, by W ascending (the order in which a
// table built W-major, M-minor and stably sorted by descending M holds them).
inline std::vector<ChanWinds> length_candidates(std::size_t channels, std::size_t windows, std::size_t block,
                                                std::size_t extra, std::size_t fixed,
                                                std::size_t byte_length) {
    std::vector<ChanWinds> out;
    if (windows < 2 || channels == 0 || byte_length % 2 != 0) return out;
    const std::size_t max_w = windows - 1;
    constexpr std::uint64_t mask63 = (std::uint64_t{1} << 63) - 1;
    // 2x ≡ L (mod 2^64)  ⇔  x ≡ L/2 (mod 2^63) for even L.
    const std::uint64_t q = (byte_length / 2 - fixed) & mask63;
    for (std::size_t m = channels; m >= 1; --m) {
        const std::uint64_t g = (m * block + extra) & mask63;
        std::uint64_t w = 0;
        std::uint64_t step = 0;
        if (g == 0) {
            if (q != 0) continue;
            w = 1;
            step = 1;
        } else {
            // W × g ≡ q (mod 2^63): solvable iff 2^tz divides q, and then W is
            // unique modulo 2^(63 − tz).
            const int tz = std::countr_zero(g);
            if ((q & ((std::uint64_t{1} << tz) - 1)) != 0) continue;
            step = std::uint64_t{1} << (63 - tz);
            w = ((q >> tz) * inverse_odd(g >> tz)) & (step - 1);
            if (w == 0) w = step;
        }
        while (w <= max_w) {
            out.emplace_back(m, w);
            if (max_w - w < step) break;
            w += step;
        }
    }
    return out;
}

// Writes `count` samples read from the big-endian words at `p`, each
// (word AND mask) >> shift, converted exactly to float.
inline void decode_samples(float* dst, const std::uint8_t* p, std::size_t count, std::uint16_t mask,
                           unsigned shift) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const auto word = static_cast<unsigned>((p[2 * i] << 8) | p[2 * i + 1]);
        dst[i] = static_cast<float>((word & mask) >> shift);
    }
}

inline void append_samples(std::vector<float>& out, const std::uint8_t* p, std::size_t count, std::uint16_t mask,
                           unsigned shift) {
    const std::size_t pos = out.size();
    out.resize(pos + count);
    decode_samples(out.data() + pos, p, count, mask, shift);
}

}  // namespace vexoacq::parsing::detail
