#include "acquisition/yaml.hpp"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
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

void YamlMapping::Index::grow() {
    std::vector<Slot> old = std::move(slots);
    slots.assign(std::max<std::size_t>(16, 2 * old.size()), Slot{});
    const std::size_t mask = slots.size() - 1;
    for (const Slot& s : old) {
        if (s.entry == 0) continue;
        std::size_t i = s.hash & mask;
        while (slots[i].entry != 0) i = (i + 1) & mask;
        slots[i] = s;
    }
}

YamlMapping::YamlMapping(const YamlMapping& other)
    : entries_(other.entries_), index_(other.index_ ? std::make_unique<Index>(*other.index_) : nullptr) {}

YamlMapping& YamlMapping::operator=(const YamlMapping& other) {
    if (this != &other) {
        YamlMapping copy(other);
        *this = std::move(copy);
    }
    return *this;
}

YamlMapping::YamlMapping(YamlMapping&& other) noexcept
    : entries_(std::move(other.entries_)), index_(std::move(other.index_)) {
    other.clear();
}

YamlMapping& YamlMapping::operator=(YamlMapping&& other) noexcept {
    if (this != &other) {
        entries_ = std::move(other.entries_);
        index_ = std::move(other.index_);
        other.clear();
    }
    return *this;
}

YamlMapping::~YamlMapping() = default;

void YamlMapping::clear() noexcept {
    entries_.clear();
    index_.reset();
}

const YamlValue& YamlMapping::key(std::size_t i) const { return entries_.at(i).key; }
const YamlValue& YamlMapping::value(std::size_t i) const { return entries_.at(i).value; }

void YamlMapping::push_back(YamlValue key, YamlValue value) {
    if (key.type() == YamlValue::Type::String) {
        const std::uint64_t h = text_hash(key.as_string());
        push_back(std::move(key), std::move(value), h);
        return;
    }
    entries_.push_back(Entry{std::move(key), std::move(value)});
    added();
}

void YamlMapping::push_back(YamlValue key, YamlValue value, std::uint64_t key_text_hash) {
    if (key.type() == YamlValue::Type::String) key.bits_ = key_text_hash;
    entries_.push_back(Entry{std::move(key), std::move(value)});
    added();
}

void YamlMapping::added() {
    if (index_) {
        index(entries_.size() - 1);
    } else if (entries_.size() > kLinearEntries) {
        index_ = std::make_unique<Index>();
        for (std::size_t pos = 0; pos < entries_.size(); ++pos) index(pos);
    }
}

void YamlMapping::index(std::size_t pos) {
    const YamlValue& key = entries_[pos].key;
    if (key.type() != YamlValue::Type::String) return;
    check_invariant(pos < UINT32_MAX, "YAML mapping too large to index");
    Index& ix = *index_;
    if (2 * (ix.used + 1) > ix.slots.size()) ix.grow();
    const std::size_t mask = ix.slots.size() - 1;
    const std::uint64_t h = key.bits_;
    const std::string& text = key.as_string();
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
        Index::Slot& s = ix.slots[i];
        if (s.entry == 0) {
            s = Index::Slot{h, static_cast<std::uint32_t>(pos + 1)};
            ++ix.used;
            return;
        }
        // An earlier entry with the same text is the one that lookups find.
        if (s.hash == h && entries_[s.entry - 1].key.as_string() == text) return;
    }
}

namespace {
// The text of a key that the index holds: always a string with its node.
const std::string& indexed_text(const std::shared_ptr<const void>& node) noexcept {
    return *static_cast<const std::string*>(node.get());
}
}  // namespace

const YamlValue* YamlMapping::find(std::string_view key, std::uint64_t key_hash) const noexcept {
    const std::vector<Index::Slot>& slots = index_->slots;
    if (slots.empty()) return nullptr;  // no text key among the entries
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = key_hash & mask;; i = (i + 1) & mask) {
        const Index::Slot& s = slots[i];
        if (s.entry == 0) return nullptr;
        const Entry& e = entries_[s.entry - 1];
        if (s.hash == key_hash && indexed_text(e.key.node_) == key) return &e.value;
    }
}

const YamlValue* YamlMapping::get(std::string_view key) const noexcept {
    if (index_) return find(key, text_hash(key));
    for (const Entry& e : entries_) {
        if (e.key.type() == YamlValue::Type::String && e.key.as_string() == key) return &e.value;
    }
    return nullptr;
}

const YamlValue* YamlMapping::get(std::string_view key, std::uint64_t key_hash) const noexcept {
    if (index_) return find(key, key_hash);
    for (const Entry& e : entries_) {
        if (e.key.type() == YamlValue::Type::String && e.key.bits_ == key_hash && e.key.as_string() == key) {
            return &e.value;
        }
    }
    return nullptr;
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
    if (a.entries_.size() != b.entries_.size()) return false;
    for (std::size_t i = 0; i < a.entries_.size(); ++i) {
        if (!(a.entries_[i].key == b.entries_[i].key)) return false;
    }
    for (std::size_t i = 0; i < a.entries_.size(); ++i) {
        if (!(a.entries_[i].value == b.entries_[i].value)) return false;
    }
    return true;
}

// The node of a Tagged value: its tag and the one inner value.
struct YamlValue::Tagged {
    std::shared_ptr<const YamlTag> tag;
    YamlValue inner;
};

YamlValue YamlValue::boolean(bool b) {
    YamlValue v;
    v.type_ = Type::Bool;
    v.bits_ = b ? 1 : 0;
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
    v.bits_ = std::bit_cast<std::uint64_t>(d);
    return v;
}

YamlValue YamlValue::string(std::string s) {
    YamlValue v;
    v.type_ = Type::String;
    v.node_ = std::make_shared<const std::string>(std::move(s));
    return v;
}

YamlValue YamlValue::sequence(std::vector<YamlValue> items) {
    YamlValue v;
    v.type_ = Type::Sequence;
    v.node_ = std::make_shared<const std::vector<YamlValue>>(std::move(items));
    return v;
}

YamlValue YamlValue::mapping(YamlMapping m) {
    YamlValue v;
    v.type_ = Type::Mapping;
    v.node_ = std::make_shared<const YamlMapping>(std::move(m));
    return v;
}

YamlValue YamlValue::tagged(std::string tag, YamlValue inner) {
    return tagged(std::make_shared<const YamlTag>(std::move(tag)), std::move(inner));
}

YamlValue YamlValue::tagged(std::shared_ptr<const YamlTag> tag, YamlValue inner) {
    YamlValue v;
    v.type_ = Type::Tagged;
    v.node_ = std::make_shared<const Tagged>(Tagged{std::move(tag), std::move(inner)});
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

const std::string& YamlValue::as_string() const noexcept {
    return type_ == Type::String && node_ ? *static_cast<const std::string*>(node_.get()) : no_text();
}

const YamlTag& YamlValue::tag() const noexcept {
    if (type_ != Type::Tagged || !node_) return no_tag();
    const Tagged& t = *static_cast<const Tagged*>(node_.get());
    return t.tag ? *t.tag : no_tag();
}

const std::vector<YamlValue>& YamlValue::as_sequence() const noexcept {
    return type_ == Type::Sequence && node_ ? *static_cast<const std::vector<YamlValue>*>(node_.get()) : no_items();
}

const YamlMapping& YamlValue::as_mapping() const noexcept {
    return type_ == Type::Mapping && node_ ? *static_cast<const YamlMapping*>(node_.get()) : no_entries();
}

const YamlValue& YamlValue::tagged_value() const {
    if (type_ != Type::Tagged || !node_) internal_fault("YAML value is not tagged");
    return static_cast<const Tagged*>(node_.get())->inner;
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
        case YamlValue::Type::Bool: return a.as_bool() == b.as_bool();
        case YamlValue::Type::Integer: return a.negative_ == b.negative_ && a.bits_ == b.bits_;
        case YamlValue::Type::Float: return a.as_float() == b.as_float();
        case YamlValue::Type::String: return a.as_string() == b.as_string();
        case YamlValue::Type::Sequence: return a.as_sequence() == b.as_sequence();
        case YamlValue::Type::Mapping: return a.as_mapping() == b.as_mapping();
        case YamlValue::Type::Tagged: return a.tag() == b.tag() && a.tagged_value() == b.tagged_value();
    }
    return false;
}

}  // namespace vexoacq::acquisition
