// The decoding frame shared by all board families.
//
// Every event record begins with the same three per-channel lists (the
// EventChannels base).  Generic consumers (pedestal subtraction, CSV export,
// Python dicts) work on that base and test for the optional `timing` and
// `ecc_errors` fields at compile time, so no per-sample call is virtual.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <tuple>
#include <vector>

#include "acquisition/metadata.hpp"
#include "error.hpp"
#include "result.hpp"

namespace vexoacq::parsing {

using acquisition::Params;
using error::ParsingError;
using RawBytes = std::span<const std::uint8_t>;

// Channel numbers read from one 16-bit field name at most this many slots.
// A record made with more would hold slots that no event can fill, so a
// decoder refuses such a channel count (ParsingError::InvalidParameters) at
// the first step that reads it instead of allocating the slots.
inline constexpr std::size_t kFieldChannelSlots = std::size_t{1} << 16;

// The three lists every record starts with; one inner list per channel slot.
struct EventChannels {
    std::vector<std::vector<float>> data;
    std::vector<std::vector<std::uint16_t>> window_labels;
    std::vector<std::vector<std::uint16_t>> time;

    std::size_t channel_slots() const noexcept { return data.size(); }
    // Gives `n` empty slots to each of the three lists.  A slot count beyond
    // what a list can ever hold is a broken invariant, not an allocation.
    void resize_channels(std::size_t n) {
        check_invariant(n <= data.max_size() && n <= window_labels.max_size(), "capacity overflow");
        data.resize(n);
        window_labels.resize(n);
        time.resize(n);
    }
    friend bool operator==(const EventChannels&, const EventChannels&) = default;
};

// Decoder of one record type: the raw bytes of one event (unchanged) and the
// acquisition's Params (read only) give a new record or a ParsingError.  Each
// family file defines the specialisation for its record type.
template <class Event>
Result<Event, ParsingError> parse_into(RawBytes raw, const Params& params);

// Optional fields, tested at compile time.
template <class E>
concept HasTiming = requires(const E& e) { e.timing; };
template <class E>
concept HasEccErrors = requires(const E& e) { e.ecc_errors; };

// ------------------------------------------------------------ word readers
inline std::uint16_t read_be16(const std::uint8_t* p) noexcept {
    return static_cast<std::uint16_t>((static_cast<unsigned>(p[0]) << 8) | p[1]);
}
inline std::uint16_t read_le16(const std::uint8_t* p) noexcept {
    return static_cast<std::uint16_t>((static_cast<unsigned>(p[1]) << 8) | p[0]);
}
// Whole byte pairs only: a last odd byte is left out.
std::vector<std::uint16_t> be_words(RawBytes raw);
std::vector<std::uint16_t> le_words(RawBytes raw);
// Index of the first big-endian word of `bytes` at or after word index `from`
// (and before `end`) equal to `word`, or `end`.
std::size_t find_be_word(const std::uint8_t* bytes, std::size_t from, std::size_t end, std::uint16_t word) noexcept;

// ------------------------------------------------------------ tuning keys
// A key counts only when its value is a YAML integer of zero or more; it is
// then cut to the key's width.  Anything else (absent, negative, float,
// string, bool, null, sequence, mapping) gives the family's default.
std::uint16_t key_u16(const Params& params, std::string_view key, std::uint16_t fallback) noexcept;
std::uint32_t key_u32(const Params& params, std::string_view key, std::uint32_t fallback) noexcept;

// Params.channels shared out over the chips of a multi-chip board (the
// `num_chips` key, `default_chips` when unusable), the remainder dropped.
// A num_chips of 0 leaves the share undefined: internal fault.
std::size_t channels_per_chip(const Params& params, std::uint32_t default_chips);

}  // namespace vexoacq::parsing
