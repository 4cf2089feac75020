#include "calibration/pickle.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>
#include <unordered_map>
#include <utility>

namespace vexoacq::calibration::pickle {

std::span<const Value> Document::items(const Value& v) const {
    check_invariant(v.is_container() && v.ref < containers_.size(), "pickle value is not a container");
    return containers_[v.ref].items;
}

std::string_view Document::text(const Value& v) const {
    check_invariant((v.kind == Kind::Str || v.kind == Kind::Bytes) && v.ref < strings_.size(),
                    "pickle value is not text");
    return strings_[v.ref];
}

namespace {

// Opcodes of protocols 0 to 5 that pickle.dumps writes for the accepted types.
namespace op {
constexpr std::uint8_t MARK = '(', STOP = '.', POP = '0', POP_MARK = '1', NONE = 'N';
constexpr std::uint8_t INT = 'I', BININT = 'J', BININT1 = 'K', BININT2 = 'M', LONG = 'L';
constexpr std::uint8_t FLOAT = 'F', BINFLOAT = 'G';
constexpr std::uint8_t UNICODE = 'V', BINUNICODE = 'X', BINSTRING = 'T', SHORT_BINSTRING = 'U';
constexpr std::uint8_t BINBYTES = 'B', SHORT_BINBYTES = 'C';
constexpr std::uint8_t APPEND = 'a', APPENDS = 'e', LIST = 'l', EMPTY_LIST = ']';
constexpr std::uint8_t DICT = 'd', EMPTY_DICT = '}', SETITEM = 's', SETITEMS = 'u';
constexpr std::uint8_t TUPLE = 't', EMPTY_TUPLE = ')';
constexpr std::uint8_t GLOBAL = 'c', REDUCE = 'R';
constexpr std::uint8_t PUT = 'p', BINPUT = 'q', LONG_BINPUT = 'r', GET = 'g', BINGET = 'h', LONG_BINGET = 'j';
// protocol 2
constexpr std::uint8_t PROTO = 0x80, TUPLE1 = 0x85, TUPLE2 = 0x86, TUPLE3 = 0x87;
constexpr std::uint8_t NEWTRUE = 0x88, NEWFALSE = 0x89, LONG1 = 0x8a, LONG4 = 0x8b;
// protocol 4
constexpr std::uint8_t SHORT_BINUNICODE = 0x8c, BINUNICODE8 = 0x8d, BINBYTES8 = 0x8e;
constexpr std::uint8_t EMPTY_SET = 0x8f, ADDITEMS = 0x90, FROZENSET = 0x91;
constexpr std::uint8_t STACK_GLOBAL = 0x93, MEMOIZE = 0x94, FRAME = 0x95;
}  // namespace op

constexpr int kHighestProtocol = 5;

// The callables that protocols 0 to 3 name for sets, frozensets and bytes.
enum class Global : std::uint32_t { Set, FrozenSet, Bytes, Encode };

std::optional<Global> known_global(std::string_view module, std::string_view name) {
    if (module == "__builtin__" || module == "builtins") {
        if (name == "set") return Global::Set;
        if (name == "frozenset") return Global::FrozenSet;
        if (name == "bytes") return Global::Bytes;
    }
    if (module == "_codecs" && name == "encode") return Global::Encode;
    return std::nullopt;
}

// Strict UTF-8 (no overlong forms, no surrogates), as Python's str allows
// after a round trip through UTF-8.
bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    while (i < s.size()) {
        const unsigned c = p[i];
        std::size_t n = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) { ++i; continue; }
        if (c >= 0xC2 && c <= 0xDF) { n = 1; cp = c & 0x1F; }
        else if (c >= 0xE0 && c <= 0xEF) { n = 2; cp = c & 0x0F; }
        else if (c >= 0xF0 && c <= 0xF4) { n = 3; cp = c & 0x07; }
        else return false;
        if (s.size() - i <= n) return false;
        for (std::size_t k = 1; k <= n; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3Fu);
        }
        if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Protocol 0 writes str as raw-unicode-escape: every byte is a code point
// (Latin-1) except \uXXXX and \UXXXXXXXX after an odd run of backslashes.
std::optional<std::string> decode_raw_unicode_escape(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    std::size_t i = 0;
    while (i < in.size()) {
        const auto c = static_cast<unsigned char>(in[i]);
        if (c != '\\') {
            append_utf8(out, c);
            ++i;
            continue;
        }
        std::size_t run = 0;
        while (i < in.size() && in[i] == '\\') {
            out.push_back('\\');
            ++run;
            ++i;
        }
        if ((run & 1) == 0 || i >= in.size() || (in[i] != 'u' && in[i] != 'U')) continue;
        out.pop_back();
        const std::size_t digits = in[i] == 'u' ? 4 : 8;
        ++i;
        if (in.size() - i < digits) return std::nullopt;
        std::uint32_t cp = 0;
        for (std::size_t k = 0; k < digits; ++k) {
            const char h = in[i + k];
            unsigned d = 0;
            if (h >= '0' && h <= '9') d = static_cast<unsigned>(h - '0');
            else if (h >= 'a' && h <= 'f') d = static_cast<unsigned>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F') d = static_cast<unsigned>(h - 'A' + 10);
            else return std::nullopt;
            cp = (cp << 4) | d;
        }
        i += digits;
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
        append_utf8(out, cp);
    }
    return out;
}

// _codecs.encode(text, "latin1"): every code point must be below 256.
std::optional<std::string> encode_latin1(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size()) {
            out.push_back(static_cast<char>(((c & 0x1F) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3F)));
            i += 2;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

// Decimal integer text of INT and LONG: an optional sign and digits.
// Returns false when the text is not an integer; sets `big` when it is
// outside the signed 64-bit range.
bool parse_decimal(std::string_view s, std::int64_t& value, bool& big) {
    bool negative = false;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return false;
    std::uint64_t mag = 0;
    big = false;
    constexpr std::uint64_t limit = std::uint64_t{1} << 63;  // |INT64_MIN|
    for (char ch : s) {
        if (ch < '0' || ch > '9') return false;
        const auto d = static_cast<std::uint64_t>(ch - '0');
        if (!big && mag > (limit - d) / 10) big = true;
        if (!big) mag = mag * 10 + d;
    }
    if (!big && (negative ? mag > limit : mag >= limit)) big = true;
    if (!big) value = negative ? static_cast<std::int64_t>(0 - mag) : static_cast<std::int64_t>(mag);
    return true;
}

// Little-endian two's-complement integer of LONG1 and LONG4.
void decode_long_bytes(std::span<const std::uint8_t> b, std::int64_t& value, bool& big) {
    big = false;
    value = 0;
    if (b.empty()) return;
    const bool negative = (b.back() & 0x80) != 0;
    const std::uint8_t fill = negative ? 0xFF : 0x00;
    std::size_t n = b.size();
    // Drop sign-extension bytes that do not change the value.
    while (n > 1 && b[n - 1] == fill && ((b[n - 2] & 0x80) != 0) == negative) --n;
    if (n > 8) {
        big = true;
        return;
    }
    std::uint64_t u = negative ? ~std::uint64_t{0} : 0;
    for (std::size_t k = 0; k < n; ++k) {
        u &= ~(std::uint64_t{0xFF} << (8 * k));
        u |= std::uint64_t{b[k]} << (8 * k);
    }
    value = static_cast<std::int64_t>(u);
}

}  // namespace

class Decoder {
public:
    Decoder(std::span<const std::uint8_t> in, std::size_t max_memory) : in_(in) {
        // Each stack slot, mark, item slot, string byte and memo entry is
        // charged to this budget: 128 bytes per input byte and a floor, up to
        // the caller's ceiling.  A pickle that Python writes stays below it
        // (its densest form, memoized empty lists, takes some 80 per byte).
        constexpr std::size_t kPerByte = 128;
        constexpr std::size_t kFloor = std::size_t{64} << 10;
        budget_ = std::min(max_memory, in.size() > (max_memory - std::min(max_memory, kFloor)) / kPerByte
                                           ? max_memory
                                           : in.size() * kPerByte + kFloor);
    }

    Result<Document, PickleError> run() {
        while (pos_ < in_.size()) {
            op_pos_ = pos_;
            const std::uint8_t code = in_[pos_++];
            if (code == op::STOP) {
                if (pos_ != in_.size()) return fail("content after the end of the pickle");
                if (stack_.empty()) return fail("STOP with an empty stack");
                Value root = stack_.back();
                if (!storable(root)) return fail("a global is not a value");
                doc_.root_ = root;
                if (!acyclic(root)) return fail("recursive structure");
                return std::move(doc_);
            }
            if (!step(code)) return Err{std::move(error_)};
        }
        return Err{PickleError{"pickle ends without STOP", pos_}};
    }

private:
    using Bytes = std::span<const std::uint8_t>;

    Result<Document, PickleError> fail(std::string reason) {
        return Err{PickleError{std::move(reason), op_pos_}};
    }
    bool error(std::string reason) {
        error_ = PickleError{std::move(reason), op_pos_};
        return false;
    }

    // ---------------------------------------------------------- input
    bool take(std::size_t n, Bytes& out) {
        if (in_.size() - pos_ < n) return error("truncated pickle");
        out = in_.subspan(pos_, n);
        pos_ += n;
        return true;
    }
    template <class U>
    bool take_le(U& out) {
        Bytes b;
        if (!take(sizeof(U), b)) return false;
        std::uint64_t v = 0;
        for (std::size_t k = 0; k < sizeof(U); ++k) v |= std::uint64_t{b[k]} << (8 * k);
        out = static_cast<U>(v);
        return true;
    }
    bool line(std::string_view& out) {
        const auto* begin = in_.data() + pos_;
        const auto* nl = static_cast<const std::uint8_t*>(std::memchr(begin, '\n', in_.size() - pos_));
        if (nl == nullptr) return error("truncated pickle line");
        out = std::string_view(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(nl - begin));
        pos_ += out.size() + 1;
        return true;
    }
    bool sized(std::uint64_t n, Bytes& out) {
        if (n > in_.size() - pos_) return error("length beyond the end of the pickle");
        return take(static_cast<std::size_t>(n), out);
    }

    // ---------------------------------------------------------- budget
    bool charge(std::size_t units) {
        if (units > budget_) return error("pickle too large to decode");
        budget_ -= units;
        return true;
    }
    // The value and mark stacks and the document's tables of containers and
    // strings grow in steps that are charged before they are taken, so what
    // they occupy is part of the budget (a run of NONE opcodes would otherwise
    // fill 16 bytes of stack per input byte uncounted).
    template <class T>
    bool room_for_one(std::vector<T>& v) {
        if (v.size() < v.capacity()) return true;
        const std::size_t more = std::max<std::size_t>(v.capacity(), 16);
        if (more > budget_ / sizeof(T)) return error("pickle too large to decode");
        budget_ -= more * sizeof(T);
        v.reserve(v.capacity() + more);
        return true;
    }
    static constexpr std::size_t kItemCost = sizeof(Value);
    // A node of the memo's hash map and its share of the buckets.
    static constexpr std::size_t kMemoCost = 64;

    // ---------------------------------------------------------- values
    static Value scalar(Kind k) {
        Value v;
        v.kind = k;
        return v;
    }
    bool push(Value v) {
        if (!room_for_one(stack_)) return false;
        stack_.push_back(v);
        return true;
    }
    bool pop(Value& v) {
        if (stack_.empty()) return error("stack underflow");
        v = stack_.back();
        stack_.pop_back();
        return true;
    }
    bool top(Value*& v) {
        if (stack_.empty()) return error("stack underflow");
        v = &stack_.back();
        return true;
    }
    // The stack position of the last mark, which is removed.
    bool pop_mark(std::size_t& at) {
        if (marks_.empty()) return error("no mark on the stack");
        at = marks_.back();
        marks_.pop_back();
        if (at > stack_.size()) return error("mark beyond the stack");
        return true;
    }
    bool new_string(Kind k, std::string s) {
        if (!room_for_one(doc_.strings_) || !charge(s.size())) return false;
        check_invariant(doc_.strings_.size() < std::numeric_limits<std::uint32_t>::max(), "pickle string count");
        Value v = scalar(k);
        v.ref = static_cast<std::uint32_t>(doc_.strings_.size());
        doc_.strings_.push_back(std::move(s));
        return push(v);
    }
    bool new_str(Bytes b) {
        std::string s(reinterpret_cast<const char*>(b.data()), b.size());
        if (!valid_utf8(s)) return error("str is not valid UTF-8");
        return new_string(Kind::Str, std::move(s));
    }
    bool new_bytes(Bytes b) {
        return new_string(Kind::Bytes, std::string(reinterpret_cast<const char*>(b.data()), b.size()));
    }

    Document::Container& container(const Value& v) { return doc_.containers_[v.ref]; }

    // A global may only be called; it cannot be stored.
    static bool storable(const Value& v) { return v.kind != Kind::Global; }
    bool hashable(const Value& v) const {
        switch (v.kind) {
            case Kind::List:
            case Kind::Set:
            case Kind::Dict:
            case Kind::Global:
                return false;
            case Kind::Tuple:
            case Kind::FrozenSet:
                return doc_.containers_[v.ref].hashable;
            default:
                return true;
        }
    }
    bool check_items(std::span<const Value> items, bool need_hash) {
        for (const Value& v : items) {
            if (!storable(v)) return error("a global is not a value");
            if (need_hash && !hashable(v)) return error("unhashable set item or dict key");
        }
        return true;
    }
    bool check_pairs(std::span<const Value> items) {
        if (items.size() % 2 != 0) return error("odd number of items for a dict");
        for (std::size_t k = 0; k < items.size(); ++k) {
            if (!storable(items[k])) return error("a global is not a value");
            if (k % 2 == 0 && !hashable(items[k])) return error("unhashable dict key");
        }
        return true;
    }
    bool new_container(Kind k, std::span<const Value> items) {
        const bool is_set = k == Kind::Set || k == Kind::FrozenSet;
        if (k == Kind::Dict ? !check_pairs(items) : !check_items(items, is_set)) return false;
        if (!room_for_one(doc_.containers_) || !charge(items.size() * kItemCost)) return false;
        check_invariant(doc_.containers_.size() < std::numeric_limits<std::uint32_t>::max(), "pickle container count");
        Document::Container c;
        c.kind = k;
        c.items.assign(items.begin(), items.end());
        if (k == Kind::Tuple) {
            c.hashable = std::all_of(items.begin(), items.end(), [this](const Value& v) { return hashable(v); });
        } else {
            c.hashable = k == Kind::FrozenSet;
        }
        Value v = scalar(k);
        v.ref = static_cast<std::uint32_t>(doc_.containers_.size());
        doc_.containers_.push_back(std::move(c));
        return push(v);
    }
    // Builds a container from the items above the last mark.
    bool from_mark(Kind k) {
        std::size_t at = 0;
        if (!pop_mark(at)) return false;
        const std::vector<Value> items(stack_.begin() + static_cast<std::ptrdiff_t>(at), stack_.end());
        stack_.resize(at);
        return new_container(k, items);
    }
    // Adds the items above the last mark to the container below it.
    bool extend_from_mark(Kind expected) {
        std::size_t at = 0;
        if (!pop_mark(at)) return false;
        if (at == 0) return error("no container below the mark");
        const Value target = stack_[at - 1];
        const std::span<const Value> items(stack_.data() + at, stack_.size() - at);
        if (!extend(target, expected, items)) return false;
        stack_.resize(at);
        return true;
    }
    bool extend(const Value& target, Kind expected, std::span<const Value> items) {
        if (target.kind != expected) return error("items added to the wrong kind of object");
        if (expected == Kind::Dict ? !check_pairs(items) : !check_items(items, expected == Kind::Set)) return false;
        if (!charge(items.size() * kItemCost)) return false;
        auto& dst = container(target).items;
        dst.insert(dst.end(), items.begin(), items.end());
        return true;
    }

    // ---------------------------------------------------------- memo
    bool memo_put(std::uint64_t index) {
        Value* v = nullptr;
        if (!top(v)) return false;
        auto [it, inserted] = memo_.try_emplace(index, *v);
        if (inserted) return charge(kMemoCost);
        it->second = *v;
        return true;
    }
    bool memo_get(std::uint64_t index) {
        const auto it = memo_.find(index);
        if (it == memo_.end()) return error("memo key not found");
        return push(it->second);
    }

    // ---------------------------------------------------------- REDUCE
    bool reduce() {
        Value args, callable;
        if (!pop(args) || !pop(callable)) return false;
        if (callable.kind != Kind::Global) return error("REDUCE of something that is not a known global");
        if (args.kind != Kind::Tuple) return error("REDUCE arguments are not a tuple");
        const std::vector<Value> a = container(args).items;
        switch (static_cast<Global>(callable.ref)) {
            case Global::Set:
            case Global::FrozenSet: {
                const Kind k = static_cast<Global>(callable.ref) == Global::Set ? Kind::Set : Kind::FrozenSet;
                if (a.empty()) return new_container(k, {});
                if (a.size() != 1 || !a[0].is_sequence()) return error("unsupported set arguments");
                const std::vector<Value> items = container(a[0]).items;
                return new_container(k, items);
            }
            case Global::Bytes:
                if (!a.empty()) return error("unsupported bytes arguments");
                return new_string(Kind::Bytes, std::string());
            case Global::Encode: {
                if (a.size() != 2 || a[0].kind != Kind::Str || a[1].kind != Kind::Str)
                    return error("unsupported encode arguments");
                const std::string_view enc = doc_.text(a[1]);
                if (enc != "latin1" && enc != "latin-1") return error("unsupported encoding");
                auto bytes = encode_latin1(doc_.text(a[0]));
                if (!bytes) return error("text cannot be encoded as latin1");
                return new_string(Kind::Bytes, std::move(*bytes));
            }
        }
        return error("unknown global");
    }
    bool global(std::string_view module, std::string_view name) {
        const auto g = known_global(module, name);
        if (!g) return error("unsupported global");
        Value v = scalar(Kind::Global);
        v.ref = static_cast<std::uint32_t>(*g);
        return push(v);
    }

    // ---------------------------------------------------------- one opcode
    bool step(std::uint8_t code) {
        Bytes b;
        std::string_view text;
        switch (code) {
            case op::PROTO: {
                if (!take(1, b)) return false;
                if (b[0] > kHighestProtocol) return error("unsupported pickle protocol");
                return true;
            }
            case op::FRAME: {
                std::uint64_t n = 0;
                if (!take_le(n)) return false;
                if (n > in_.size() - pos_) return error("frame beyond the end of the pickle");
                return true;
            }
            case op::MARK:
                if (!room_for_one(marks_)) return false;
                marks_.push_back(stack_.size());
                return true;
            case op::POP:
                if (!stack_.empty()) {
                    stack_.pop_back();
                    return true;
                }
                {
                    std::size_t at = 0;
                    return pop_mark(at);
                }
            case op::POP_MARK: {
                std::size_t at = 0;
                if (!pop_mark(at)) return false;
                stack_.resize(at);
                return true;
            }
            case op::NONE:
                return push(scalar(Kind::None));
            case op::NEWTRUE:
            case op::NEWFALSE: {
                Value v = scalar(Kind::Bool);
                v.boolean = code == op::NEWTRUE;
                return push(v);
            }
            case op::INT:
            case op::LONG: {
                if (!line(text)) return false;
                if (code == op::INT && (text == "00" || text == "01")) {
                    Value v = scalar(Kind::Bool);
                    v.boolean = text == "01";
                    return push(v);
                }
                if (code == op::LONG && !text.empty() && text.back() == 'L') text.remove_suffix(1);
                Value v = scalar(Kind::Int);
                bool big = false;
                if (!parse_decimal(text, v.integer, big)) return error("invalid integer text");
                if (big) v = scalar(Kind::BigInt);
                return push(v);
            }
            case op::BININT: {
                std::uint32_t u = 0;
                if (!take_le(u)) return false;
                Value v = scalar(Kind::Int);
                v.integer = static_cast<std::int32_t>(u);
                return push(v);
            }
            case op::BININT1:
            case op::BININT2: {
                std::uint16_t u = 0;
                if (code == op::BININT1) {
                    if (!take(1, b)) return false;
                    u = b[0];
                } else if (!take_le(u)) {
                    return false;
                }
                Value v = scalar(Kind::Int);
                v.integer = u;
                return push(v);
            }
            case op::LONG1:
            case op::LONG4: {
                std::uint64_t n = 0;
                if (code == op::LONG1) {
                    if (!take(1, b)) return false;
                    n = b[0];
                } else {
                    std::uint32_t n4 = 0;
                    if (!take_le(n4)) return false;
                    if (static_cast<std::int32_t>(n4) < 0) return error("negative LONG4 length");
                    n = n4;
                }
                if (!sized(n, b)) return false;
                Value v = scalar(Kind::Int);
                bool big = false;
                decode_long_bytes(b, v.integer, big);
                if (big) v = scalar(Kind::BigInt);
                return push(v);
            }
            case op::FLOAT: {
                if (!line(text)) return false;
                std::string_view t = text;
                if (!t.empty() && t[0] == '+' && t.size() > 1 && t[1] != '-') t.remove_prefix(1);
                Value v = scalar(Kind::Float);
                const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v.real);
                // Python writes repr(float), always within the double range; text
                // that does not convert exactly as a whole is refused.
                if (ec != std::errc() || end != t.data() + t.size()) return error("invalid float text");
                return push(v);
            }
            case op::BINFLOAT: {
                if (!take(8, b)) return false;
                std::uint64_t u = 0;
                for (std::size_t k = 0; k < 8; ++k) u = (u << 8) | b[k];  // big-endian
                Value v = scalar(Kind::Float);
                v.real = std::bit_cast<double>(u);
                return push(v);
            }
            case op::UNICODE: {
                if (!line(text)) return false;
                auto s = decode_raw_unicode_escape(text);
                if (!s) return error("invalid raw-unicode-escape text");
                return new_string(Kind::Str, std::move(*s));
            }
            case op::SHORT_BINUNICODE:
            case op::SHORT_BINBYTES:
            case op::SHORT_BINSTRING: {
                if (!take(1, b)) return false;
                const std::uint64_t n = b[0];
                if (!sized(n, b)) return false;
                return code == op::SHORT_BINUNICODE ? new_str(b) : new_bytes(b);
            }
            case op::BINUNICODE:
            case op::BINBYTES:
            case op::BINSTRING: {
                std::uint32_t n = 0;
                if (!take_le(n)) return false;
                if (code == op::BINSTRING && static_cast<std::int32_t>(n) < 0) return error("negative BINSTRING length");
                if (!sized(n, b)) return false;
                return code == op::BINUNICODE ? new_str(b) : new_bytes(b);
            }
            case op::BINUNICODE8:
            case op::BINBYTES8: {
                std::uint64_t n = 0;
                if (!take_le(n)) return false;
                if (!sized(n, b)) return false;
                return code == op::BINUNICODE8 ? new_str(b) : new_bytes(b);
            }
            case op::EMPTY_LIST:
                return new_container(Kind::List, {});
            case op::EMPTY_TUPLE:
                return new_container(Kind::Tuple, {});
            case op::EMPTY_DICT:
                return new_container(Kind::Dict, {});
            case op::EMPTY_SET:
                return new_container(Kind::Set, {});
            case op::LIST:
                return from_mark(Kind::List);
            case op::TUPLE:
                return from_mark(Kind::Tuple);
            case op::DICT:
                return from_mark(Kind::Dict);
            case op::FROZENSET:
                return from_mark(Kind::FrozenSet);
            case op::TUPLE1:
            case op::TUPLE2:
            case op::TUPLE3: {
                const std::size_t n = static_cast<std::size_t>(code - op::TUPLE1) + 1;
                if (stack_.size() < n) return error("stack underflow");
                if (!marks_.empty() && marks_.back() > stack_.size() - n) return error("tuple across a mark");
                const std::vector<Value> items(stack_.end() - static_cast<std::ptrdiff_t>(n), stack_.end());
                stack_.resize(stack_.size() - n);
                return new_container(Kind::Tuple, items);
            }
            case op::APPEND: {
                Value item;
                Value* list = nullptr;
                if (!pop(item) || !top(list)) return false;
                const Value target = *list;
                return extend(target, Kind::List, std::span<const Value>(&item, 1));
            }
            case op::APPENDS:
                return extend_from_mark(Kind::List);
            case op::SETITEM: {
                Value pair[2];
                Value* dict = nullptr;
                if (!pop(pair[1]) || !pop(pair[0]) || !top(dict)) return false;
                const Value target = *dict;
                return extend(target, Kind::Dict, pair);
            }
            case op::SETITEMS:
                return extend_from_mark(Kind::Dict);
            case op::ADDITEMS:
                return extend_from_mark(Kind::Set);
            case op::PUT: {
                if (!line(text)) return false;
                std::uint64_t idx = 0;
                const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), idx);
                if (ec != std::errc() || end != text.data() + text.size()) return error("invalid PUT index");
                return memo_put(idx);
            }
            case op::BINPUT: {
                if (!take(1, b)) return false;
                return memo_put(b[0]);
            }
            case op::LONG_BINPUT: {
                std::uint32_t idx = 0;
                return take_le(idx) && memo_put(idx);
            }
            case op::MEMOIZE:
                return memo_put(memo_.size());
            case op::GET: {
                if (!line(text)) return false;
                std::uint64_t idx = 0;
                const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), idx);
                if (ec != std::errc() || end != text.data() + text.size()) return error("invalid GET index");
                return memo_get(idx);
            }
            case op::BINGET: {
                if (!take(1, b)) return false;
                return memo_get(b[0]);
            }
            case op::LONG_BINGET: {
                std::uint32_t idx = 0;
                return take_le(idx) && memo_get(idx);
            }
            case op::GLOBAL: {
                std::string_view module;
                if (!line(module) || !line(text)) return false;
                return global(module, text);
            }
            case op::STACK_GLOBAL: {
                Value name, module;
                if (!pop(name) || !pop(module)) return false;
                if (name.kind != Kind::Str || module.kind != Kind::Str) return error("STACK_GLOBAL needs two str");
                return global(doc_.text(module), doc_.text(name));
            }
            case op::REDUCE:
                return reduce();
            default:
                return error("unsupported pickle opcode");
        }
    }

    // A value that contains itself cannot become a finite table; refuse it.
    // Depth-first walk with an explicit stack; each container is entered once.
    bool acyclic(const Value& root) const {
        if (!root.is_container()) return true;
        enum : std::uint8_t { White, Grey, Black };
        std::vector<std::uint8_t> colour(doc_.containers_.size(), White);
        std::vector<std::pair<std::uint32_t, std::size_t>> walk;
        walk.emplace_back(root.ref, 0);
        colour[root.ref] = Grey;
        while (!walk.empty()) {
            auto& [idx, next] = walk.back();
            const auto& items = doc_.containers_[idx].items;
            if (next == items.size()) {
                colour[idx] = Black;
                walk.pop_back();
                continue;
            }
            const Value& v = items[next++];
            if (!v.is_container()) continue;
            if (colour[v.ref] == Grey) return false;
            if (colour[v.ref] == White) {
                colour[v.ref] = Grey;
                walk.emplace_back(v.ref, 0);
            }
        }
        return true;
    }

    Bytes in_;
    std::size_t pos_ = 0;
    std::size_t op_pos_ = 0;
    std::size_t budget_ = 0;
    std::vector<Value> stack_;
    std::vector<std::size_t> marks_;
    std::unordered_map<std::uint64_t, Value> memo_;
    Document doc_;
    PickleError error_;
};

Result<Document, PickleError> decode(std::span<const std::uint8_t> input, std::size_t max_memory) {
    return Decoder(input, max_memory).run();
}

}  // namespace vexoacq::calibration::pickle
