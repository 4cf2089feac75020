// Typed YAML values and the open, insertion-ordered YAML mapping.
//
// These are what "metadata.yml" becomes: Params.extra and Metadata.registers
// are YamlMappings.  Values are immutable trees whose strings, tags,
// sequences and mappings are shared between copies, so a node that aliases
// name many times is held once, and copying Params is cheap.
#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexoacq::acquisition {

class YamlMapping;

// The tag of a tagged value.  A tag written with a %TAG handle is the
// handle's prefix followed by the rest of the tag; the prefix is shared by
// every tag made with it, so a long prefix named by many tags is held once.
class YamlTag {
public:
    explicit YamlTag(std::string text) : rest_(std::move(text)) {}
    YamlTag(std::shared_ptr<const std::string> prefix, std::string rest)
        : prefix_(std::move(prefix)), rest_(std::move(rest)) {}

    std::size_t size() const noexcept { return prefix().size() + rest_.size(); }
    std::string_view prefix() const noexcept { return prefix_ ? std::string_view(*prefix_) : std::string_view(); }
    std::string_view rest() const noexcept { return rest_; }
    // The whole tag, e.g. "!mask".
    std::string text() const;

    // Equality of the whole texts, however they are split.
    friend bool operator==(const YamlTag& a, const YamlTag& b) noexcept;

private:
    std::shared_ptr<const std::string> prefix_;  // null: no prefix
    std::string rest_;
};

class YamlValue {
public:
    enum class Type : std::uint8_t { Null, Bool, Integer, Float, String, Sequence, Mapping, Tagged };

    YamlValue() = default;  // null

    static YamlValue null() { return {}; }
    static YamlValue boolean(bool b);
    static YamlValue integer(std::int64_t v);
    static YamlValue unsigned_integer(std::uint64_t v);
    static YamlValue floating(double v);
    static YamlValue string(std::string s);
    static YamlValue sequence(std::vector<YamlValue> items);
    static YamlValue mapping(YamlMapping m);
    // A value under a local tag such as "!mask" (kept only in registers).
    static YamlValue tagged(std::string tag, YamlValue inner);
    static YamlValue tagged(std::shared_ptr<const YamlTag> tag, YamlValue inner);

    Type type() const noexcept { return type_; }
    bool is_null() const noexcept { return type_ == Type::Null; }

    // Integers span -2^63 .. 2^64-1.
    bool is_integer() const noexcept { return type_ == Type::Integer; }
    bool is_negative() const noexcept { return type_ == Type::Integer && negative_; }
    // The value when it is an integer of zero or more.
    std::optional<std::uint64_t> as_unsigned() const noexcept;
    // The value when it is an integer that fits in int64.
    std::optional<std::int64_t> as_signed() const noexcept;

    bool as_bool() const noexcept { return bits_ != 0; }
    double as_float() const noexcept { return std::bit_cast<double>(bits_); }
    // String content; empty for the other types.
    const std::string& as_string() const noexcept;
    // The tag of a tagged value; an empty tag for the other types.
    const YamlTag& tag() const noexcept;
    const std::vector<YamlValue>& as_sequence() const noexcept;
    const YamlMapping& as_mapping() const noexcept;
    const YamlValue& tagged_value() const;

    // Structural equality (floats by value, so NaN never equals NaN).
    friend bool operator==(const YamlValue& a, const YamlValue& b);

private:
    friend class YamlMapping;
    struct Tagged;

    Type type_ = Type::Null;
    bool negative_ = false;  // Integer: bits_ holds an int64 when set
    // Bool: 0 or 1; Integer: the value's bits; Float: the double's bits;
    // String: nothing, except for a key inside a YamlMapping, where it holds
    // the text's text_hash.
    std::uint64_t bits_ = 0;
    // What the value's copies share: for String the std::string, for
    // Sequence the std::vector<YamlValue>, for Mapping the YamlMapping, for
    // Tagged the tag with the inner value; null for the other types.
    std::shared_ptr<const void> node_;
};

// Insertion-ordered mapping from YAML values to YAML values.  Lookup is by key
// text: get("chanmask") finds the entry whose key is the string "chanmask".
//
// A mapping of more than kLinearEntries entries carries an index of its text
// keys, built as entries are added, so that a lookup costs the same however
// many entries there are: the decoders look their tuning keys up on every
// decode, and `params` may hold any number of other keys.  A smaller mapping
// (most of them: a file may hold millions of one-entry mappings) has no
// index and is searched in order, which for a few entries is as fast.  The
// index is a table of entry positions, hashed with a key drawn at random
// once per process, so that keys cannot be chosen to collide and make
// building it quadratic; it holds no pointers, so copies of a mapping are
// independent.  Each text key keeps its hash beside it (in the key value's
// own unused number field), so a key whose hash the caller already has is
// never hashed again, even when the mapping grows past kLinearEntries.
class YamlMapping {
public:
    static constexpr std::size_t kLinearEntries = 8;

    YamlMapping() = default;
    YamlMapping(const YamlMapping& other);
    YamlMapping& operator=(const YamlMapping& other);
    // A mapping moved from is left empty, its index too.
    YamlMapping(YamlMapping&& other) noexcept;
    YamlMapping& operator=(YamlMapping&& other) noexcept;
    ~YamlMapping();

    void push_back(YamlValue key, YamlValue value);
    // The same for a string key whose text_hash the caller has already
    // computed (a long key named by many mappings is then hashed once).
    void push_back(YamlValue key, YamlValue value, std::uint64_t key_text_hash);
    // Room for n entries in all, so that a mapping of known size is built
    // without spare capacity.
    void reserve(std::size_t n) { entries_.reserve(n); }
    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    const YamlValue& key(std::size_t i) const;
    const YamlValue& value(std::size_t i) const;

    // The value of the first entry whose key is the text string `key`, or null.
    const YamlValue* get(std::string_view key) const noexcept;
    // The same, with `key_hash` == text_hash(key).
    const YamlValue* get(std::string_view key, std::uint64_t key_hash) const noexcept;

    // The hash of a key text that the index uses (keyed per process).
    static std::uint64_t text_hash(std::string_view text) noexcept;

    friend bool operator==(const YamlMapping& a, const YamlMapping& b);

private:
    struct Entry {
        YamlValue key;
        YamlValue value;
    };
    // The index of a mapping of more than kLinearEntries entries.  A slot
    // holds the hash of an entry's key text, which most probes of other keys
    // fail on without reading the key (and which growing the table reuses),
    // and 1 + the entry's position (0: empty).
    struct Index {
        struct Slot {
            std::uint64_t hash = 0;
            std::uint32_t entry = 0;
        };
        std::vector<Slot> slots;  // open addressing, a power of two in size, at most half full
        std::size_t used = 0;     // slots in use
        void grow();
    };

    // Adds the entry at `pos`, a string key whose hash it holds, to the
    // index unless an earlier entry has the same text.
    void index(std::size_t pos);
    // Indexes the entry just added, or the whole mapping once it has grown
    // past kLinearEntries.
    void added();
    // The lookup through the index, which the mapping has.
    const YamlValue* find(std::string_view key, std::uint64_t key_hash) const noexcept;
    void clear() noexcept;

    std::vector<Entry> entries_;
    std::unique_ptr<Index> index_;  // null while there are at most kLinearEntries entries
};

}  // namespace vexoacq::acquisition
