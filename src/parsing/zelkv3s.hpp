// Event record and decoder of the zelkv3s board family.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "parsing/frame.hpp"

namespace vexoacq::parsing::zelkv3s {

struct Zelkv3SEvent : EventChannels {
    std::vector<std::uint16_t> window_footers;
    friend bool operator==(const Zelkv3SEvent&, const Zelkv3SEvent&) = default;
};

// (M channels, W windows).
using ChanWinds = std::pair<std::size_t, std::size_t>;

// The length table's entry for an event of `byte_length` bytes under the keys
// of `params`: every (M, W) with 1 <= M <= channels, 1 <= W < windows and
// 2 × ((M × block + E) × W + n_event_headers + n_footer_words) (wrapping)
// equal to it, most channels first; block = samples + n_channel_headers and
// E = n_window_headers + n_window_footers.
std::vector<ChanWinds> length_candidates(const Params& params, std::size_t byte_length);

}  // namespace vexoacq::parsing::zelkv3s

namespace vexoacq::parsing {
template <>
Result<zelkv3s::Zelkv3SEvent, ParsingError> parse_into<zelkv3s::Zelkv3SEvent>(RawBytes raw, const Params& params);
}  // namespace vexoacq::parsing
