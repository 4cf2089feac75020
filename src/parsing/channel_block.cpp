#include "parsing/channel_block.hpp"

namespace vexoacq::parsing::channel_block {

Keys read_keys(const Params& params, std::uint32_t default_chip_footers) noexcept {
    const Keys d;
    return Keys{
        .data_mask = key_u16(params, "data_mask", d.data_mask),
        .chanmask = key_u16(params, "chanmask", d.chanmask),
        .chan_shift = key_u16(params, "chan_shift", d.chan_shift),
        .windmask = key_u16(params, "windmask", d.windmask),
        .n_chip_headers = key_u32(params, "n_chip_headers", d.n_chip_headers),
        .n_chip_footers = key_u32(params, "n_chip_footers", default_chip_footers),
        .n_window_headers = key_u32(params, "n_window_headers", d.n_window_headers),
        .n_window_footers = key_u32(params, "n_window_footers", d.n_window_footers),
    };
}

std::optional<Layout> Layout::make(const Keys& keys, std::size_t windows, std::size_t samples) noexcept {
    Layout l;
    l.data_mask = keys.data_mask;
    l.chanmask = keys.chanmask;
    l.chan_shift = static_cast<std::uint16_t>(keys.chan_shift % 16);
    l.windmask = keys.windmask;
    l.windows = static_cast<std::uint16_t>(windows & 0xFFFF);
    if (__builtin_mul_overflow(samples, windows, &l.samples) ||
        __builtin_add_overflow(std::size_t{keys.n_window_headers}, l.samples, &l.words) ||
        __builtin_add_overflow(l.words, std::size_t{keys.n_window_footers}, &l.words) ||
        __builtin_mul_overflow(std::size_t{keys.n_window_headers}, std::size_t{2}, &l.sample_offset))
        return std::nullopt;
    return l;
}

std::optional<std::size_t> Layout::chip_bytes(const Keys& keys, std::size_t blocks) const noexcept {
    std::size_t body = 0;
    std::size_t total = 0;
    if (__builtin_mul_overflow(blocks, words, &body) || __builtin_mul_overflow(body, std::size_t{2}, &body) ||
        __builtin_add_overflow(body, std::size_t{keys.n_chip_headers} + keys.n_chip_footers, &total))
        return std::nullopt;
    return total;
}

bool note_blocks(const Layout& layout, const std::uint8_t* first, std::size_t count, std::size_t base,
                 std::size_t slots, std::vector<Block>& blocks) {
    const std::size_t block_bytes = 2 * layout.words;
    for (std::size_t j = 0; j < count; ++j) {
        const std::uint8_t* at = first + j * block_bytes;
        const std::uint16_t header = read_le16(at);
        const std::size_t channel = (base + layout.channel_field(header)) & 0xFFFF;
        if (channel >= slots) return false;
        blocks.push_back({at, channel, header});
    }
    return true;
}

void write_blocks(EventChannels& event, const Layout& layout, const std::vector<Block>& blocks,
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

}  // namespace vexoacq::parsing::channel_block
