// Pieces shared by the zelk-style decoders (zelkv3/quopv2, brindlexv3,
// zelkv3s): the channel-count inference from an event's byte length, the
// masked sample loop and the walk over window chunks of channel blocks.
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

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "parsing/frame.hpp"

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

// The W (1 <= W <= max_w) with 2 × (W × g + fixed) ≡ byte_length (mod 2^64)
// for one g = M × block + extra: first, first + step, ... up to max_w; none
// when first > max_w.
struct WindowSolutions {
    std::uint64_t first = 0;
    std::uint64_t step = 1;
    std::uint64_t count(std::uint64_t max_w) const noexcept {
        return first > max_w ? 0 : 1 + (max_w - first) / step;
    }
};

inline WindowSolutions solve_windows(std::uint64_t g, std::uint64_t q) noexcept {
    constexpr std::uint64_t mask63 = (std::uint64_t{1} << 63) - 1;
    constexpr std::uint64_t none = ~std::uint64_t{0};
    g &= mask63;
    if (g == 0) return q == 0 ? WindowSolutions{1, 1} : WindowSolutions{none, 1};
    // W × g ≡ q (mod 2^63): solvable iff 2^tz divides q, and then W is unique
    // modulo 2^(63 − tz).
    const int tz = std::countr_zero(g);
    if ((q & ((std::uint64_t{1} << tz) - 1)) != 0) return {none, 1};
    const std::uint64_t step = std::uint64_t{1} << (63 - tz);
    const std::uint64_t w = ((q >> tz) * inverse_odd(g >> tz)) & (step - 1);
    return {w == 0 ? step : w, step};
}

// 2x ≡ L (mod 2^64)  ⇔  x ≡ L/2 (mod 2^63) for even L; odd L has no solution.
inline std::uint64_t reduced_length(std::size_t byte_length, std::size_t fixed) noexcept {
    return (byte_length / 2 - fixed) & ((std::uint64_t{1} << 63) - 1);
}

// The (M, W) pairs of a length-table entry, visited in table order (M
// largest first; for one M its W ascending) as (M, first W, number of W):
// visit(m, first, count) returns false to stop.  Only M that have at least
// one W are visited.
//
// g(M) = (M × block + extra) mod 2^63, and W solves W × g(M) ≡ q (mod 2^63).
// With a = block mod 2^63 and b = extra mod 2^63, let G(M) = M × a + b as an
// exact number.  Whenever max_w × G(M) < 2^63, every W × g(M) with
// W <= max_w lies in [0, 2^63) as q does, so the congruence holds only as the
// equation W × G(M) = q: M has a W exactly when G(M) divides q, and then one
// W, q / G(M), which is <= max_w exactly when G(M) >= ceil(q / max_w).  G
// grows with M (a > 0), so the M with max_w × G(M) < 2^63 are 1 .. m_safe,
// and of those only m_lo .. m_hi can hold a divisor of q between
// ceil(q / max_w) and q.  That range is walked by M, or by its W (distinct
// W give distinct divisors, ascending W is descending M), whichever is
// shorter.  For a length that the event's bytes can hold q is below half the
// byte length, so the walk is bounded by the event, not by `channels`; an
// event shorter than its fixed words makes q wrap to just below 2^63, and
// then G lies between q / max_w and 2^63 / max_w, a range of a few steps by
// M or by W.  Only
// the M above m_safe, whose lengths wrap around the machine word (max_w ×
// (M × block + extra) reaches 2^63), are solved one by one as before.
// a = 0 (g does not depend on M) is the caller's case.
template <class Visit>
void visit_candidates(std::size_t channels, std::uint64_t max_w, std::uint64_t a, std::uint64_t b, std::uint64_t q,
                      std::size_t block, std::size_t extra, Visit visit) {
    const std::uint64_t limit = ((std::uint64_t{1} << 63) - 1) / max_w;  // G <= limit <=> max_w × G < 2^63
    const std::size_t m_safe =
        b > limit ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(channels, (limit - b) / a));
    for (std::size_t m = channels; m > m_safe; --m) {
        const WindowSolutions sol = solve_windows(m * block + extra, q);
        const std::uint64_t c = sol.count(max_w);
        if (c != 0 && !visit(m, sol.first, c)) return;
    }
    // From here G(M) <= limit < 2^63, a >= 1 and G(M) >= 1: q = 0 has no W.
    if (m_safe == 0 || q < a + b) return;  // a, b < 2^63: no wrap
    const std::uint64_t m_hi = std::min<std::uint64_t>(m_safe, (q - b) / a);
    const std::uint64_t g_min = q / max_w + (q % max_w != 0);  // ceil(q / max_w) >= 1
    const std::uint64_t m_lo = g_min <= b ? 1 : std::max<std::uint64_t>(1, (g_min - b + a - 1) / a);
    if (m_lo > m_hi) return;
    const std::uint64_t g_hi = m_hi * a + b, g_lo = m_lo * a + b;
    const std::uint64_t w_lo = q / g_hi + (q % g_hi != 0), w_hi = q / g_lo;
    if (w_lo > w_hi) return;
    if (m_hi - m_lo <= w_hi - w_lo) {
        for (std::uint64_t m = m_hi;; --m) {
            const std::uint64_t g = m * a + b;
            if (q % g == 0 && !visit(m, q / g, 1)) return;
            if (m == m_lo) return;
        }
    }
    for (std::uint64_t w = w_lo; w <= w_hi; ++w) {
        if (q % w != 0) continue;
        const std::uint64_t g = q / w;
        if (g < b || (g - b) % a != 0) continue;
        const std::uint64_t m = (g - b) / a;
        if (m >= m_lo && m <= m_hi && !visit(m, w, 1)) return;
    }
}

// The candidate that an event's byte length selects from its length-table
// entry: the only one, without a test; of several, none when the length is
// below `min_length`, else the first in table order whose first window chunk
// fits, that is byte_length >= 2 × (fit_words + M × block) in wrapping
// arithmetic.  Equal to walking the whole entry in table order, but never
// lists it (it can hold up to (windows − 1) × channels pairs) and, through
// visit_candidates, never walks the channel counts whose lengths exceed the
// event.
inline std::optional<ChanWinds> choose_candidate(std::size_t channels, std::size_t windows, std::size_t block,
                                                 std::size_t extra, std::size_t fixed, std::size_t byte_length,
                                                 std::size_t min_length, std::size_t fit_words) {
    if (windows < 2 || channels == 0 || byte_length % 2 != 0) return std::nullopt;
    constexpr std::uint64_t mask63 = (std::uint64_t{1} << 63) - 1;
    const std::uint64_t max_w = windows - 1;
    const std::uint64_t q = reduced_length(byte_length, fixed);
    const auto fits = [&](std::size_t m) { return byte_length >= 2 * (fit_words + m * block); };
    const std::uint64_t a = block & mask63;
    if (a == 0) {
        // Every M has the same g and, since M × block is 0 or M × 2^63, the
        // same fit test: the entry is channels × count pairs, M = channels
        // first.
        const WindowSolutions sol = solve_windows(extra, q);
        const std::uint64_t c = sol.count(max_w);
        if (c == 0) return std::nullopt;
        if (c == 1 && channels == 1) return ChanWinds{1, sol.first};
        if (byte_length < min_length || !fits(channels)) return std::nullopt;
        return ChanWinds{channels, sol.first};
    }
    const std::uint64_t b = extra & mask63;
    std::uint64_t total = 0;
    std::optional<ChanWinds> only;
    visit_candidates(channels, max_w, a, b, q, block, extra, [&](std::size_t m, std::uint64_t first, std::uint64_t c) {
        if (total == 0) only = ChanWinds{m, first};
        total += c;
        return total < 2;
    });
    if (total <= 1) return only;
    if (byte_length < min_length) return std::nullopt;
    std::optional<ChanWinds> chosen;
    visit_candidates(channels, max_w, a, b, q, block, extra, [&](std::size_t m, std::uint64_t first, std::uint64_t) {
        if (fits(m)) chosen = ChanWinds{m, first};
        return !chosen;
    });
    return chosen;
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

// The fields of a channel block: word 0 the header (channel number and
// window label), then block - 1 sample words.
struct BlockFields {
    std::uint16_t chanmask = 0;
    unsigned chan_shift = 0;  // already reduced modulo 16
    std::uint16_t windmask = 0;
    std::uint16_t datamask = 0;
    unsigned last_bits = 0;  // already reduced modulo 16; shifts labels and samples

    std::size_t channel(std::uint16_t header) const noexcept {
        return static_cast<std::size_t>((header & chanmask) >> chan_shift);
    }
};

// Decodes `chunks` window chunks of `chunk` words from `body` (the caller
// guarantees chunks × chunk words there, and block <= chunk and block != 0
// when chunks > 0): in each chunk the whole blocks of `block` words from its
// start, each appended to the channel its header names, window after window;
// a channel of ev.channel_slots() or more ends the walk with false.
// after_chunk(start) is called with each chunk's first word index once its
// blocks are read.  The lists of the channels that the first chunk names are
// reserved for every chunk first.
template <class AfterChunk>
bool decode_chunks(EventChannels& ev, const std::uint8_t* body, std::size_t chunks, std::size_t chunk,
                   std::size_t block, const BlockFields& f, AfterChunk after_chunk) {
    if (chunks == 0) return true;
    const std::size_t slots = ev.channel_slots();
    const std::size_t blocks = chunk / block;  // whole blocks per chunk
    const std::size_t per_block = block - 1;
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t c = f.channel(read_be16(body + 2 * b * block));
        if (c >= slots) continue;
        ev.window_labels[c].reserve(ev.window_labels[c].capacity() + chunks);
        ev.data[c].reserve(ev.data[c].capacity() + chunks * per_block);
    }
    for (std::size_t ch = 0; ch < chunks; ++ch) {
        const std::size_t start = ch * chunk;
        for (std::size_t b = 0; b < blocks; ++b) {
            const std::size_t at = start + b * block;
            const std::uint16_t header = read_be16(body + 2 * at);
            const std::size_t c = f.channel(header);
            if (c >= slots) return false;
            ev.window_labels[c].push_back(static_cast<std::uint16_t>((header & f.windmask) >> f.last_bits));
            auto& data = ev.data[c];
            const std::size_t pos = data.size();
            data.resize(pos + per_block);
            decode_samples(data.data() + pos, body + 2 * (at + 1), per_block, f.datamask, f.last_bits);
        }
        after_chunk(start);
    }
    return true;
}

}  // namespace vexoacq::parsing::detail
