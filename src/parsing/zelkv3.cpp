// zelkv3 decoder (also run for quopv2 events, which share the layout).
//
// Layout, in big-endian 16-bit words:
//   n_event_headers words of event header (only bytes 0..2 are read),
//   W windows of t = samples + n_window_headers words: word 0 the window
//   header (channel and label), words 1..t-1 the samples,
//   n_footers - 1 trailer words.
// The event does not say how many channels it carries.  The channel numbers
// of the first `channels` window headers form the channel list L; the i-th
// smallest channel owns the windows at positions i, i + |L|, i + 2|L|, ...,
// whatever the later headers say.
//
// Counts follow machine-word wrapping arithmetic, so a short event can pass
// both length tests with a body range that does not exist; such an event is
// reported as UnexpectedLength, like every other length that does not fit.
#include "parsing/zelkv3.hpp"

#include <algorithm>

#include "parsing/util.hpp"
#include "parsing/zelk_common.hpp"

namespace vexoacq::parsing {
namespace zelkv3 {

ParamsCache::ParamsCache(const Params& params) noexcept
    : channels(params.channels),
      samples(params.samples),
      databitmask(key_u16(params, "databitmask", 0x1FFF)),
      chanmask(key_u16(params, "chanmask", 0x0600)),
      chan_shift(key_u16(params, "chan_shift", 9)),
      windmask(key_u16(params, "windmask", 0x01FE)),
      n_event_headers(key_u32(params, "n_event_headers", 3)),
      n_window_headers(key_u32(params, "n_window_headers", 1)),
      n_footers(key_u32(params, "n_footers", 2)),
      n_last_bits(key_u32(params, "n_last_bits", 1)) {}

}  // namespace zelkv3

template <>
Result<zelkv3::Zelkv3Event, ParsingError> parse_into<zelkv3::Zelkv3Event>(RawBytes raw, const Params& params) {
    if (raw.empty()) return Err{ParsingError::MissingData};
    if (raw.size() % 2 != 0) return Err{ParsingError::UnexpectedLength};

    const zelkv3::ParamsCache p(params);
    const std::size_t n = raw.size() / 2;
    const std::size_t neh = p.n_event_headers;
    const std::size_t nf = p.n_footers;

    // First length test: windows of samples + 1 words and a one-word trailer,
    // whatever the keys say.
    const std::size_t probe = p.samples + 1;
    if (probe == 0) return Err{ParsingError::UnexpectedLength};
    if ((n - neh - 1) % probe != 0) return Err{ParsingError::UnexpectedLength};

    // Window headers carry 16-bit channel numbers.
    if (p.channels > kFieldChannelSlots) return Err{ParsingError::InvalidParameters};
    zelkv3::Zelkv3Event ev;
    ev.resize_channels(p.channels);

    if (raw.size() < 3) return Err{ParsingError::UnexpectedLength};
    // The two terms overlap in bits 4..7 and are added, not OR-ed.
    ev.header_code = (static_cast<std::uint32_t>(raw[0]) * 65536u + static_cast<std::uint32_t>(raw[1]) * 16u) +
                     (raw[2] == 0xFF ? 0u : static_cast<std::uint32_t>(raw[2]));
    ev.header_byte = raw[2];

    // Second length test, under the keys.
    const std::size_t t = p.samples + p.n_window_headers;
    const std::size_t span = n - nf - neh + 1;
    if (t == 0 || span % t != 0) return Err{ParsingError::UnexpectedLength};
    // The body is words [neh, n - nf + 1): it exists only when there is at
    // least one footer word and header plus trailer fit in the event.
    if (nf == 0 || nf - 1 > n || neh > n - (nf - 1)) return Err{ParsingError::UnexpectedLength};
    const std::size_t windows = span / t;
    const std::uint8_t* body = raw.data() + 2 * neh;

    const unsigned cshift = p.chan_shift % 16u;
    const unsigned lshift = p.n_last_bits % 16u;
    const auto header_at = [&](std::size_t w) { return read_be16(body + 2 * w * t); };

    // Channel list: the distinct channel numbers of the first `channels` headers.
    const std::size_t probed = std::min(p.channels, windows);
    std::vector<std::uint16_t> list(probed);
    for (std::size_t w = 0; w < probed; ++w)
        list[w] = static_cast<std::uint16_t>((header_at(w) & p.chanmask) >> cshift);
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
    // The list is sorted, so its last entry is the one checked last.
    if (!list.empty() && list.back() >= p.channels) return Err{ParsingError::InvalidChannel};

    const std::size_t k = list.size();
    const std::size_t per_window = t - 1;
    for (std::size_t i = 0; i < k; ++i) {
        const std::size_t c = list[i];
        const std::size_t owned = (windows - i + k - 1) / k;  // i < k <= windows
        auto& data = ev.data[c];
        auto& labels = ev.window_labels[c];
        data.resize(owned * per_window);
        labels.resize(owned);
        std::size_t j = 0;
        for (std::size_t w = i; w < windows; w += k, ++j) {
            const std::uint8_t* win = body + 2 * w * t;
            labels[j] = static_cast<std::uint16_t>((read_be16(win) & p.windmask) >> lshift);
            detail::decode_samples(data.data() + j * per_window, win + 2, per_window, p.databitmask, lshift);
        }
    }

    VEXO_TRY(util::set_time_axis(ev.time, ev.window_labels, params));
    return ev;
}

}  // namespace vexoacq::parsing
