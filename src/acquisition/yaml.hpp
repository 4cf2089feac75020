// Typed YAML values and the open, insertion-ordered YAML mapping.
//
// These are what "metadata.yml" becomes: Params.extra and Metadata.registers
// are YamlMappings.  Values are immutable trees whose strings, sequences and
// mappings are shared between copies, so a node that aliases name many times
// is held once, and copying Params is cheap.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexoacq::acquisition {

class YamlValue;

// Insertion-ordered mapping from YAML values to YAML values.  Lookup is by key
// text: get("chanmask") finds the entry whose key is the string "chanmask".
class YamlMapping {
public:
    YamlMapping() = default;

    void push_back(YamlValue key, YamlValue value);
    std::size_t size() const noexcept { return keys_.size(); }
    bool empty() const noexcept { return keys_.empty(); }
    const YamlValue& key(std::size_t i) const { return keys_.at(i); }
    const YamlValue& value(std::size_t i) const { return values_.at(i); }

    // The value of the first entry whose key is the text string `key`, or null.
    const YamlValue* get(std::string_view key) const noexcept;

    friend bool operator==(const YamlMapping& a, const YamlMapping& b);

private:
    std::vector<YamlValue> keys_;
    std::vector<YamlValue> values_;
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

    Type type() const noexcept { return type_; }
    bool is_null() const noexcept { return type_ == Type::Null; }

    // Integers span -2^63 .. 2^64-1.
    bool is_integer() const noexcept { return type_ == Type::Integer; }
    bool is_negative() const noexcept { return type_ == Type::Integer && negative_; }
    // The value when it is an integer of zero or more.
    std::optional<std::uint64_t> as_unsigned() const noexcept;
    // The value when it is an integer that fits in int64.
    std::optional<std::int64_t> as_signed() const noexcept;

    bool as_bool() const noexcept { return bool_; }
    double as_float() const noexcept { return float_; }
    // String content, or the tag of a tagged value.
    const std::string& as_string() const noexcept;
    const std::string& tag() const noexcept { return as_string(); }
    const std::vector<YamlValue>& as_sequence() const noexcept;
    const YamlMapping& as_mapping() const noexcept;
    const YamlValue& tagged_value() const;

    // Structural equality (floats by value, so NaN never equals NaN).
    friend bool operator==(const YamlValue& a, const YamlValue& b);

private:
    Type type_ = Type::Null;
    bool bool_ = false;
    bool negative_ = false;       // Integer: bits_ holds an int64 when set
    std::uint64_t bits_ = 0;      // Integer
    double float_ = 0.0;          // Float
    std::shared_ptr<const std::string> string_;  // String, or the tag of Tagged; shared between copies
    // Sequence, or the one inner value of Tagged; shared between copies.
    std::shared_ptr<const std::vector<YamlValue>> items_;
    std::shared_ptr<const YamlMapping> mapping_;  // Mapping; shared between copies
};

}  // namespace vexoacq::acquisition
