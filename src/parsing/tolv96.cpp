// tolv96 decoder.
//
// A tolv96 event is a run of chip blocks of L bytes, then n_event_footers
// bytes of event footer.  A chip block is n_chip_headers header bytes (the low
// 6 bits of the first are the chip number), C = channels / num_chips channel
// blocks in the format shared with ryk16 (parsing/channel_block.hpp), and
// n_chip_footers footer bytes.
// The chip number comes from the block itself, not from its position, and a
// block's channel is chip * C + its channel field (mod 65536).  The record
// always has 96 channel slots; the ECC findings are a separate operation on
// the raw bytes, so its ecc_errors lists stay empty.
//
// Under the default keys with 96 channels and S = 4096 a chip block is
// 131140 bytes and a full event of six chips 786842 bytes: the geometry the
// data-word check assumes.
#include "parsing/tolv96.hpp"

#include <algorithm>
#include <vector>

#include "parsing/util.hpp"

namespace vexoacq::parsing {
namespace tolv96 {

ParamsCache::ParamsCache(const Params& params)
    : channels_per_chip(parsing::channels_per_chip(params, 6)),
      windows(params.windows),
      samples(params.samples),
      keys(channel_block::read_keys(params, 3)),
      n_event_footers(key_u32(params, "n_event_footers", 2)),
      layout(channel_block::Layout::make(keys, windows, samples)) {
    const auto len = layout ? layout->chip_bytes(keys, channels_per_chip) : std::nullopt;
    lengths_fit = len.has_value();
    chip_len = len.value_or(0);
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
    std::vector<channel_block::Block> blocks;
    if (chips != 0) {
        // lengths_fit holds, so the layout exists.
        check_invariant(p.layout.has_value() && p.layout->words != 0, "channel block length must be non-zero");
        const std::size_t per_chip = p.channels_per_chip;
        // chips * per_chip blocks of 2 * H bytes fit in body: they lie inside the event.
        blocks.reserve(chips * per_chip);
        for (std::size_t k = 0; k < chips; ++k) {
            const std::uint8_t* chip = raw.data() + k * p.chip_len;
            const auto chip_id = static_cast<std::uint8_t>(chip[0] & 0x3F);
            out.chip_ids.push_back(chip_id);
            if (!channel_block::note_blocks(*p.layout, chip + p.keys.n_chip_headers, per_chip, chip_id * per_chip,
                                            kChannelSlots, blocks))
                return Err{ParsingError::InvalidChannel};
        }
    }

    out.resize_channels(kChannelSlots);
    out.ecc_errors.resize(kChannelSlots);
    for (auto& findings : out.ecc_errors) findings.clear();
    if (chips != 0) {
        channel_block::write_blocks(out, *p.layout, blocks, kernel);
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
