// brindlexv3 decoder.
//
// Layout, in big-endian 16-bit words:
//   n_event_headers words of event header (not read),
//   window chunks of g(M) = M × block + n_window_headers words: M channel
//   blocks of block = samples + n_channel_headers words (word 0 the block
//   header with channel and label, then the samples), then unread words,
//   n_footer_words - 1 trailer words.
// The event says nowhere how many channels M it holds: M comes from the
// event's byte length (see get_chan_winds); every block then
// names its own channel.
//
// Keys that make the body, the first block headers or the chunk size fall
// outside the event are reported as UnexpectedLength: a length that does not
// fit the layout.
#include "parsing/brindlexv3.hpp"

#include <limits>

#include "parsing/util.hpp"
#include "parsing/zelk_common.hpp"

namespace vexoacq::parsing {
namespace brindlexv3 {

ParamsCache::ParamsCache(const Params& params) noexcept
    : channels(params.channels),
      windows(params.windows),
      samples(params.samples),
      block(params.samples + key_u32(params, "n_channel_headers", 1)),
      chanmask(key_u16(params, "chanmask", 0x0C00)),
      chan_shift(key_u16(params, "chan_shift", 10)),
      windmask(key_u16(params, "windmask", 0x03FE)),
      datamask(key_u16(params, "datamask", 0x1FFF)),
      n_event_headers(key_u32(params, "n_event_headers", 3)),
      n_window_headers(key_u32(params, "n_window_headers", 1)),
      n_footer_words(key_u32(params, "n_footer_words", 2)),
      n_last_bits(key_u32(params, "n_last_bits", 1)) {}

std::optional<ChanWinds> get_chan_winds(RawBytes raw, const ParamsCache& cache) {
    if (cache.channels == std::numeric_limits<std::size_t>::max()) return std::nullopt;
    // 2 × W × (M × block + 1) + 8 = 2 × (W × (M × block + 1) + 4)  (mod 2^64)
    const std::size_t len = raw.size();
    const std::size_t neh = cache.n_event_headers;
    // The first window chunk of M channels is M × block + n_window_headers words.
    return detail::choose_candidate(cache.channels, cache.windows, cache.block, 1, 4, len, 2 * neh,
                                    neh + cache.n_window_headers);
}

}  // namespace brindlexv3

template <>
Result<brindlexv3::Brindlexv3Event, ParsingError> parse_into<brindlexv3::Brindlexv3Event>(RawBytes raw,
                                                                                         const Params& params) {
    if (raw.empty()) return Err{ParsingError::MissingData};
    if (raw.size() % 2 != 0) return Err{ParsingError::UnexpectedLength};

    // Block headers carry 16-bit channel numbers; the length table is the
    // first step that reads the channel count.
    if (params.channels > kFieldChannelSlots) return Err{ParsingError::InvalidParameters};
    const brindlexv3::ParamsCache p(params);
    const auto chosen = brindlexv3::get_chan_winds(raw, p);
    if (!chosen) return Err{ParsingError::UnexpectedLength};
    // Only M is used: the number of windows follows from the event's length.
    const std::size_t m = chosen->first;

    const std::size_t n = raw.size() / 2;
    const std::size_t neh = p.n_event_headers;
    const std::size_t nf = p.n_footer_words;
    // The body is words [neh, n - nf + 1).
    if (nf == 0 || nf - 1 > n || neh > n - (nf - 1)) return Err{ParsingError::UnexpectedLength};
    const std::size_t body_len = n - (nf - 1) - neh;
    const std::uint8_t* body = raw.data() + 2 * neh;

    brindlexv3::Brindlexv3Event ev;
    ev.resize_channels(p.channels);

    const std::size_t block = p.block;
    const detail::BlockFields fields{p.chanmask, p.chan_shift % 16u, p.windmask, p.datamask, p.n_last_bits % 16u};

    // The first chunk's M block headers are checked before anything is decoded.
    for (std::size_t k = 0; k < m; ++k) {
        const std::size_t at = k * block;
        if (at >= body_len) return Err{ParsingError::UnexpectedLength};
        if (fields.channel(read_be16(body + 2 * at)) >= p.channels) return Err{ParsingError::InvalidChannel};
    }

    const std::size_t chunk = m * block + p.n_window_headers;
    if (chunk == 0) return Err{ParsingError::UnexpectedLength};
    const std::size_t chunks = body_len / chunk;
    if (chunks > 0 && block == 0) return Err{ParsingError::UnexpectedLength};
    if (!detail::decode_chunks(ev, body, chunks, chunk, block, fields, [](std::size_t) {}))
        return Err{ParsingError::InvalidChannel};

    VEXO_TRY(util::set_time_axis(ev.time, ev.window_labels, params));
    return ev;
}

}  // namespace vexoacq::parsing
