// The channel block that ryk16 and tolv96 events are made of, the tuning keys
// that describe it and the chip around it, and the two passes that turn
// blocks into a record's data and label lists.
//
// A channel block is H = n_window_headers + S + n_window_footers little-endian
// words, S = samples * windows.  Word 0 is the block header: the channel field
// ((word & chanmask) >> chan_shift) and the ring position of the first window
// (word & windmask).  The S samples start n_window_headers words in (so with
// no header words the header is also sample 0) and are stored bit-inverted;
// the mask keeps the ADC bits.  The footer words are not interpreted.  A chip
// is n_chip_headers bytes, a run of channel blocks and n_chip_footers bytes.
//
// Decoding runs in two passes: the first notes every block and checks its
// channel in event order (so the first bad channel is the one reported), the
// second sizes each channel's lists once and writes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "parsing/block_kernels.hpp"
#include "parsing/frame.hpp"

namespace vexoacq::parsing::channel_block {

// The tuning keys of the block and chip format, resolved once per decode
// (missing or unusable keys give these defaults).  Both families read all
// eight; only the chip footer's default differs between them, so the family
// gives it.
struct Keys {
    std::uint16_t data_mask = 0x03FF;    // applied to the bit-inverted sample word
    std::uint16_t chanmask = 0xFF00;     // channel field of a block header word
    std::uint16_t chan_shift = 8;        // applied modulo 16
    std::uint16_t windmask = 0x00FF;     // window start of a block header word
    std::uint32_t n_chip_headers = 1;    // bytes
    std::uint32_t n_chip_footers = 0;    // bytes; the family's default
    std::uint32_t n_window_headers = 1;  // words of a block before its samples
    std::uint32_t n_window_footers = 1;  // words of a block after its samples
};

Keys read_keys(const Params& params, std::uint32_t default_chip_footers) noexcept;

// The geometry of one channel block under its keys and Params.
struct Layout {
    std::uint16_t data_mask = 0;
    std::uint16_t chanmask = 0;
    std::uint16_t chan_shift = 0;  // already reduced modulo 16
    std::uint16_t windmask = 0;
    std::uint16_t windows = 0;      // Params.windows modulo 65536
    std::size_t sample_offset = 0;  // bytes from the block start to sample 0
    std::size_t samples = 0;        // S
    std::size_t words = 0;          // H

    // The layout, or nothing when S or H does not fit a machine word (no
    // event can then hold a block).
    static std::optional<Layout> make(const Keys& keys, std::size_t windows, std::size_t samples) noexcept;

    // n_chip_headers + n_chip_footers + 2 * blocks * H, the bytes of a chip
    // of `blocks` channel blocks; nothing when that does not fit a machine
    // word.
    std::optional<std::size_t> chip_bytes(const Keys& keys, std::size_t blocks) const noexcept;

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

// First pass over one chip's run of `count` blocks from `first`: appends each
// to `blocks`, on channel (base + its channel field) mod 65536.  False at the
// first block whose channel is `slots` or more.  The caller guarantees that
// the blocks lie inside the event and that H is not 0.
bool note_blocks(const Layout& layout, const std::uint8_t* first, std::size_t count, std::size_t base,
                 std::size_t slots, std::vector<Block>& blocks);

// Second pass: fills every channel's data and label lists from its blocks,
// in block order, replacing what they held: a slot without blocks ends up
// empty.  Each list is sized once for all its blocks (a reused list that
// already has that size is only overwritten) and the blocks are then written
// into it.
void write_blocks(EventChannels& event, const Layout& layout, const std::vector<Block>& blocks,
                  runtime::cpu::Kernel kernel);

}  // namespace vexoacq::parsing::channel_block
