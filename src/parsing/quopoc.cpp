// quopoc decoder ("quopoc_quop", "quopoc_zelk").
//
// An event is a run of big-endian 16-bit words whose last word is not data.
// The rest splits at every `chip_stop_word` into chip segments; a segment is
// `n_chip_headers` header words (word 0 carries the chip number in its top
// four bits) followed by whole channel blocks of `n_window_headers` + S words.
// Block word 0 holds the channel field and the window label; the samples are
// the block's words from `n_window_headers` on.  Every chip owns an equal
// share of the channels: channel = chip * (channels / num_chips) + field.
//
// Decoding runs in two passes over the raw bytes.  The first splits the
// segments, checks every length and channel in event order (so the first
// failure is the one reported) and notes each block; the second sizes
// every channel's lists once and copies the samples.  A word equal to the stop
// word ends its segment wherever it stands, samples included, so the stop-word
// scan must look at every word.
#include "parsing/quopoc.hpp"

#include <limits>

#include "parsing/util.hpp"

namespace vexoacq::parsing {

namespace {

struct Keys {
    std::size_t per_chip;  // Params.channels / num_chips
    std::uint16_t databitmask;
    std::uint16_t chanmask;
    unsigned chan_shift;
    std::uint16_t windmask;
    std::uint16_t chip_stop_word;
    std::uint32_t n_chip_headers;
    std::uint32_t n_window_headers;
};

// A num_chips of 0 is an internal fault (C has no divisor).
Keys read_keys(const Params& params) {
    return Keys{
        .per_chip = channels_per_chip(params, 2),
        .databitmask = key_u16(params, "databitmask", 0x0FFF),
        .chanmask = key_u16(params, "chanmask", 0x0300),
        .chan_shift = key_u16(params, "chan_shift", 8) % 16u,
        .windmask = key_u16(params, "windmask", 0x00FF),
        .chip_stop_word = key_u16(params, "chip_stop_word", 0xFFFF),
        .n_chip_headers = key_u32(params, "n_chip_headers", 3),
        .n_window_headers = key_u32(params, "n_window_headers", 1),
    };
}

// A channel number is chip × per_chip + field, with a 4-bit chip number and
// a 16-bit field.  Every slot of the record can be filled by some event
// exactly when the field spans a chip's share (per_chip <= 65536, so the
// chips' ranges leave no gap) and the last slot is within reach of chip 15.
// Any other channel count makes slots that no event fills.
bool slots_reachable(std::size_t channels, std::size_t per_chip) noexcept {
    return per_chip <= kFieldChannelSlots && channels <= 15 * per_chip + kFieldChannelSlots;
}

struct Block {
    std::size_t first_sample;  // word index of the block's first sample
    std::size_t channel;
    std::uint16_t label;
};

}  // namespace

template <>
Result<quopoc::QuopocEvent, ParsingError> parse_into<quopoc::QuopocEvent>(RawBytes raw, const Params& params) {
    if (raw.empty()) return Err{ParsingError::MissingData};
    if (raw.size() % 2 != 0) return Err{ParsingError::UnexpectedLength};

    const Keys keys = read_keys(params);

    const std::size_t channels = params.channels;
    const std::size_t samples = params.samples;
    const std::size_t per_chip = keys.per_chip;
    const std::size_t headers = keys.n_chip_headers;
    // A block length beyond the address space can hold no block: it is kept
    // at the maximum, which no segment reaches.
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    const std::size_t block_len = samples > kMax - keys.n_window_headers ? kMax : keys.n_window_headers + samples;

    const std::uint8_t* bytes = raw.data();
    const std::size_t words = raw.size() / 2 - 1;  // the last word is not data

    // The record's slots come first, and the per-channel counts below are
    // sized by them.
    if (!slots_reachable(channels, per_chip)) return Err{ParsingError::InvalidParameters};
    quopoc::QuopocEvent event;
    event.resize_channels(channels);

    // Pass 1: segments, lengths and channels, in event order.
    std::vector<Block> blocks;
    std::vector<std::size_t> blocks_per_channel(channels, 0);
    std::size_t start = 0;
    for (;;) {
        const std::size_t stop = find_be_word(bytes, start, words, keys.chip_stop_word);
        const std::size_t len = stop - start;
        if (len < headers) return Err{ParsingError::UnexpectedLength};
        check_invariant(block_len != 0, "channel block length must be non-zero");
        check_invariant(len != 0, "chip segment must not be empty");
        const std::size_t body = len - headers;
        if (body % block_len != 0) return Err{ParsingError::UnexpectedLength};
        if (body != 0) {
            const std::size_t chip = read_be16(bytes + 2 * start) >> 12;
            // chip < 16 and per_chip <= channels, so the base cannot wrap.
            const std::size_t base = chip * per_chip;
            for (std::size_t b = start + headers; b < stop; b += block_len) {
                const std::uint16_t head = read_be16(bytes + 2 * b);
                const std::size_t field = static_cast<std::size_t>(head & keys.chanmask) >> keys.chan_shift;
                const std::size_t channel = base + field;
                if (channel >= channels) return Err{ParsingError::InvalidChannel};
                blocks.push_back(Block{b + keys.n_window_headers, channel, static_cast<std::uint16_t>(head & keys.windmask)});
                ++blocks_per_channel[channel];
            }
        }
        if (stop == words) break;
        start = stop + 1;
    }

    // Pass 2: every list sized once, then filled in block order.  (Writing
    // into a sized list keeps the masked copy vectorised; it measures faster
    // here than building the values in place.)
    std::vector<std::size_t> fill(channels, 0);
    for (std::size_t c = 0; c < channels; ++c) {
        if (blocks_per_channel[c] == 0) continue;
        event.data[c].resize(blocks_per_channel[c] * samples);
        event.window_labels[c].reserve(blocks_per_channel[c]);
    }
    const std::uint16_t mask = keys.databitmask;
    for (const Block& blk : blocks) {
        event.window_labels[blk.channel].push_back(blk.label);
        float* out = event.data[blk.channel].data() + fill[blk.channel];
        const std::uint8_t* in = bytes + 2 * blk.first_sample;
        for (std::size_t s = 0; s < samples; ++s) out[s] = static_cast<float>(read_be16(in + 2 * s) & mask);
        fill[blk.channel] += samples;
    }

    VEXO_TRY(util::set_time_axis(event.time, event.window_labels, params));
    return event;
}

}  // namespace vexoacq::parsing
