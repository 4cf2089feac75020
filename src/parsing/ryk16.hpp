// Event record and decoder of the ryk16 board family.
#pragma once

#include <cstddef>

#include "parsing/block_kernels.hpp"
#include "parsing/channel_block.hpp"
#include "parsing/frame.hpp"

namespace vexoacq::parsing::ryk16 {

struct Ryk16Event : EventChannels {

    friend bool operator==(const Ryk16Event&, const Ryk16Event&) = default;
};

// The decoder's view of Params: the counts it needs and every tuning key,
// resolved (the chip footer defaults to 2 bytes).
struct ParamsCache {
    std::size_t channels = 0;
    std::size_t windows = 0;
    std::size_t samples = 0;
    channel_block::Keys keys;

    explicit ParamsCache(const Params& params) noexcept;
};

// Decodes into `out`, replacing everything it held; the result equals that
// of parse_into.  Its lists keep their storage, so a thread that decodes
// event after event into one record stops allocating (and faulting in new
// pages) once the lists have grown to the events' size.  After an error
// `out` holds no meaningful values (but stays a valid record).
Result<void, ParsingError> decode_into(RawBytes raw, const Params& params, Ryk16Event& out,
                                       runtime::cpu::Kernel kernel = runtime::cpu::best());

}  // namespace vexoacq::parsing::ryk16

namespace vexoacq::parsing {
template <>
Result<ryk16::Ryk16Event, ParsingError> parse_into<ryk16::Ryk16Event>(RawBytes raw, const Params& params);
}  // namespace vexoacq::parsing
