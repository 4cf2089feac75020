// Event record and decoder of the zelkv3 board family.
#pragma once

#include <cstdint>
#include <vector>

#include "parsing/frame.hpp"

namespace vexoacq::parsing::zelkv3 {

struct Zelkv3Event : EventChannels {
    std::uint32_t header_code = 0;
    std::uint16_t header_byte = 0;
    friend bool operator==(const Zelkv3Event&, const Zelkv3Event&) = default;
};

// The decoder's view of Params: the counts it needs and every tuning key,
// resolved (missing or unusable keys give these defaults).  quopv2 events use
// the same keys.
struct ParamsCache {
    std::size_t channels = 0;
    std::size_t samples = 0;
    std::uint16_t databitmask = 0x1FFF;  // sample word
    std::uint16_t chanmask = 0x0600;     // channel number in a window header
    std::uint16_t chan_shift = 9;        // applied modulo 16
    std::uint16_t windmask = 0x01FE;     // window label in a window header
    std::uint32_t n_event_headers = 3;
    std::uint32_t n_window_headers = 1;  // window = samples + this many words
    std::uint32_t n_footers = 2;         // the trailer is n_footers - 1 words
    std::uint32_t n_last_bits = 1;       // applied modulo 16 to labels and samples

    explicit ParamsCache(const Params& params) noexcept;
};

}  // namespace vexoacq::parsing::zelkv3

namespace vexoacq::parsing {
template <>
Result<zelkv3::Zelkv3Event, ParsingError> parse_into<zelkv3::Zelkv3Event>(RawBytes raw, const Params& params);
}  // namespace vexoacq::parsing
