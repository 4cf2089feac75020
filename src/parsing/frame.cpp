#include "parsing/frame.hpp"

#include "parsing/util.hpp"

namespace vexoacq::parsing {

std::vector<std::uint16_t> be_words(RawBytes raw) {
    std::vector<std::uint16_t> out(raw.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = read_be16(raw.data() + 2 * i);
    return out;
}

std::vector<std::uint16_t> le_words(RawBytes raw) {
    std::vector<std::uint16_t> out(raw.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = read_le16(raw.data() + 2 * i);
    return out;
}

// Words are compared in their stored byte order (the pattern is the word's
// two big-endian bytes as one host word), and groups of 32 are tested with a
// branch-free reduction first, since the words looked for (stop words) are
// rare.
std::size_t find_be_word(const std::uint8_t* bytes, std::size_t from, std::size_t end, std::uint16_t word) noexcept {
    const std::uint8_t be[2] = {static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word & 0xFFu)};
    std::uint16_t pattern = 0;
    std::memcpy(&pattern, be, 2);
    const auto stored = [bytes](std::size_t i) noexcept {
        std::uint16_t v = 0;
        std::memcpy(&v, bytes + 2 * i, 2);
        return v;
    };
    constexpr std::size_t kGroup = 32;
    std::size_t i = from;
    while (end - i >= kGroup) {
        unsigned hit = 0;
        for (std::size_t k = 0; k < kGroup; ++k) hit |= static_cast<unsigned>(stored(i + k) == pattern);
        if (hit != 0) break;
        i += kGroup;
    }
    for (; i < end; ++i)
        if (stored(i) == pattern) return i;
    return end;
}

namespace {
const acquisition::YamlValue* lookup(const Params& params, std::string_view key) noexcept {
    const acquisition::YamlValue* v = params.extra.get(key);
    if (v == nullptr || !v->as_unsigned()) return nullptr;
    return v;
}
}  // namespace

std::uint16_t key_u16(const Params& params, std::string_view key, std::uint16_t fallback) noexcept {
    const auto* v = lookup(params, key);
    return v ? static_cast<std::uint16_t>(*v->as_unsigned() & 0xFFFFu) : fallback;
}

std::uint32_t key_u32(const Params& params, std::string_view key, std::uint32_t fallback) noexcept {
    const auto* v = lookup(params, key);
    return v ? static_cast<std::uint32_t>(*v->as_unsigned() & 0xFFFFFFFFu) : fallback;
}

std::size_t channels_per_chip(const Params& params, std::uint32_t default_chips) {
    const std::uint32_t chips = key_u32(params, "num_chips", default_chips);
    check_invariant(chips != 0, "num_chips must be non-zero");
    return params.channels / chips;
}

namespace util {

namespace {
// labels.size() * samples positions; a count that does not fit a machine word
// (or a list) is a broken invariant: it can only come from an absurd
// `samples`.
std::size_t positions(const std::vector<std::uint16_t>& labels, std::size_t samples, std::size_t room) {
    std::size_t n = 0;
    check_invariant(!__builtin_mul_overflow(labels.size(), samples, &n) && n <= room, "capacity overflow");
    return n;
}

// Where a visited channel's positions go: after what its time list holds, or
// over the list from its start.  Overwriting keeps a reused list that already
// has the right length as it is (no emptying, no zero fill before the
// positions are written), and then also empties the lists the rule gives no
// positions: channels without labels and channels at Params.channels or
// beyond.
enum class Write { Append, Over };

Result<void, ParsingError> apply_rule(std::vector<std::vector<std::uint16_t>>& time,
                                      const std::vector<std::vector<std::uint16_t>>& window_labels,
                                      const Params& params, runtime::cpu::Kernel kernel, Write write) {
    const std::size_t channels = params.channels;
    for (std::size_t c = 0; c < channels; ++c) {
        if (c >= window_labels.size()) return Err{ParsingError::MissingData};
        const auto& labels = window_labels[c];
        if (labels.empty()) {
            if (write == Write::Over && c < time.size()) time[c].clear();
            continue;
        }
        if (c >= time.size()) return Err{ParsingError::MissingData};
        auto& out = time[c];
        const std::size_t pos = write == Write::Append ? out.size() : 0;
        out.resize(pos + positions(labels, params.samples, out.max_size() - pos));
        kernels::time_axis(kernel, labels.data(), labels.size(), params.windows, params.samples, out.data() + pos);
    }
    if (write == Write::Over)
        for (std::size_t c = channels; c < time.size(); ++c) time[c].clear();
    return {};
}
}  // namespace

Result<void, ParsingError> set_time_axis(std::vector<std::vector<std::uint16_t>>& time,
                                         const std::vector<std::vector<std::uint16_t>>& window_labels,
                                         const Params& params, runtime::cpu::Kernel kernel) {
    return apply_rule(time, window_labels, params, kernel, Write::Append);
}

Result<void, ParsingError> replace_time_axis(std::vector<std::vector<std::uint16_t>>& time,
                                             const std::vector<std::vector<std::uint16_t>>& window_labels,
                                             const Params& params, runtime::cpu::Kernel kernel) {
    return apply_rule(time, window_labels, params, kernel, Write::Over);
}

}  // namespace util
}  // namespace vexoacq::parsing
