// skarnv1 decoder ("skarn", "hux-k12-4").
//
// Every field is a whole big-endian 16-bit word; nothing is masked.  An event
// is a run of chunks of Q = 2 * (E + 4 * (W + S) + F) + 2 bytes (E =
// `n_event_headers`, W = `n_window_headers`, S = samples, F =
// `n_footer_words`), followed by 4 bytes that are never read; the last chunk
// may lack its own last 4 bytes.  A chunk is E header words (word 0: the
// channel group g), four channel blocks of B = 2 * (W + S) bytes, F footer
// words and one closing word.  A block is its window label, its channel
// within the group (channel = 4 * g + word), W - 2 further header words and S
// samples.
//
// The block region is the four blocks that follow the chunk header, and the
// samples follow all W header words of a block.  The short form of a last
// chunk holds all four blocks whenever F >= 1; with F = 0 its fourth block is
// cut short and the event is refused.
//
// Decoding runs in two passes: the first checks every length and channel in
// event order and notes each block, the second reserves every channel's lists
// once and copies the samples.
#include "parsing/skarnv1.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <limits>
#include <optional>

#include "parsing/util.hpp"

namespace vexoacq::parsing {

namespace {

constexpr std::size_t kBlocksPerChunk = 4;
constexpr std::size_t kUnreadTail = 4;  // bytes at the end of the event, and of a full chunk
// Slots 0 .. 4 × 0xFFFF + 0xFFFF: every channel number a chunk can name.
constexpr std::size_t kMaxChannelSlots = kBlocksPerChunk * 0xFFFF + 0xFFFF + 1;

struct Block {
    const std::uint8_t* samples;
    std::size_t channel;
    std::uint16_t label;
};

// The samples of a block as floats, read straight from the raw big-endian
// words.  Random access lets vector::insert size its storage once and build
// each value in place, with no zero fill before the copy.
class SampleIter {
public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = float;
    using difference_type = std::ptrdiff_t;
    using pointer = const float*;
    using reference = float;

    SampleIter() = default;
    explicit SampleIter(const std::uint8_t* p) noexcept : p_(p) {}
    float operator*() const noexcept { return static_cast<float>(read_be16(p_)); }
    float operator[](difference_type n) const noexcept { return *(*this + n); }
    SampleIter& operator++() noexcept { p_ += 2; return *this; }
    SampleIter operator++(int) noexcept { SampleIter t = *this; p_ += 2; return t; }
    SampleIter& operator--() noexcept { p_ -= 2; return *this; }
    SampleIter operator--(int) noexcept { SampleIter t = *this; p_ -= 2; return t; }
    SampleIter& operator+=(difference_type n) noexcept { p_ += 2 * n; return *this; }
    SampleIter& operator-=(difference_type n) noexcept { p_ -= 2 * n; return *this; }
    friend SampleIter operator+(SampleIter a, difference_type n) noexcept { return a += n; }
    friend SampleIter operator+(difference_type n, SampleIter a) noexcept { return a += n; }
    friend SampleIter operator-(SampleIter a, difference_type n) noexcept { return a -= n; }
    friend difference_type operator-(SampleIter a, SampleIter b) noexcept { return (a.p_ - b.p_) / 2; }
    friend bool operator==(SampleIter a, SampleIter b) noexcept { return a.p_ == b.p_; }
    friend auto operator<=>(SampleIter a, SampleIter b) noexcept { return a.p_ <=> b.p_; }

private:
    const std::uint8_t* p_ = nullptr;
};

// a * b + c, or nothing when it does not fit a machine word.
std::optional<std::size_t> mul_add(std::size_t a, std::size_t b, std::size_t c) noexcept {
    std::size_t r = 0;
    if (__builtin_mul_overflow(a, b, &r) || __builtin_add_overflow(r, c, &r)) return std::nullopt;
    return r;
}

}  // namespace

template <>
Result<skarnv1::Skarnv1Event, ParsingError> parse_into<skarnv1::Skarnv1Event>(RawBytes raw, const Params& params) {
    const std::size_t window_headers = key_u32(params, "n_window_headers", 2);
    const std::size_t event_headers = key_u32(params, "n_event_headers", 7);
    const std::size_t footer_words = key_u32(params, "n_footer_words", 1);
    const std::size_t channels = params.channels;
    const std::size_t samples = params.samples;

    // Q and B; a chunk too long for the address space is longer than any event.
    const std::optional<std::size_t> block_words = mul_add(1, window_headers, samples);
    std::optional<std::size_t> chunk_words;
    if (block_words) chunk_words = mul_add(kBlocksPerChunk, *block_words, event_headers);
    if (chunk_words) chunk_words = mul_add(1, *chunk_words, footer_words);
    std::optional<std::size_t> chunk_len;
    if (chunk_words) chunk_len = mul_add(2, *chunk_words, 2);

    if (raw.size() % 2 != 0 || !chunk_len || raw.size() < *chunk_len) return Err{ParsingError::UnexpectedLength};
    const std::size_t q = *chunk_len;
    const std::size_t b = 2 * *block_words;  // fits: b < q
    const std::size_t region_start = 2 * event_headers;
    const std::size_t sample_start = 2 * std::max<std::size_t>(window_headers, 2);

    // Only a zero-length block allows Q <= 4, so an event too short to hold
    // its unread tail is outside the limits as well.
    check_invariant(raw.size() >= kUnreadTail, "event shorter than its unread tail");
    const std::uint8_t* const bytes = raw.data();
    const std::size_t body = raw.size() - kUnreadTail;

    // The record's slots come first, and the per-channel counts below are
    // sized by them.  A channel number is 4 × group + channel word, two
    // 16-bit words, so every slot up to 5 × 65535 can be filled and none
    // beyond.
    if (channels > kMaxChannelSlots) return Err{ParsingError::InvalidParameters};
    skarnv1::Skarnv1Event event;
    event.resize_channels(channels);

    // Pass 1: chunk and block lengths and channels, in event order.
    std::vector<Block> blocks;
    blocks.reserve(body / q * kBlocksPerChunk + kBlocksPerChunk);
    std::vector<std::size_t> blocks_per_channel(channels, 0);
    for (std::size_t at = 0; at < body; at += q) {
        const std::size_t len = std::min(q, body - at);
        if (len < q - kUnreadTail) return Err{ParsingError::UnexpectedLength};
        check_invariant(b >= 4, "channel block must hold at least two words");
        const std::uint8_t* chunk = bytes + at;
        const std::size_t group_base = 4 * static_cast<std::size_t>(read_be16(chunk));
        // region_start + 4 * b <= q - 2, and len >= q - 4: only the short form
        // of a chunk without footer words lacks part of its fourth block.
        const std::size_t region_end = std::min(region_start + kBlocksPerChunk * b, len);
        for (std::size_t off = region_start; off < region_end; off += b) {
            if (region_end - off < b) return Err{ParsingError::UnexpectedLength};
            const std::uint8_t* blk = chunk + off;
            const std::size_t channel = group_base + read_be16(blk + 2);
            if (channel >= channels) return Err{ParsingError::InvalidChannel};
            // Fewer than two header words leave no room for the samples after
            // the label and channel words.
            if (sample_start + 2 * samples > b) return Err{ParsingError::UnexpectedLength};
            blocks.push_back(Block{blk + sample_start, channel, read_be16(blk)});
            ++blocks_per_channel[channel];
        }
    }

    // Pass 2: every list reserved once, then filled in block order.
    for (std::size_t c = 0; c < channels; ++c) {
        if (blocks_per_channel[c] == 0) continue;
        event.data[c].reserve(blocks_per_channel[c] * samples);
        event.window_labels[c].reserve(blocks_per_channel[c]);
    }
    const auto count = static_cast<std::ptrdiff_t>(samples);
    for (const Block& blk : blocks) {
        event.window_labels[blk.channel].push_back(blk.label);
        auto& out = event.data[blk.channel];
        const SampleIter first(blk.samples);
        out.insert(out.end(), first, first + count);
    }

    VEXO_TRY(util::set_time_axis(event.time, event.window_labels, params));
    return event;
}

}  // namespace vexoacq::parsing
