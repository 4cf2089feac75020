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
}  // namespace

Result<void, ParsingError> set_time_axis(std::vector<std::vector<std::uint16_t>>& time,
                                         const std::vector<std::vector<std::uint16_t>>& window_labels,
                                         const Params& params) {
    const std::size_t channels = params.channels;
    const runtime::cpu::Kernel kernel = runtime::cpu::best();
    for (std::size_t c = 0; c < channels; ++c) {
        if (c >= window_labels.size()) return Err{ParsingError::MissingData};
        const auto& labels = window_labels[c];
        if (labels.empty()) continue;
        if (c >= time.size()) return Err{ParsingError::MissingData};
        auto& out = time[c];
        const std::size_t pos = out.size();
        const std::size_t added = positions(labels, params.samples, out.max_size() - pos);
        out.resize(pos + added);
        kernels::time_axis(kernel, labels.data(), labels.size(), params.windows, params.samples, out.data() + pos);
    }
    return {};
}

Result<void, ParsingError> replace_time_axis(std::vector<std::vector<std::uint16_t>>& time,
                                             const std::vector<std::vector<std::uint16_t>>& window_labels,
                                             const Params& params, runtime::cpu::Kernel kernel) {
    const std::size_t channels = params.channels;
    for (std::size_t c = 0; c < channels; ++c) {
        if (c >= window_labels.size()) return Err{ParsingError::MissingData};
        const auto& labels = window_labels[c];
        if (labels.empty()) {
            if (c < time.size()) time[c].clear();
            continue;
        }
        if (c >= time.size()) return Err{ParsingError::MissingData};
        auto& out = time[c];
        out.resize(positions(labels, params.samples, out.max_size()));
        kernels::time_axis(kernel, labels.data(), labels.size(), params.windows, params.samples, out.data());
    }
    // Channels the rule does not visit keep no times.
    for (std::size_t c = channels; c < time.size(); ++c) time[c].clear();
    return {};
}

}  // namespace util
}  // namespace vexoacq::parsing
