// tolv96 decoder.
//
// A tolv96 event is a run of chip blocks of L bytes, then n_event_footers
// bytes of event footer.  A chip block is n_chip_headers header bytes (the low
// 6 bits of the first are the chip number), C = channels / num_chips channel
// blocks in the format shared with ryk16, and n_chip_footers footer bytes.
// The chip number comes from the block itself, not from its position, and a
// block's channel is chip * C + its channel field (mod 65536).  The record
// always has 96 channel slots; the ECC findings are a separate operation on
// the raw bytes, so its ecc_errors lists stay empty.
//
// Under the default keys with 96 channels and S = 4096 a chip block is
// 131140 bytes and a full event of six chips 786842 bytes: the geometry the
// data-word check assumes.
//
// As in ryk16, the first pass checks every block's channel in event order
// and the second sizes each channel's lists once and writes them.
#include "parsing/tolv96.hpp"

#include <algorithm>

#include "parsing/ryk16.hpp"
#include "parsing/util.hpp"

namespace vexoacq::parsing {
namespace tolv96 {

namespace {
std::size_t channels_per_chip(const Params& params) {
    const std::size_t chips = key_u32(params, "num_chips", 6);
    check_invariant(chips != 0, "num_chips must be non-zero");
    return params.channels / chips;
}
}  // namespace

ParamsCache::ParamsCache(const Params& params)
    : channels_per_chip(tolv96::channels_per_chip(params)),
      windows(params.windows),
      samples(params.samples),
      data_mask(key_u16(params, "data_mask", 0x03FF)),
      chanmask(key_u16(params, "chanmask", 0xFF00)),
      chan_shift(key_u16(params, "chan_shift", 8)),
      windmask(key_u16(params, "windmask", 0x00FF)),
      n_chip_headers(key_u32(params, "n_chip_headers", 1)),
      n_chip_footers(key_u32(params, "n_chip_footers", 3)),
      n_window_headers(key_u32(params, "n_window_headers", 1)),
      n_window_footers(key_u32(params, "n_window_footers", 1)),
      n_event_footers(key_u32(params, "n_event_footers", 2)) {
    std::size_t blocks_bytes = 0;
    lengths_fit = !__builtin_mul_overflow(samples, windows, &samples_per_block) &&
                  !__builtin_add_overflow(samples_per_block, std::size_t{n_window_headers}, &block_words) &&
                  !__builtin_add_overflow(block_words, std::size_t{n_window_footers}, &block_words) &&
                  !__builtin_mul_overflow(channels_per_chip, block_words, &blocks_bytes) &&
                  !__builtin_mul_overflow(blocks_bytes, std::size_t{2}, &blocks_bytes) &&
                  !__builtin_add_overflow(blocks_bytes, std::size_t{n_chip_headers} + n_chip_footers, &chip_len);
}

Result<void, ParsingError> decode_into(RawBytes raw, const Params& params, Tolv96Event& out,
                                       runtime::cpu::Kernel kernel) {
    if (raw.empty()) return Err{ParsingError::MissingData};
    if (raw.size() % 2 != 0) return Err{ParsingError::UnexpectedLength};

    const ParamsCache p(params);
    if (raw.size() < p.n_event_footers) return Err{ParsingError::UnexpectedLength};
    const std::size_t body = raw.size() - p.n_event_footers;
    // An event of footer only holds no chip block, whatever L is.
    if (body != 0 && !p.lengths_fit) return Err{ParsingError::UnexpectedLength};
    if (p.lengths_fit) {
        check_invariant(p.chip_len != 0, "chip length must be non-zero");
        if (body % p.chip_len != 0) return Err{ParsingError::UnexpectedLength};
    }
    const std::size_t chips = body == 0 ? 0 : body / p.chip_len;

    out.chip_ids.clear();
    out.chip_ids.reserve(std::max<std::size_t>(chips, 6));
    std::vector<ryk16::Block> blocks;
    std::optional<ryk16::BlockLayout> layout;
    if (chips != 0) {
        layout = ryk16::BlockLayout::make(p.data_mask, p.chanmask, p.chan_shift, p.windmask, p.windows, p.samples,
                                          p.n_window_headers, p.n_window_footers);
        check_invariant(layout.has_value() && layout->words != 0, "channel block length must be non-zero");
        const std::size_t block_bytes = 2 * layout->words;
        const std::size_t per_chip = p.channels_per_chip;
        // chips * per_chip * block_bytes <= body: the blocks lie inside the event.
        blocks.reserve(chips * per_chip);
        for (std::size_t k = 0; k < chips; ++k) {
            const std::uint8_t* chip = raw.data() + k * p.chip_len;
            const auto chip_id = static_cast<std::uint8_t>(chip[0] & 0x3F);
            out.chip_ids.push_back(chip_id);
            const std::size_t base = chip_id * per_chip;
            const std::uint8_t* first = chip + p.n_chip_headers;
            for (std::size_t j = 0; j < per_chip; ++j) {
                const std::uint8_t* at = first + j * block_bytes;
                const std::uint16_t header = read_le16(at);
                const std::size_t channel = (base + layout->channel_field(header)) & 0xFFFF;
                if (channel >= kChannelSlots) return Err{ParsingError::InvalidChannel};
                blocks.push_back({at, channel, header});
            }
        }
    }

    out.resize_channels(kChannelSlots);
    out.ecc_errors.resize(kChannelSlots);
    for (auto& findings : out.ecc_errors) findings.clear();
    if (layout) {
        ryk16::write_blocks(out, *layout, blocks, kernel);
    } else {
        for (auto& d : out.data) d.clear();
        for (auto& l : out.window_labels) l.clear();
    }
    return util::replace_time_axis(out.time, out.window_labels, params, kernel);
}

}  // namespace tolv96

template <>
Result<tolv96::Tolv96Event, ParsingError> parse_into<tolv96::Tolv96Event>(RawBytes raw, const Params& params) {
    tolv96::Tolv96Event event;
    VEXO_TRY(tolv96::decode_into(raw, params, event));
    return event;
}

}  // namespace vexoacq::parsing
