#include "acquisition/yaml.hpp"

#include "error.hpp"

namespace vexoacq::acquisition {

void YamlMapping::push_back(YamlValue key, YamlValue value) {
    keys_.push_back(std::move(key));
    values_.push_back(std::move(value));
}

const YamlValue* YamlMapping::get(std::string_view key) const noexcept {
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        const YamlValue& k = keys_[i];
        if (k.type() == YamlValue::Type::String && k.as_string() == key) return &values_[i];
    }
    return nullptr;
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
    YamlValue v;
    v.type_ = Type::Tagged;
    v.string_ = std::make_shared<const std::string>(std::move(tag));
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
}  // namespace

const std::string& YamlValue::as_string() const noexcept { return string_ ? *string_ : no_text(); }

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
