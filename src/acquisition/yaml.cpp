#include "acquisition/yaml.hpp"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <utility>

#include "error.hpp"

namespace vexoacq::acquisition {

namespace {

// SipHash-1-3 (Aumasson and Bernstein): a keyed hash for which, without the
// key, no one can choose texts that collide.  The key is drawn once per
// process.
struct SipKey {
    std::uint64_t k0 = 0, k1 = 0;
};

// From the kernel's generator; where that is refused (an old kernel, a
// sandbox), from std::random_device, and failing that from the clock and the
// addresses the process was given: never an exception, since the lookups
// that first ask for the key cannot fail.
SipKey random_key() noexcept {
    std::uint64_t words[2] = {0, 0};
    if (::getrandom(words, sizeof words, 0) == static_cast<ssize_t>(sizeof words)) return SipKey{words[0], words[1]};
    try {
        std::random_device device;
        return SipKey{(std::uint64_t{device()} << 32) ^ device(), (std::uint64_t{device()} << 32) ^ device()};
    } catch (...) {
    }
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const auto stack = reinterpret_cast<std::uintptr_t>(&now);
    const auto code = reinterpret_cast<std::uintptr_t>(&random_key);
    return SipKey{static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(now.tv_sec) << 30) ^ stack,
                  code ^ (stack << 17) ^ static_cast<std::uint64_t>(::getpid())};
}

const SipKey& process_key() {
    static const SipKey key = random_key();
    return key;
}

constexpr std::uint64_t rotl(std::uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

struct SipState {
    std::uint64_t v0, v1, v2, v3;
    void round() noexcept {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }
    void absorb(std::uint64_t m) noexcept {
        v3 ^= m;
        round();
        v0 ^= m;
    }
};

std::uint64_t siphash13(const SipKey& key, std::string_view text) noexcept {
    SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL, key.k0 ^ 0x6c7967656e657261ULL,
               key.k1 ^ 0x7465646279746573ULL};
    const char* p = text.data();
    const std::size_t n = text.size();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t m = 0;
        std::memcpy(&m, p + i, 8);  // little-endian hosts only (x86-64, aarch64)
        s.absorb(m);
    }
    std::uint64_t last = static_cast<std::uint64_t>(n) << 56;
    for (std::size_t j = 0; i + j < n; ++j) last |= std::uint64_t{static_cast<unsigned char>(p[i + j])} << (8 * j);
    s.absorb(last);
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace

std::uint64_t YamlMapping::text_hash(std::string_view text) noexcept { return siphash13(process_key(), text); }

YamlMapping::YamlMapping(YamlMapping&& other) noexcept
    : keys_(std::move(other.keys_)),
      values_(std::move(other.values_)),
      slots_(std::move(other.slots_)),
      indexed_(std::exchange(other.indexed_, 0)) {
    other.clear();
}

YamlMapping& YamlMapping::operator=(YamlMapping&& other) noexcept {
    if (this != &other) {
        keys_ = std::move(other.keys_);
        values_ = std::move(other.values_);
        slots_ = std::move(other.slots_);
        indexed_ = std::exchange(other.indexed_, 0);
        other.clear();
    }
    return *this;
}

void YamlMapping::clear() noexcept {
    keys_.clear();
    values_.clear();
    slots_.clear();
    indexed_ = 0;
}

void YamlMapping::push_back(YamlValue key, YamlValue value) {
    if (key.type() == YamlValue::Type::String) {
        const std::uint64_t h = text_hash(key.as_string());
        push_back(std::move(key), std::move(value), h);
        return;
    }
    keys_.push_back(std::move(key));
    values_.push_back(std::move(value));
}

void YamlMapping::push_back(YamlValue key, YamlValue value, std::uint64_t key_text_hash) {
    const bool text = key.type() == YamlValue::Type::String;
    keys_.push_back(std::move(key));
    values_.push_back(std::move(value));
    if (text) index(keys_.size() - 1, key_text_hash);
}

void YamlMapping::grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(std::max<std::size_t>(8, 2 * old.size()), Slot{});
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
        if (s.entry == 0) continue;
        std::size_t i = s.hash & mask;
        while (slots_[i].entry != 0) i = (i + 1) & mask;
        slots_[i] = s;
    }
}

void YamlMapping::index(std::size_t pos, std::uint64_t h) {
    check_invariant(pos < UINT32_MAX, "YAML mapping too large to index");
    if (2 * (indexed_ + 1) > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    const std::string& text = keys_[pos].as_string();
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
        Slot& s = slots_[i];
        if (s.entry == 0) {
            s = Slot{h, static_cast<std::uint32_t>(pos + 1)};
            ++indexed_;
            return;
        }
        // An earlier entry with the same text is the one that lookups find.
        if (s.hash == h && keys_[s.entry - 1].as_string() == text) return;
    }
}

const YamlValue* YamlMapping::get(std::string_view key) const noexcept {
    if (slots_.empty()) return nullptr;
    return get(key, text_hash(key));
}

const YamlValue* YamlMapping::get(std::string_view key, std::uint64_t key_hash) const noexcept {
    if (slots_.empty()) return nullptr;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = key_hash & mask;; i = (i + 1) & mask) {
        const Slot& s = slots_[i];
        if (s.entry == 0) return nullptr;
        if (s.hash == key_hash && keys_[s.entry - 1].as_string() == key) return &values_[s.entry - 1];
    }
}

std::string YamlTag::text() const {
    std::string out;
    out.reserve(size());
    out.append(prefix());
    out.append(rest_);
    return out;
}

bool operator==(const YamlTag& a, const YamlTag& b) noexcept {
    if (&a == &b) return true;
    if (a.size() != b.size()) return false;
    const std::string_view pa[2] = {a.prefix(), a.rest()};
    const std::string_view pb[2] = {b.prefix(), b.rest()};
    std::size_t ia = 0, ib = 0, oa = 0, ob = 0;
    while (ia < 2 && ib < 2) {
        if (oa == pa[ia].size()) {
            ++ia, oa = 0;
            continue;
        }
        if (ob == pb[ib].size()) {
            ++ib, ob = 0;
            continue;
        }
        const std::size_t n = std::min(pa[ia].size() - oa, pb[ib].size() - ob);
        if (std::memcmp(pa[ia].data() + oa, pb[ib].data() + ob, n) != 0) return false;
        oa += n;
        ob += n;
    }
    return true;
}

bool operator==(const YamlMapping& a, const YamlMapping& b) {
    return a.keys_ == b.keys_ && a.values_ == b.values_;
}

YamlValue YamlValue::boolean(bool b) {
    YamlValue v;
    v.type_ = Type::Bool;
    v.bool_ = b;
    return v;
}

YamlValue YamlValue::integer(std::int64_t i) {
    YamlValue v;
    v.type_ = Type::Integer;
    v.negative_ = i < 0;
    v.bits_ = static_cast<std::uint64_t>(i);
    return v;
}

YamlValue YamlValue::unsigned_integer(std::uint64_t u) {
    YamlValue v;
    v.type_ = Type::Integer;
    v.negative_ = false;
    v.bits_ = u;
    return v;
}

YamlValue YamlValue::floating(double d) {
    YamlValue v;
    v.type_ = Type::Float;
    v.float_ = d;
    return v;
}

YamlValue YamlValue::string(std::string s) {
    YamlValue v;
    v.type_ = Type::String;
    v.string_ = std::make_shared<const std::string>(std::move(s));
    return v;
}

YamlValue YamlValue::sequence(std::vector<YamlValue> items) {
    YamlValue v;
    v.type_ = Type::Sequence;
    v.items_ = std::make_shared<const std::vector<YamlValue>>(std::move(items));
    return v;
}

YamlValue YamlValue::mapping(YamlMapping m) {
    YamlValue v;
    v.type_ = Type::Mapping;
    v.mapping_ = std::make_shared<const YamlMapping>(std::move(m));
    return v;
}

YamlValue YamlValue::tagged(std::string tag, YamlValue inner) {
    return tagged(std::make_shared<const YamlTag>(std::move(tag)), std::move(inner));
}

YamlValue YamlValue::tagged(std::shared_ptr<const YamlTag> tag, YamlValue inner) {
    YamlValue v;
    v.type_ = Type::Tagged;
    v.tag_ = std::move(tag);
    std::vector<YamlValue> one;
    one.push_back(std::move(inner));
    v.items_ = std::make_shared<const std::vector<YamlValue>>(std::move(one));
    return v;
}

namespace {
const std::string& no_text() {
    static const std::string empty;
    return empty;
}
const std::vector<YamlValue>& no_items() {
    static const std::vector<YamlValue> empty;
    return empty;
}
const YamlMapping& no_entries() {
    static const YamlMapping empty;
    return empty;
}
const YamlTag& no_tag() {
    static const YamlTag empty{std::string()};
    return empty;
}
}  // namespace

const std::string& YamlValue::as_string() const noexcept { return string_ ? *string_ : no_text(); }

const YamlTag& YamlValue::tag() const noexcept { return type_ == Type::Tagged && tag_ ? *tag_ : no_tag(); }

const std::vector<YamlValue>& YamlValue::as_sequence() const noexcept {
    return type_ == Type::Sequence && items_ ? *items_ : no_items();
}

const YamlMapping& YamlValue::as_mapping() const noexcept {
    return type_ == Type::Mapping && mapping_ ? *mapping_ : no_entries();
}

const YamlValue& YamlValue::tagged_value() const {
    if (type_ != Type::Tagged || !items_) internal_fault("YAML value is not tagged");
    return items_->at(0);
}

std::optional<std::uint64_t> YamlValue::as_unsigned() const noexcept {
    if (type_ != Type::Integer || negative_) return std::nullopt;
    return bits_;
}

std::optional<std::int64_t> YamlValue::as_signed() const noexcept {
    if (type_ != Type::Integer) return std::nullopt;
    if (negative_) return static_cast<std::int64_t>(bits_);
    if (bits_ > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(bits_);
}

bool operator==(const YamlValue& a, const YamlValue& b) {
    if (a.type_ != b.type_) return false;
    switch (a.type_) {
        case YamlValue::Type::Null: return true;
        case YamlValue::Type::Bool: return a.bool_ == b.bool_;
        case YamlValue::Type::Integer: return a.negative_ == b.negative_ && a.bits_ == b.bits_;
        case YamlValue::Type::Float: return a.float_ == b.float_;
        case YamlValue::Type::String: return a.as_string() == b.as_string();
        case YamlValue::Type::Sequence: return a.as_sequence() == b.as_sequence();
        case YamlValue::Type::Mapping: return a.as_mapping() == b.as_mapping();
        case YamlValue::Type::Tagged: return a.tag() == b.tag() && a.tagged_value() == b.tagged_value();
    }
    return false;
}

}  // namespace vexoacq::acquisition
