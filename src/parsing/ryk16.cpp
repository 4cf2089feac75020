// ryk16 decoder.
//
// A ryk16 event is one chip: n_chip_headers bytes of chip header, one channel
// block per channel (in any order, a channel may come more than once), and
// n_chip_footers bytes of chip footer; neither header nor footer is
// interpreted.  The event length is fixed by the parameters, so the length
// test comes first; the blocks are then read from the byte after the chip
// header.  Counts that do not fit a machine word describe an event longer
// than any that can exist and are reported as UnexpectedLength.  The blocks
// are in the format shared with tolv96 (parsing/channel_block.hpp).
#include "parsing/ryk16.hpp"

#include <vector>

#include "parsing/util.hpp"

namespace vexoacq::parsing {
namespace ryk16 {

ParamsCache::ParamsCache(const Params& params) noexcept
    : channels(params.channels),
      windows(params.windows),
      samples(params.samples),
      keys(channel_block::read_keys(params, 2)) {}

Result<void, ParsingError> decode_into(RawBytes raw, const Params& params, Ryk16Event& out, runtime::cpu::Kernel kernel) {
    if (raw.empty()) return Err{ParsingError::MissingData};

    const ParamsCache p(params);
    const auto layout = channel_block::Layout::make(p.keys, p.windows, p.samples);
    const auto expected = layout ? layout->chip_bytes(p.keys, p.channels) : std::nullopt;
    if (!expected || raw.size() != *expected) return Err{ParsingError::UnexpectedLength};
    check_invariant(layout->words != 0, "channel block length must be non-zero");

    std::vector<channel_block::Block> blocks;
    blocks.reserve(p.channels);
    if (!channel_block::note_blocks(*layout, raw.data() + p.keys.n_chip_headers, p.channels, 0, p.channels, blocks))
        return Err{ParsingError::InvalidChannel};

    out.resize_channels(p.channels);
    channel_block::write_blocks(out, *layout, blocks, kernel);
    return util::replace_time_axis(out.time, out.window_labels, params, kernel);
}

}  // namespace ryk16

template <>
Result<ryk16::Ryk16Event, ParsingError> parse_into<ryk16::Ryk16Event>(RawBytes raw, const Params& params) {
    ryk16::Ryk16Event event;
    VEXO_TRY(ryk16::decode_into(raw, params, event));
    return event;
}

}  // namespace vexoacq::parsing
