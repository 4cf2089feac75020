// ryk16 decoder, and the channel-block copy shared with tolv96.
//
// A ryk16 event is one chip: n_chip_headers bytes of chip header, one channel
// block per channel (in any order, a channel may come more than once), and
// n_chip_footers bytes of chip footer; neither header nor footer is
// interpreted.  The event length is fixed by the parameters, so the length
// test comes first; the blocks are then read from the byte after the chip
// header.  Counts that do not fit a machine word describe an event longer
// than any that can exist and are reported as UnexpectedLength.
//
// Decoding runs in two passes: the first checks every block's channel in
// event order, the second sizes each channel's lists once and writes them.
#include "parsing/ryk16.hpp"

#include "parsing/util.hpp"

namespace vexoacq::parsing {
namespace ryk16 {

ParamsCache::ParamsCache(const Params& params) noexcept
    : channels(params.channels),
      windows(params.windows),
      samples(params.samples),
      data_mask(key_u16(params, "data_mask", 0x03FF)),
      chanmask(key_u16(params, "chanmask", 0xFF00)),
      chan_shift(key_u16(params, "chan_shift", 8)),
      windmask(key_u16(params, "windmask", 0x00FF)),
      n_chip_headers(key_u32(params, "n_chip_headers", 1)),
      n_chip_footers(key_u32(params, "n_chip_footers", 2)),
      n_window_headers(key_u32(params, "n_window_headers", 1)),
      n_window_footers(key_u32(params, "n_window_footers", 1)) {}

void write_blocks(EventChannels& event, const BlockLayout& layout, const std::vector<Block>& blocks,
                  runtime::cpu::Kernel kernel) {
    const std::size_t slots = event.channel_slots();
    // Per slot: the samples and labels of all its blocks, then (below) the
    // running write positions.
    std::vector<std::size_t> sample_pos(slots, 0);
    std::vector<std::size_t> label_pos(slots, 0);
    for (const Block& b : blocks) {
        check_invariant(b.channel < slots, "channel block outside the record's channel slots");
        sample_pos[b.channel] += layout.samples;
        label_pos[b.channel] += layout.label_count(b.header);
    }
    // Every block lies inside the event, so these sizes are bounded by it.
    for (std::size_t c = 0; c < slots; ++c) {
        event.data[c].resize(sample_pos[c]);
        event.window_labels[c].resize(label_pos[c]);
        sample_pos[c] = 0;
        label_pos[c] = 0;
    }
    for (const Block& b : blocks) {
        layout.samples_to(kernel, b.at, event.data[b.channel].data() + sample_pos[b.channel]);
        sample_pos[b.channel] += layout.samples;
        layout.labels(b.header, event.window_labels[b.channel].data() + label_pos[b.channel]);
        label_pos[b.channel] += layout.label_count(b.header);
    }
}

Result<void, ParsingError> decode_into(RawBytes raw, const Params& params, Ryk16Event& out, runtime::cpu::Kernel kernel) {
    if (raw.empty()) return Err{ParsingError::MissingData};

    const ParamsCache p(params);
    const std::optional<BlockLayout> layout = BlockLayout::make(p.data_mask, p.chanmask, p.chan_shift, p.windmask,
                                                                p.windows, p.samples, p.n_window_headers,
                                                                p.n_window_footers);
    // n_chip_headers + n_chip_footers + 2 * channels * H bytes.
    std::size_t body = 0;
    std::size_t expected = 0;
    if (!layout || __builtin_mul_overflow(p.channels, layout->words, &body) ||
        __builtin_mul_overflow(body, std::size_t{2}, &body) ||
        __builtin_add_overflow(body, std::size_t{p.n_chip_headers} + p.n_chip_footers, &expected) ||
        raw.size() != expected)
        return Err{ParsingError::UnexpectedLength};
    check_invariant(layout->words != 0, "channel block length must be non-zero");

    const std::size_t block_bytes = 2 * layout->words;
    const std::uint8_t* const first = raw.data() + p.n_chip_headers;
    std::vector<Block> blocks;
    blocks.reserve(p.channels);
    for (std::size_t k = 0; k < p.channels; ++k) {
        const std::uint8_t* at = first + k * block_bytes;
        const std::uint16_t header = read_le16(at);
        const std::size_t channel = layout->channel_field(header);
        if (channel >= p.channels) return Err{ParsingError::InvalidChannel};
        blocks.push_back({at, channel, header});
    }

    out.resize_channels(p.channels);
    write_blocks(out, *layout, blocks, kernel);
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
