// zelkv3s decoder.
//
// Layout, in big-endian 16-bit words:
//   n_event_headers words of event header (not read),
//   W window chunks of M × block + E words: M channel blocks of
//   block = samples + n_channel_headers words (word 0 the channel header with
//   channel and label, then the samples), then E trailing words of which only
//   the chunk's last word is kept (window_footers),
//   n_footer_words footer words (not read).
// Neither M nor W is stored: both come from the event's byte length (the
// length table: every (M, W) with 1 <= M <= channels, 1 <= W < windows and
// 2 × ((M × block + E) × W + n_event_headers + n_footer_words), wrapping,
// equal to it, most channels first), and the record has M channel slots, not
// Params.channels.  The time axis then walks Params.channels slots, so only
// events decoded with M equal to Params.channels succeed.
//
// E, the trailing words of a window chunk, is n_window_headers +
// n_window_footers (both default to 0).  One E governs the length table, the
// fit test and the cutting into chunks alike, so an acquisition that sets
// either key gets chunks cut at the size its lengths were matched with.
#include "parsing/zelkv3s.hpp"

#include <optional>

#include "parsing/util.hpp"
#include "parsing/zelk_common.hpp"

namespace vexoacq::parsing {
namespace zelkv3s {
namespace {

struct Keys {
    std::size_t block;  // samples + n_channel_headers (wrapping)
    std::uint16_t chanmask;
    std::uint16_t chan_shift;
    std::uint16_t windmask;
    std::uint16_t datamask;
    std::uint32_t n_event_headers;
    std::uint32_t n_footer_words;
    std::size_t trailing;  // E = n_window_headers + n_window_footers
    std::uint32_t n_last_bits;

    explicit Keys(const Params& params) noexcept
        : block(params.samples + key_u32(params, "n_channel_headers", 1)),
          chanmask(key_u16(params, "chanmask", 0x03FF)),
          chan_shift(key_u16(params, "chan_shift", 8)),
          windmask(key_u16(params, "windmask", 0x00FF)),
          datamask(key_u16(params, "datamask", 0x1FFF)),
          n_event_headers(key_u32(params, "n_event_headers", 3)),
          n_footer_words(key_u32(params, "n_footer_words", 1)),
          trailing(std::size_t{key_u32(params, "n_window_headers", 0)} + key_u32(params, "n_window_footers", 0)),
          n_last_bits(key_u32(params, "n_last_bits", 0)) {}
};

}  // namespace
}  // namespace zelkv3s

template <>
Result<zelkv3s::Zelkv3SEvent, ParsingError> parse_into<zelkv3s::Zelkv3SEvent>(RawBytes raw, const Params& params) {
    if (raw.empty()) return Err{ParsingError::MissingData};
    if (raw.size() % 2 != 0) return Err{ParsingError::UnexpectedLength};

    // Channel headers carry 16-bit channel numbers, and only an event of
    // Params.channels slots decodes; the length table is the first step that
    // reads the channel count.
    if (params.channels > kFieldChannelSlots) return Err{ParsingError::InvalidParameters};
    const zelkv3s::Keys k(params);
    const std::size_t len = raw.size();
    const std::size_t neh = k.n_event_headers;
    const std::size_t block = k.block;

    // A window chunk fits when the event holds its header and M × block + E words.
    const auto chosen =
        detail::choose_candidate(params.channels, params.windows, block, k.trailing,
                                 std::size_t{k.n_event_headers} + k.n_footer_words, len, 2 * neh, neh + k.trailing);
    if (!chosen) return Err{ParsingError::UnexpectedLength};
    const std::size_t m = chosen->first;

    // The body is words [neh, n - n_footer_words).
    const std::size_t n = len / 2;
    const std::size_t nf = k.n_footer_words;
    check_invariant(nf <= n && neh <= n - nf, "event body range outside the event");
    const std::size_t body_len = n - nf - neh;
    const std::uint8_t* body = raw.data() + 2 * neh;

    zelkv3s::Zelkv3SEvent ev;
    ev.resize_channels(m);

    const std::size_t chunk = m * block + k.trailing;
    check_invariant(chunk != 0 && block != 0, "chunk size must be non-zero");
    const std::size_t chunks = body_len / chunk;
    const detail::BlockFields fields{k.chanmask, k.chan_shift % 16u, k.windmask, k.datamask, k.n_last_bits % 16u};

    ev.window_footers.reserve(chunks);
    const bool channels_ok = detail::decode_chunks(ev, body, chunks, chunk, block, fields, [&](std::size_t start) {
        ev.window_footers.push_back(read_be16(body + 2 * (start + chunk - 1)));
    });
    if (!channels_ok) return Err{ParsingError::InvalidChannel};

    VEXO_TRY(util::set_time_axis(ev.time, ev.window_labels, params));
    return ev;
}

}  // namespace vexoacq::parsing
