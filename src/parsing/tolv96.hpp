// Event record and decoder of the tolv96 board family.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <tuple>
#include <vector>

#include "parsing/block_kernels.hpp"
#include "parsing/channel_block.hpp"
#include "parsing/frame.hpp"

namespace vexoacq::parsing::tolv96 {

// One ECC finding: two machine words and three 16-bit values.  The decoder
// never fills any (its lists stay empty); the tuple shape is kept for the dict.
using EccError = std::tuple<std::size_t, std::size_t, std::uint16_t, std::uint16_t, std::uint16_t>;

struct Tolv96Event : EventChannels {
    std::vector<std::uint8_t> chip_ids;
    // One inner list per channel slot; always empty as decoded (the ECC check
    // is a separate operation on the raw bytes).
    std::vector<std::vector<EccError>> ecc_errors;
    friend bool operator==(const Tolv96Event&, const Tolv96Event&) = default;
};

// The record always has this many channel slots, whatever Params.channels says.
inline constexpr std::size_t kChannelSlots = 96;

// The decoder's view of Params: the counts it needs, every tuning key
// resolved (the chip footer defaults to 3 bytes) and the block and chip
// lengths they give.
struct ParamsCache {
    std::size_t channels_per_chip = 0;  // Params.channels / num_chips, remainder dropped
    std::size_t windows = 0;
    std::size_t samples = 0;
    channel_block::Keys keys;            // n_chip_headers: the first byte holds the chip number
    std::uint32_t n_event_footers = 2;   // bytes
    // S and H, or nothing when they do not fit a machine word.
    std::optional<channel_block::Layout> layout;
    std::size_t chip_len = 0;  // L = n_chip_headers + n_chip_footers + 2 * C * H bytes
    // False when S, H or L does not fit a machine word: then no event can
    // hold a chip block, and chip_len is not meaningful.
    bool lengths_fit = false;

    // A num_chips of 0 leaves the channels per chip undefined: internal fault.
    explicit ParamsCache(const Params& params);
};

// Decodes into `out`, replacing everything it held; the result equals that
// of parse_into.  Its lists keep their storage, so a thread that decodes
// event after event into one record stops allocating (and faulting in new
// pages) once the lists have grown to the events' size.  After an error
// `out` holds no meaningful values (but stays a valid record).
Result<void, ParsingError> decode_into(RawBytes raw, const Params& params, Tolv96Event& out,
                                       runtime::cpu::Kernel kernel = runtime::cpu::best());

}  // namespace vexoacq::parsing::tolv96

namespace vexoacq::parsing {
template <>
Result<tolv96::Tolv96Event, ParsingError> parse_into<tolv96::Tolv96Event>(RawBytes raw, const Params& params);
}  // namespace vexoacq::parsing
