// Event record and decoder of the brindlexv3 board family.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "parsing/frame.hpp"

namespace vexoacq::parsing::brindlexv3 {

struct Brindlexv3Event : EventChannels {
    std::uint32_t header_code = 0;
    std::uint16_t header_byte = 0;
    friend bool operator==(const Brindlexv3Event&, const Brindlexv3Event&) = default;
};

// (M channels, W windows).
using ChanWinds = std::pair<std::size_t, std::size_t>;

// The decoder's view of Params: counts, the channel block length and every
// tuning key, resolved (missing or unusable keys give these defaults).
struct ParamsCache {
    std::size_t channels = 0;
    std::size_t windows = 0;
    std::size_t samples = 0;
    std::size_t block = 0;               // samples + n_channel_headers (wrapping)
    std::uint16_t chanmask = 0x0C00;     // channel number in a block header
    std::uint16_t chan_shift = 10;       // applied modulo 16
    std::uint16_t windmask = 0x03FE;     // window label in a block header
    std::uint16_t datamask = 0x1FFF;     // sample word
    std::uint32_t n_event_headers = 3;
    std::uint32_t n_window_headers = 1;  // unread words closing every window chunk
    std::uint32_t n_footer_words = 2;    // the trailer is n_footer_words - 1 words
    std::uint32_t n_last_bits = 1;       // applied modulo 16 to labels and samples

    explicit ParamsCache(const Params& params) noexcept;
};

// The (M, W) that the event's byte length selects from the length table
// (every (M, W) with 1 <= M <= channels, 1 <= W < windows and
// 2 × W × (M × block + 1) + 8 (wrapping) equal to it, most channels first;
// the table assumes one unread word per chunk and 8 bytes of header and
// trailer, whatever the keys say): the only candidate, or of several the
// first whose first window chunk fits the event; nothing else, and nothing
// when channels is the largest word.
std::optional<ChanWinds> get_chan_winds(RawBytes raw, const ParamsCache& cache);

}  // namespace vexoacq::parsing::brindlexv3

namespace vexoacq::parsing {
template <>
Result<brindlexv3::Brindlexv3Event, ParsingError> parse_into<brindlexv3::Brindlexv3Event>(RawBytes raw, const Params& params);
}  // namespace vexoacq::parsing
