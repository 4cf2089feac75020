// mervyv1 decoder ("mervyv2_eval", "mervyv1_evalr2", "mervyv2_evalr1",
// "mervyv2_evalr2").
//
// A mervy event is a stream of big-endian 16-bit words cut into segments,
// each closed by the stop word.  A segment of exactly P = packet_size / 2 + 1
// words is a packet and carries one window of one channel:
//   word 0          channel (& chanmask)
//   words 1, 2      timing: ((w1 & timing_mask) << timing_shift) | (w2 & timing_mask)
//   word 3          window label (& abs_wind_mask)
//   words headers.. S = samples whole sample words
//   word P - 1      the stop word
// Other segments and the words after the last stop word carry nothing.  A
// packet whose sample words are all zero is an unfilled window and is passed
// over.  The time axis is not the common ring rule: every channel gets one
// contiguous run of sample slots that starts at its first timing value,
// measured from the earliest first timing value of the event, in windows of
// S samples.
#include "parsing/mervyv1.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <optional>
#include <string_view>

namespace vexoacq::parsing {
namespace mervyv1 {

namespace {

constexpr std::uint16_t kDefaultStopWord = 0xFA5A;

std::optional<std::uint32_t> parse_hex_u32(std::string_view text) noexcept {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char ch : text) {
        unsigned digit = 0;
        if (ch >= '0' && ch <= '9') digit = static_cast<unsigned>(ch - '0');
        else if (ch >= 'a' && ch <= 'f') digit = static_cast<unsigned>(ch - 'a' + 10);
        else if (ch >= 'A' && ch <= 'F') digit = static_cast<unsigned>(ch - 'A' + 10);
        else return std::nullopt;
        value = value * 16 + digit;
        if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

// Big-endian word at word index i of the event.
inline std::uint16_t word_at(const std::uint8_t* bytes, std::size_t i) noexcept { return read_be16(bytes + 2 * i); }

bool any_nonzero(const std::uint8_t* p, std::size_t n) noexcept {
    unsigned acc = 0;
    for (std::size_t i = 0; i < 2 * n; ++i) acc |= p[i];
    return acc != 0;
}

struct Packet {
    const std::uint8_t* at;
    std::size_t channel;
};

}  // namespace

std::uint16_t stop_word(const Params& params) noexcept {
    const acquisition::YamlValue* v = params.extra.get("stop_word");
    if (v == nullptr || v->type() != acquisition::YamlValue::Type::String) return kDefaultStopWord;
    const std::optional<std::uint32_t> n = parse_hex_u32(v->as_string());
    return n ? static_cast<std::uint16_t>(*n & 0xFFFF) : kDefaultStopWord;
}

}  // namespace mervyv1

template <>
Result<mervyv1::Mervyv1Event, ParsingError> parse_into<mervyv1::Mervyv1Event>(RawBytes raw, const Params& params) {
    if (raw.size() % 2 != 0) return Err{ParsingError::UnexpectedLength};

    const std::uint16_t chanmask = key_u16(params, "chanmask", 0x003F);
    const std::uint16_t abs_wind_mask = key_u16(params, "abs_wind_mask", 0x003F);
    const std::uint32_t timing_mask = key_u16(params, "timing_mask", 0x0FFF);
    const std::uint32_t timing_shift = key_u32(params, "timing_shift", 12) % 32;
    const std::size_t packet_words = std::size_t{key_u32(params, "packet_size", 72)} / 2 + 1;
    const std::size_t headers = key_u32(params, "headers", 4);
    const std::uint16_t stop = mervyv1::stop_word(params);
    const std::size_t channels = params.channels;
    const std::size_t samples = params.samples;

    // Packets: segments closed by the stop word that are exactly P words long.
    const std::uint8_t* const bytes = raw.data();
    const std::size_t n_words = raw.size() / 2;
    std::vector<const std::uint8_t*> packets;
    packets.reserve(n_words / packet_words);
    // A segment runs up to its stop word and is a packet when that is its
    // P-th word, so only its first P words need a look; a longer segment is
    // then passed over to its stop word.  Every word is read once.
    std::size_t seg = 0;
    while (seg < n_words) {
        const std::size_t reach = seg + std::min(packet_words, n_words - seg);
        std::size_t end = find_be_word(bytes, seg, reach, stop);
        if (end == reach) end = find_be_word(bytes, reach, n_words, stop);
        else if (end - seg + 1 == packet_words) packets.push_back(bytes + 2 * seg);
        seg = end + 1;
    }
    if (packets.empty()) return Err{ParsingError::EmptyPackage};

    // The record's slots come first, and the per-channel counts below are
    // sized by them.  Packet word 0 carries a 16-bit channel number.
    if (channels > kFieldChannelSlots) return Err{ParsingError::InvalidParameters};
    mervyv1::Mervyv1Event event;
    event.resize_channels(channels);
    event.timing.resize(channels);

    // Pass 1: which packets carry data, and their channels, in event order.
    std::vector<mervyv1::Packet> decoded;
    std::vector<std::size_t> per_channel(channels, 0);
    if (samples != 0 && packet_words >= headers) {
        decoded.reserve(packets.size());
        // The words tested for data: the S after the headers, or as many of
        // them as the packet holds (the stop word included).
        const std::size_t probe = std::min(samples, packet_words - headers);
        for (const std::uint8_t* pk : packets) {
            if (!mervyv1::any_nonzero(pk + 2 * headers, probe)) continue;
            const std::size_t channel = mervyv1::word_at(pk, 0) & chanmask;
            if (channel >= channels) return Err{ParsingError::InvalidChannel};
            check_invariant(packet_words >= 4 && packet_words - headers >= samples,
                            "packet too short for its header words and samples");
            decoded.push_back({pk, channel});
            ++per_channel[channel];
        }
    }
    if (decoded.empty()) return Err{ParsingError::MissingData};

    // Pass 2: every list sized once, then filled in packet order.
    for (std::size_t c = 0; c < channels; ++c) {
        if (per_channel[c] == 0) continue;
        event.data[c].reserve(per_channel[c] * samples);
        event.window_labels[c].reserve(per_channel[c]);
        event.timing[c].reserve(per_channel[c]);
    }
    for (const mervyv1::Packet& pk : decoded) {
        const std::uint32_t high = (mervyv1::word_at(pk.at, 1) & timing_mask) << timing_shift;
        const std::uint32_t low = mervyv1::word_at(pk.at, 2) & timing_mask;
        event.timing[pk.channel].push_back(high | low);
        event.window_labels[pk.channel].push_back(static_cast<std::uint16_t>(mervyv1::word_at(pk.at, 3) & abs_wind_mask));
        auto& data = event.data[pk.channel];
        const std::size_t at = data.size();
        data.resize(at + samples);
        float* out = data.data() + at;
        const std::uint8_t* src = pk.at + 2 * headers;
        for (std::size_t s = 0; s < samples; ++s) {
            std::uint16_t w;
            std::memcpy(&w, src + 2 * s, sizeof w);
            if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap16(w);
            out[s] = static_cast<float>(w);
        }
    }

    // The time axis, from the earliest first timing value.
    std::size_t tmin = std::numeric_limits<std::size_t>::max();
    for (const auto& t : event.timing)
        if (!t.empty()) tmin = std::min(tmin, t.front());
    for (std::size_t c = 0; c < channels; ++c) {
        const std::size_t n = event.window_labels[c].size();
        if (n == 0) continue;
        // Unsigned arithmetic wraps modulo 2^64, a multiple of 65536.
        const std::size_t t0 = event.timing[c].front() - tmin;
        const std::size_t begin = (t0 * samples) & 0xFFFF;
        const std::size_t end = ((t0 + n) * samples) & 0xFFFF;
        if (end <= begin) continue;
        auto& time = event.time[c];
        time.resize(end - begin);
        for (std::size_t k = 0; k < end - begin; ++k) time[k] = static_cast<std::uint16_t>(begin + k);
    }
    return event;
}

}  // namespace vexoacq::parsing
