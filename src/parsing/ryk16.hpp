// Event record and decoder of the ryk16 board family, and the channel block
// format that the ryk16 and tolv96 boards share.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "parsing/block_kernels.hpp"
#include "parsing/frame.hpp"

namespace vexoacq::parsing::ryk16 {

struct Ryk16Event : EventChannels {

    friend bool operator==(const Ryk16Event&, const Ryk16Event&) = default;
};

// The decoder's view of Params: the counts it needs and every tuning key,
// resolved (missing or unusable keys give these defaults).
struct ParamsCache {
    std::size_t channels = 0;
    std::size_t windows = 0;
    std::size_t samples = 0;
    std::uint16_t data_mask = 0x03FF;  // applied to the bit-inverted sample word
    std::uint16_t chanmask = 0xFF00;   // channel field of a block header word
    std::uint16_t chan_shift = 8;      // applied modulo 16
    std::uint16_t windmask = 0x00FF;   // window start of a block header word
    std::uint32_t n_chip_headers = 1;  // bytes
    std::uint32_t n_chip_footers = 2;  // bytes
    std::uint32_t n_window_headers = 1;  // words of a block before its samples
    std::uint32_t n_window_footers = 1;  // words of a block after its samples

    explicit ParamsCache(const Params& params) noexcept;
};

// ------------------------------------------------------------ channel block
//
// A channel block is H = n_window_headers + S + n_window_footers little-endian
// words, S = samples * windows.  Word 0 is the block header: the channel field
// ((word & chanmask) >> chan_shift) and the ring position of the first window
// (word & windmask).  The S samples start n_window_headers words in (so with
// no header words the header is also sample 0) and are stored bit-inverted;
// the mask keeps the ADC bits.  The footer words are not interpreted.
struct BlockLayout {
    std::uint16_t data_mask = 0;
    std::uint16_t chanmask = 0;
    std::uint16_t chan_shift = 0;  // already reduced modulo 16
    std::uint16_t windmask = 0;
    std::uint16_t windows = 0;     // Params.windows modulo 65536
    std::size_t sample_offset = 0;  // bytes from the block start to sample 0
    std::size_t samples = 0;        // S
    std::size_t words = 0;          // H

    // The layout, or nothing when S or H does not fit a machine word (no
    // event can then hold a block).
    static std::optional<BlockLayout> make(std::uint16_t data_mask, std::uint16_t chanmask, std::uint16_t chan_shift,
                                           std::uint16_t windmask, std::size_t windows, std::size_t samples,
                                           std::size_t window_headers, std::size_t window_footers) noexcept {
        BlockLayout l;
        l.data_mask = data_mask;
        l.chanmask = chanmask;
        l.chan_shift = static_cast<std::uint16_t>(chan_shift % 16);
        l.windmask = windmask;
        l.windows = static_cast<std::uint16_t>(windows & 0xFFFF);
        if (__builtin_mul_overflow(samples, windows, &l.samples) ||
            __builtin_add_overflow(window_headers, l.samples, &l.words) ||
            __builtin_add_overflow(l.words, window_footers, &l.words) ||
            __builtin_mul_overflow(window_headers, std::size_t{2}, &l.sample_offset))
            return std::nullopt;
        return l;
    }

    std::uint16_t channel_field(std::uint16_t header) const noexcept {
        return static_cast<std::uint16_t>((header & chanmask) >> chan_shift);
    }

    // The block's window labels are (start + k) mod windows for k < windows,
    // in 16-bit arithmetic: a ring of 0 (mod 65536) windows, or a start whose
    // last label would pass 65535, gives none.
    std::size_t label_count(std::uint16_t header) const noexcept {
        const unsigned start = header & windmask;
        return windows == 0 || start + windows > 0xFFFFu ? 0 : windows;
    }

    // Writes the label_count(header) labels to out.
    void labels(std::uint16_t header, std::uint16_t* out) const noexcept {
        const std::size_t n = label_count(header);
        if (n == 0) return;
        unsigned label = static_cast<unsigned>(header & windmask) % windows;
        for (std::size_t k = 0; k < n; ++k) {
            out[k] = static_cast<std::uint16_t>(label);
            label = label + 1 == windows ? 0 : label + 1;
        }
    }

    // Writes the S sample values of the block at `block` to out.  The
    // caller guarantees that the block's H words lie inside the event.
    void samples_to(runtime::cpu::Kernel kernel, const std::uint8_t* block, float* out) const noexcept {
        kernels::inverted_samples(kernel, block + sample_offset, samples, data_mask, out);
    }
};

// One channel block of an event and the channel it belongs to.
struct Block {
    const std::uint8_t* at = nullptr;  // first byte of the block
    std::size_t channel = 0;           // below the record's channel slots
    std::uint16_t header = 0;
};

// Fills every channel's data and label lists from its blocks, in block
// order, replacing what they held: a slot without blocks ends up empty.  Each
// list is sized once for all its blocks (a reused list that already has that
// size is only overwritten) and the blocks are then written into it.
void write_blocks(EventChannels& event, const BlockLayout& layout, const std::vector<Block>& blocks,
                  runtime::cpu::Kernel kernel);

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
