// Check and correction of every data word of a raw tolv96 event.
//
// The check assumes one fixed event geometry, the one the board writes with
// 16 channels of 4096 samples per chip:
//
//   event       = chip block x n (n = 0..6), then a 2-byte event footer
//   chip block  = 131140 bytes: 1 header byte, 16 channel blocks, 3 footer bytes
//   channel blk = 8196 bytes: 2-byte header word, 8192 data bytes
//                 (4096 words, low byte first), 2-byte footer word
//
// Only the data bytes are read.  Channel ch (= 16 c + k, by position) has its
// data at [start, start + 8192) with start = c * 131140 + k * 8196 + 3.
//
// Each channel is checked on its own.  The calling thread starts at once and
// wakes a pool thread only when the work still unclaimed, projected from its
// first channels, is clearly larger than a wake: a clean full event takes
// less time than waking one sleeping worker.  Channels are claimed from one
// counter, so the caller never waits for a thread that has not started.
// Every thread that takes part fills lists in storage of its own (no cache
// line is written by two threads), and the lists are put in channel order
// afterwards, so the result does not depend on the number of threads or on
// who checked what, and no finding takes a lock.
//
// This header is what the binding sees: its check runs on the process's
// worker pool, and no oneTBB header comes with it.  check_arena.hpp holds
// the same check on an arena of the caller's own, with its schedule, for
// the tests and the benchmarks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "runtime/cpu.hpp"

namespace vexoacq::ecc::check {

inline constexpr std::size_t kChipBlockBytes = 131140;
inline constexpr std::size_t kChannelBlockBytes = 8196;
inline constexpr std::size_t kChannelDataBytes = 8192;
inline constexpr std::size_t kChannelsPerChip = 16;
inline constexpr std::size_t kMaxChips = 6;
inline constexpr std::size_t kChannels = kChannelsPerChip * kMaxChips;
inline constexpr std::size_t kEventFooterBytes = 2;
inline constexpr std::size_t kFullEventBytes = kChipBlockBytes * kMaxChips + kEventFooterBytes;  // 786842

struct ChannelRange {
    std::size_t start;
    std::size_t end;
    friend bool operator==(const ChannelRange&, const ChannelRange&) = default;
};

using ChannelTable = std::array<ChannelRange, kChannels>;

// The data ranges of the 96 channels, made by the first user in the process
// (concurrent first users wait for it) and only read afterwards.
const ChannelTable& channel_offsets();

// One finding.  `correctable` is the word's global parity; `corrected` is
// `word` with bit `bit` inverted when it is 1, else `word` itself.
struct EccEntry {
    std::size_t offset;    // byte offset inside the channel's data range (even)
    std::size_t position;  // byte offset of the word's low byte in the event
    std::uint16_t word;
    std::uint16_t corrected;
    std::uint8_t bit;
    std::uint8_t correctable;
    friend bool operator==(const EccEntry&, const EccEntry&) = default;
};

// The finding for one word, or none for a clean word (syndrome 0, even parity).
bool classify(std::uint16_t word, std::size_t offset, std::size_t position, EccEntry* out) noexcept;

// How clean words are skipped, by the level of runtime/cpu.hpp; all give
// the same findings.  Scalar: two 256-entry byte tables per word.  Avx2 and
// Avx512: nibble tables through byte shuffles, 16 words per step.
// Avx512Gfni: GF(2) affine byte transforms, 32 words per step.
using runtime::cpu::Kernel;

// Number of chip blocks of an input of `size` bytes: ceil((size - 2) / 131140).
// Fewer than 2 bytes or more than six blocks is an internal fault.
std::size_t chip_count(std::size_t size);

// Appends the findings of channel `ch`, in offset order.  A data range that
// does not lie inside `raw` is an internal fault.
void check_channel(std::span<const std::uint8_t> raw, std::size_t ch, Kernel kernel, std::vector<EccEntry>& out);

// Findings per channel, each channel's in offset order, for the channels the
// event holds.  Each list was filled by the one thread that checked the
// channel, in storage of that thread's own; iterating gives one span per
// channel, in channel order.
class ChannelFindings {
public:
    ChannelFindings() = default;
    ChannelFindings(std::vector<std::vector<EccEntry>> lists, std::size_t helper_channels)
        : lists_(std::move(lists)), helper_channels_(helper_channels) {}
    ChannelFindings(ChannelFindings&& other) noexcept;
    ChannelFindings& operator=(ChannelFindings&& other) noexcept;
    // The lists' storage goes to this thread's list cache for the next check.
    ~ChannelFindings();

    std::size_t channels() const noexcept { return lists_.size(); }
    std::span<const EccEntry> channel(std::size_t ch) const;
    // Number of entries over all channels.
    std::size_t total() const noexcept;
    // Channels that a pool thread checked (the rest the caller did).
    std::size_t helper_channels() const noexcept { return helper_channels_; }

    class iterator {
    public:
        using value_type = std::span<const EccEntry>;
        using difference_type = std::ptrdiff_t;
        iterator() = default;
        iterator(const ChannelFindings* f, std::size_t ch) : f_(f), ch_(ch) {}
        value_type operator*() const { return f_->channel(ch_); }
        iterator& operator++() {
            ++ch_;
            return *this;
        }
        iterator operator++(int) {
            iterator old = *this;
            ++ch_;
            return old;
        }
        friend bool operator==(const iterator& a, const iterator& b) { return a.ch_ == b.ch_; }

    private:
        const ChannelFindings* f_ = nullptr;
        std::size_t ch_ = 0;
    };
    iterator begin() const { return iterator(this, 0); }
    iterator end() const { return iterator(this, lists_.size()); }

private:
    void release() noexcept;

    std::vector<std::vector<EccEntry>> lists_;
    std::size_t helper_channels_ = 0;
};

// The check of every channel of `raw` on the process's worker pool
// (runtime/pool.hpp) with the default schedule: check_arena.hpp's
// check_channels on runtime::pool::arena(), with its findings and faults.
ChannelFindings check_channels(std::span<const std::uint8_t> raw, Kernel kernel);

// Writes every correctable finding into `buffer` (the bytes that were checked).
void apply_corrections(std::span<std::uint8_t> buffer, std::span<const EccEntry> entries);
void apply_corrections(std::span<std::uint8_t> buffer, const ChannelFindings& findings);

}  // namespace vexoacq::ecc::check
