// Typing "metadata.yml" into Metadata and Params.
//
// Design note.  libyaml's event parser turns the whole text into a flat list
// of events first (a syntax error anywhere rejects the text, so does a second
// document).  Anchors are resolved while the list is built: an alias event
// records the position of the node it names, and every collection start
// records the position of its end so that an ignored value can be stepped
// over without being read.  The typed reader then walks the list with a
// cursor.  A node that some alias names is typed the first time it is read,
// directly or through an alias, and every later reading of it in the same
// context shares that value (see Reader::named).
//
// A text of small nodes is mostly its events, so they are kept small: 48
// bytes each, in fixed blocks that never move, with their scalar texts in a
// store of their own (EventList, TextStore).  Collections are built at their
// exact size, small mappings without an index (see YamlMapping), and the
// string keys of a reading share one value per distinct text (KeyTexts).
//
// Limits keep hostile texts bounded in time and memory:
// - collections inside `params` and `registers` may nest at most 128 levels
//   (the top-level mapping is the first).  The event list is checked as
//   libyaml produces it, so a text nested past the limit stops being read
//   there: libyaml's scanner pays the current flow depth for every token.
// - under ignored top-level keys nesting may go past 128 levels, but only
//   within a budget of depth beyond the limit summed over the events (a few
//   thousand bare levels); past it the text is rejected.  Their values are
//   otherwise skipped by position, unread.
// - alias expansions over the whole reading may not exceed 100 times the
//   number of node events.  Each alias followed is one expansion, and the
//   aliases inside the node it names count again each time the node is read,
//   so nested aliases multiply.  A shared node is charged the expansions
//   that reading it again would make, which it recorded when it was first
//   typed; the nodes themselves cost nothing, since they are not built again.
// - a named string may be the key of many mappings: it is hashed once, when
//   it is first a key, and the keys of params and of the top-level mapping
//   are read in place, so no use copies or hashes its text again.
// - libyaml hands every node its tag in full, the prefix of its %TAG handle
//   copied in, so a long prefix named by many short tags would cost its
//   length once per tag.  Each event is released as soon as it is read, and
//   the list keeps of a tag only its kind and its number in a table that
//   holds each distinct tag once, as the shared prefix and the rest (see
//   TagTable); tagged values share the table's tags.
// - the hashes of key texts, of anchors and of key shapes are keyed at
//   random per process, so a text cannot be written with keys chosen to
//   collide.
//
// libyaml's problem text is kept only inside YamlError; the caller sees one
// fixed message for every rejection.
#include "acquisition/metadata.hpp"

#include <yaml.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace vexoacq::acquisition {

using error::MetadataError;
using error::YamlError;

namespace {

constexpr std::size_t max_depth = 128;
constexpr std::size_t alias_factor = 100;
// Under ignored top-level keys: the sum, over the events read deeper than
// max_depth, of their depth beyond it (see NestingGuard).  About 8000 levels
// of bare nesting fit; the scanner work it allows takes a fraction of a second.
constexpr std::size_t ignored_depth_budget = std::size_t{1} << 26;
constexpr std::size_t npos = static_cast<std::size_t>(-1);

constexpr std::string_view tag_str = "tag:yaml.org,2002:str";
constexpr std::string_view tag_int = "tag:yaml.org,2002:int";
constexpr std::string_view tag_float = "tag:yaml.org,2002:float";
constexpr std::string_view tag_bool = "tag:yaml.org,2002:bool";
constexpr std::string_view tag_null = "tag:yaml.org,2002:null";
constexpr std::string_view tag_seq = "tag:yaml.org,2002:seq";
constexpr std::string_view tag_map = "tag:yaml.org,2002:map";

enum class Kind : std::uint8_t { Scalar, Alias, SeqStart, SeqEnd, MapStart, MapEnd };

// What the reader needs to know of a tag: none, one of the standard tags it
// types by, or another (a local tag such as "!mask", or any other).
enum class TagKind : std::uint8_t { None, Str, Int, Float, Bool, Null, Seq, Map, Other };

TagKind tag_kind(std::string_view t) {
    if (t == tag_str) return TagKind::Str;
    if (t == tag_int) return TagKind::Int;
    if (t == tag_float) return TagKind::Float;
    if (t == tag_bool) return TagKind::Bool;
    if (t == tag_null) return TagKind::Null;
    if (t == tag_seq) return TagKind::Seq;
    if (t == tag_map) return TagKind::Map;
    return TagKind::Other;
}

// The length of the common start of a and b, compared a block at a time.
std::size_t common_prefix(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    constexpr std::size_t block = 256;
    std::size_t i = 0;
    while (i + block <= n && std::memcmp(a.data() + i, b.data() + i, block) == 0) i += block;
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

// The number of leading bytes of the C string s that equal those of `label`
// (which holds no NUL, so the end of s is a mismatch).  s is read in blocks
// as far as it agrees with label, then byte by byte within the block where
// they part, so each byte is read about once.
std::size_t matching_start(const char* s, std::string_view label) {
    std::size_t i = 0;
    constexpr std::size_t block = 4096;
    constexpr std::size_t step = 64;
    while (label.size() - i >= block && std::strncmp(s + i, label.data() + i, block) == 0) i += block;
    while (label.size() - i >= step && std::strncmp(s + i, label.data() + i, step) == 0) i += step;
    while (i < label.size() && s[i] == label[i]) ++i;
    return i;
}

// The tags of the document, each distinct tag held once.  A tag is kept as
// the longest %TAG prefix it starts with, shared, and the rest: the rest
// comes from the tag as written in the text (a verbatim tag, or the suffix
// after a handle), so the table is no larger than the text however many
// tags name a long prefix.  Equal tags split alike, so each distinct tag
// text has one entry and one YamlTag.
//
// The prefixes are held in a trie whose edges are stretches of prefix text
// (a node for each place where prefixes part or end), so the longest prefix
// of a tag is found by one walk along the tag: each byte the walk passes is
// read once, and the length of the rest is measured after it.  Finding it
// then costs one reading of the tag, however many directives the document
// declares, however long they are and however they nest.
class TagTable {
public:
    // Builds the trie from the prefixes in sorted order, along its rightmost
    // path: each prefix shares with the one before it a common start, found
    // by comparing the two in blocks, and adds at most two nodes where it
    // parts from it.  The cost is that of reading the directives once.
    void set_directives(const yaml_tag_directive_t* first, const yaml_tag_directive_t* last) {
        for (const yaml_tag_directive_t* d = first; d != last; ++d) {
            prefixes_.push_back(std::make_shared<const std::string>(reinterpret_cast<const char*>(d->prefix)));
        }
        const auto text_less = [](const auto& a, const auto& b) { return *a < *b; };
        const auto text_equal = [](const auto& a, const auto& b) { return *a == *b; };
        std::sort(prefixes_.begin(), prefixes_.end(), text_less);
        prefixes_.erase(std::unique(prefixes_.begin(), prefixes_.end(), text_equal), prefixes_.end());
        struct Open {
            std::size_t node;
            std::size_t depth;  // the length of the text from the root to the node's end
        };
        std::vector<Open> path{{0, 0}};
        std::string_view before;
        for (std::size_t i = 0; i < prefixes_.size(); ++i) {
            const std::string_view p = *prefixes_[i];
            const std::size_t shared = common_prefix(before, p);
            std::size_t cut = npos;  // the node last left, whose edge holds depth `shared`
            while (path.back().depth > shared) {
                cut = path.back().node;
                path.pop_back();
            }
            if (path.back().depth < shared) {
                // The prefix parts from the one before inside the edge into
                // `cut`: a node there leads on to it.  `cut` is the parent's
                // last child, the one on the path of the prefix before.
                const std::size_t up = path.back().depth;
                Node mid{nodes_[cut].src, nodes_[cut].begin, nodes_[cut].begin + (shared - up), npos, {}};
                mid.children.emplace_back(static_cast<unsigned char>(label(cut)[shared - up]), cut);
                nodes_[cut].begin += shared - up;
                nodes_.push_back(std::move(mid));
                nodes_[path.back().node].children.back().second = nodes_.size() - 1;
                path.push_back({nodes_.size() - 1, shared});
            }
            if (shared == p.size()) {
                nodes_[path.back().node].prefix = i;  // only the empty prefix, first in order
            } else {
                // In sorted order its first byte after `shared` follows those
                // of the node's other children.
                nodes_.push_back(Node{i, shared, p.size(), i, {}});
                nodes_[path.back().node].children.emplace_back(static_cast<unsigned char>(p[shared]), nodes_.size() - 1);
                path.push_back({nodes_.size() - 1, p.size()});
            }
            before = p;
        }
    }

    // The kind and the number of the tag `tag`, a C string from libyaml.
    std::pair<TagKind, std::uint32_t> add(const char* tag) {
        std::size_t node = 0, off = 0, d = npos, d_size = 0;
        for (;;) {
            if (nodes_[node].prefix != npos) {
                d = nodes_[node].prefix;
                d_size = off;
            }
            if (tag[off] == '\0') break;
            const std::size_t child = find_child(node, static_cast<unsigned char>(tag[off]));
            if (child == npos) break;
            const std::string_view label = this->label(child);
            const std::size_t m = matching_start(tag + off, label);
            off += m;
            if (m < label.size()) break;
            node = child;
        }
        // tag[0, off) has been read and holds no NUL.
        const std::string_view t(tag, off + std::strlen(tag + off));
        const std::string_view rest = t.substr(d_size);
        if (const auto it = ids_.find({d, rest}); it != ids_.end()) return {kinds_[it->second], it->second};
        check_invariant(tags_.size() < UINT32_MAX, "too many YAML tags");
        const auto id = static_cast<std::uint32_t>(tags_.size());
        tags_.push_back(std::make_shared<const YamlTag>(d == npos ? nullptr : prefixes_[d], std::string(rest)));
        kinds_.push_back(tag_kind(t));
        ids_.emplace(std::pair{d, tags_.back()->rest()}, id);
        return {kinds_.back(), id};
    }

    const std::shared_ptr<const YamlTag>& tag(std::uint32_t id) const { return tags_.at(id); }

private:
    // A node of the trie: the edge into it is the text
    // (*prefixes_[src])[begin, end); `prefix` is the prefix that ends at the
    // node, if any.  The root (node 0) has an empty edge.
    struct Node {
        std::size_t src = 0;
        std::size_t begin = 0;
        std::size_t end = 0;
        std::size_t prefix = npos;
        std::vector<std::pair<unsigned char, std::size_t>> children;  // by the first byte of their edge, sorted
    };

    std::string_view label(std::size_t n) const {
        const Node& x = nodes_[n];
        return std::string_view(*prefixes_[x.src]).substr(x.begin, x.end - x.begin);
    }

    std::size_t find_child(std::size_t n, unsigned char c) const {
        const auto& ch = nodes_[n].children;
        const auto it = std::lower_bound(ch.begin(), ch.end(), c, [](const auto& e, unsigned char x) { return e.first < x; });
        return it != ch.end() && it->first == c ? it->second : npos;
    }

    std::vector<std::shared_ptr<const std::string>> prefixes_;  // distinct, sorted
    std::vector<Node> nodes_ = std::vector<Node>(1);
    // By (prefix or npos, rest), the rest viewed in the tag's own storage.
    std::map<std::pair<std::size_t, std::string_view>, std::uint32_t> ids_;
    std::vector<std::shared_ptr<const YamlTag>> tags_;
    std::vector<TagKind> kinds_;
};

// One node event of the document as the reader keeps it: 48 bytes, since a
// text of small nodes is mostly events.  Lines and columns past 2^32 - 1 are
// kept as 2^32 - 1.
struct Event {
    std::string_view value;    // Scalar text, in the document's TextStore
    std::size_t link = npos;   // Alias: the named node; SeqStart/MapStart: the matching end
    std::uint32_t line = 0;
    std::uint32_t column = 0;
    std::uint32_t tag_id = 0;     // Other: the tag's number in the TagTable
    Kind kind = Kind::Scalar;
    TagKind tag = TagKind::None;  // the kind of the node's tag
    bool plain = false;        // Scalar: plain style
    bool literal = false;      // Scalar: literal block style
    bool named = false;        // some alias names this node
};

std::uint32_t mark_number(std::size_t zero_based) {
    return static_cast<std::uint32_t>(std::min<std::size_t>(zero_based, UINT32_MAX - 1) + 1);
}

// The events in the order read, in blocks of a fixed size: the list grows
// without moving what it holds (no reallocation doubles its memory on the
// way), and an event keeps its place.
class EventList {
public:
    std::size_t size() const noexcept { return size_; }
    Event& operator[](std::size_t i) noexcept { return blocks_[i / kBlock][i % kBlock]; }
    const Event& operator[](std::size_t i) const noexcept { return blocks_[i / kBlock][i % kBlock]; }
    void push_back(Event e) {
        if (size_ % kBlock == 0) blocks_.push_back(std::make_unique<Event[]>(kBlock));
        blocks_.back()[size_ % kBlock] = std::move(e);
        ++size_;
    }

private:
    static constexpr std::size_t kBlock = 1024;
    std::vector<std::unique_ptr<Event[]>> blocks_;
    std::size_t size_ = 0;
};

// The texts of the scalars, copied one after another into blocks that
// never move (a long one gets a block of its own), so that an event holds a
// view and a short text costs its bytes alone.
class TextStore {
public:
    std::string_view keep(const char* text, std::size_t size) {
        if (size == 0) return {};
        if (size > kBlock / 8) {
            blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
            std::memcpy(blocks_.back().get(), text, size);
            return {blocks_.back().get(), size};
        }
        if (kBlock - used_ < size) {
            blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlock));
            current_ = blocks_.back().get();
            used_ = 0;
        }
        char* at = current_ + used_;
        std::memcpy(at, text, size);
        used_ += size;
        return {at, size};
    }

private:
    static constexpr std::size_t kBlock = std::size_t{64} << 10;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* current_ = nullptr;
    std::size_t used_ = kBlock;
};

struct Document {
    TextStore texts;            // the scalars' texts
    EventList events;           // node events of the one document
    TagTable tags;              // their tags
    bool empty = true;          // no document, or a document without a root node
};

template <class T>
using YamlResult = Result<T, YamlError>;

YamlError problem(std::string reason, const Event& at) { return YamlError{std::move(reason), at.line, at.column}; }

// ---------------------------------------------------------------- event list

struct ParserGuard {
    yaml_parser_t parser;
    ParserGuard() { check_invariant(yaml_parser_initialize(&parser) != 0, "cannot initialise YAML parser"); }
    ~ParserGuard() { yaml_parser_delete(&parser); }
    ParserGuard(const ParserGuard&) = delete;
    ParserGuard& operator=(const ParserGuard&) = delete;
};

struct EventGuard {
    yaml_event_t event;
    ~EventGuard() { yaml_event_delete(&event); }
};

std::string_view c_text(const yaml_char_t* s) {
    return s ? std::string_view(reinterpret_cast<const char*>(s)) : std::string_view();
}

// A hash of texts and bytes keyed per process (see YamlMapping::text_hash).
struct KeyedHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return YamlMapping::text_hash(s); }
};

// The one place where libyaml's failures become YamlError values.
YamlError parser_problem(const yaml_parser_t& parser) {
    std::string reason = parser.problem ? parser.problem : "YAML syntax error";
    if (parser.context) reason = std::string(parser.context) + ": " + reason;
    return YamlError{std::move(reason), parser.problem_mark.line + 1, parser.problem_mark.column + 1};
}

// Where the event list stands in the top-level mapping, so that nesting can be
// bounded while libyaml is still reading.  libyaml's scanner walks its stack
// of open flow collections for every token, so reading costs the number of
// tokens times their depth; stopping early is what keeps a deeply nested text
// from running for minutes.
//
// Inside `params` and `registers` (and anywhere else the text is bound to be
// rejected: a root that is not a mapping, a top-level key that is a
// collection) a collection past the depth limit ends the reading at once, with
// the rejection the typed reader would give.  Under ignored top-level keys
// nesting past the limit is allowed, but every event read deeper than the
// limit is charged its depth beyond it, and the reading ends when the total
// exceeds ignored_depth_budget: a few thousand levels of nesting are fine,
// tokens by the million at such a depth are not.
class NestingGuard {
public:
    // Called for every event, before the stack `open` of the collections not
    // yet ended changes for it; an alias event already carries its link.
    YamlResult<bool> check(const EventList& events, const std::vector<std::size_t>& open, const Event& e) {
        const bool starts = e.kind == Kind::SeqStart || e.kind == Kind::MapStart;
        const bool ends = e.kind == Kind::SeqEnd || e.kind == Kind::MapEnd;
        if (open.empty()) {
            root_is_mapping_ = e.kind == Kind::MapStart;
        } else if (open.size() == 1 && !ends) {
            // A node directly in the root collection: a key or a value of the
            // top-level mapping, or an item of a root that will be rejected.
            if (!root_is_mapping_) {
                limited_ = true;
            } else if (at_key_) {
                limited_ = starts;  // a collection key is rejected
                value_limited_ = starts || typed_key(events, e);
            } else {
                limited_ = value_limited_;
            }
            at_key_ = !at_key_;
        }
        if (starts && open.size() + 1 > max_depth && limited_) {
            return Err{problem("recursion limit exceeded", e)};
        }
        if (open.size() > max_depth && !limited_) {
            charged_ += open.size() - max_depth;
            if (charged_ > ignored_depth_budget) return Err{problem("nesting too deep under an ignored key", e)};
        }
        return true;
    }

private:
    // Whether the value of this top-level key is typed: the key `params` or
    // `registers`, written or named through an alias.  A key that is not a
    // scalar is rejected, so what follows it counts as typed too.
    static bool typed_key(const EventList& events, const Event& e) {
        const Event& key = e.kind == Kind::Alias ? events[e.link] : e;
        if (key.kind != Kind::Scalar) return true;
        return key.value == "params" || key.value == "registers";
    }

    bool root_is_mapping_ = false;
    bool at_key_ = true;
    bool limited_ = true;        // the node being read is typed, or bound to be rejected
    bool value_limited_ = true;  // the same for the value of the current top-level key
    std::size_t charged_ = 0;
};

YamlResult<Document> read_events(std::string_view text) {
    ParserGuard guard;
    // libyaml asserts on a null input pointer, which an empty string_view may
    // carry; an empty text is read from a real, empty buffer instead.
    static constexpr unsigned char empty[1] = {0};
    const unsigned char* input = text.empty() ? empty : reinterpret_cast<const unsigned char*>(text.data());
    yaml_parser_set_input_string(&guard.parser, input, text.size());

    Document doc;
    std::size_t documents = 0;
    std::unordered_map<std::string, std::size_t, KeyedHash, std::equal_to<>> anchors;
    std::vector<std::size_t> open;  // positions of the collections not yet ended
    NestingGuard nesting;
    for (;;) {
        EventGuard e;
        if (yaml_parser_parse(&guard.parser, &e.event) == 0) return Err{parser_problem(guard.parser)};
        const yaml_event_t& ev = e.event;
        Event out;
        out.line = mark_number(ev.start_mark.line);
        out.column = mark_number(ev.start_mark.column);
        const yaml_char_t* anchor = nullptr;
        const yaml_char_t* tag = nullptr;
        switch (ev.type) {
            case YAML_STREAM_END_EVENT: return doc;
            case YAML_STREAM_START_EVENT:
            case YAML_DOCUMENT_END_EVENT:
            case YAML_NO_EVENT: continue;
            case YAML_DOCUMENT_START_EVENT:
                if (++documents > 1) return Err{problem("more than one document", out)};
                doc.tags.set_directives(ev.data.document_start.tag_directives.start,
                                        ev.data.document_start.tag_directives.end);
                continue;
            case YAML_ALIAS_EVENT: {
                out.kind = Kind::Alias;
                const auto it = anchors.find(c_text(ev.data.alias.anchor));
                if (it == anchors.end()) return Err{problem("unknown anchor", out)};
                out.link = it->second;
                doc.events[it->second].named = true;
                break;
            }
            case YAML_SCALAR_EVENT:
                out.kind = Kind::Scalar;
                anchor = ev.data.scalar.anchor;
                tag = ev.data.scalar.tag;
                out.value = doc.texts.keep(reinterpret_cast<const char*>(ev.data.scalar.value), ev.data.scalar.length);
                out.plain = ev.data.scalar.style == YAML_PLAIN_SCALAR_STYLE;
                out.literal = ev.data.scalar.style == YAML_LITERAL_SCALAR_STYLE;
                break;
            case YAML_SEQUENCE_START_EVENT:
                out.kind = Kind::SeqStart;
                anchor = ev.data.sequence_start.anchor;
                tag = ev.data.sequence_start.tag;
                break;
            case YAML_MAPPING_START_EVENT:
                out.kind = Kind::MapStart;
                anchor = ev.data.mapping_start.anchor;
                tag = ev.data.mapping_start.tag;
                break;
            case YAML_SEQUENCE_END_EVENT:
            case YAML_MAPPING_END_EVENT:
                out.kind = ev.type == YAML_SEQUENCE_END_EVENT ? Kind::SeqEnd : Kind::MapEnd;
                check_invariant(!open.empty(), "YAML collection end without start");
                break;
        }
        if (tag != nullptr) std::tie(out.tag, out.tag_id) = doc.tags.add(reinterpret_cast<const char*>(tag));
        VEXO_TRY(nesting.check(doc.events, open, out));
        if (out.kind == Kind::SeqEnd || out.kind == Kind::MapEnd) {
            doc.events[open.back()].link = doc.events.size();
            open.pop_back();
        }
        const std::size_t pos = doc.events.size();
        // An anchor names its node from the node's start on; a later anchor of
        // the same name replaces it for the aliases that follow.
        if (anchor != nullptr) anchors.insert_or_assign(std::string(c_text(anchor)), pos);
        if (out.kind == Kind::SeqStart || out.kind == Kind::MapStart) open.push_back(pos);
        doc.events.push_back(std::move(out));
        doc.empty = false;
    }
}

// ------------------------------------------------------------ scalar forms

bool is_digit(char c, int radix) {
    switch (radix) {
        case 2: return c == '0' || c == '1';
        case 8: return c >= '0' && c <= '7';
        case 10: return c >= '0' && c <= '9';
        default: return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }
}

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

// Digits of the given radix, at least one, as a number that fits 64 bits.
std::optional<std::uint64_t> parse_digits(std::string_view s, int radix) {
    if (s.empty()) return std::nullopt;
    std::uint64_t v = 0;
    const auto r = static_cast<std::uint64_t>(radix);
    for (char c : s) {
        if (!is_digit(c, radix)) return std::nullopt;
        const auto d = static_cast<std::uint64_t>(digit_value(c));
        if (v > (UINT64_MAX - d) / r) return std::nullopt;
        v = v * r + d;
    }
    return v;
}

// A leading zero followed by more digits ("0600", "-08") is text, not a number.
bool digits_but_not_number(std::string_view s) {
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
    if (s.size() < 2 || s[0] != '0') return false;
    for (char c : s.substr(1)) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// "0x…", "0o…", "0b…" (lower-case prefix) or decimal; the magnitude after any sign.
std::optional<std::uint64_t> parse_magnitude(std::string_view s) {
    if (s.size() >= 2 && s[0] == '0') {
        const char p = s[1];
        const int radix = p == 'x' ? 16 : p == 'o' ? 8 : p == 'b' ? 2 : 0;
        if (radix != 0) return parse_digits(s.substr(2), radix);
    }
    if (digits_but_not_number(s)) return std::nullopt;
    return parse_digits(s, 10);
}

// The unsigned-integer forms, with one optional "+".
std::optional<std::uint64_t> parse_unsigned(std::string_view s) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    return parse_magnitude(s);
}

// An integer of the value rule: the unsigned forms, or those forms after "-"
// down to -2^63.
std::optional<YamlValue> parse_integer(std::string_view s) {
    if (auto u = parse_unsigned(s)) return YamlValue::unsigned_integer(*u);
    if (s.empty() || s[0] != '-') return std::nullopt;
    const auto m = parse_magnitude(s.substr(1));
    constexpr std::uint64_t min_magnitude = std::uint64_t{1} << 63;
    if (!m || *m > min_magnitude) return std::nullopt;
    if (*m == min_magnitude) return YamlValue::integer(INT64_MIN);
    return YamlValue::integer(-static_cast<std::int64_t>(*m));
}

// Decimal and exponent forms ([+-] digits [. digits] [e [+-] digits], at least
// one mantissa digit) that give a finite double, and the special values.
std::optional<double> parse_float(std::string_view s) {
    std::string_view body = s;
    bool negative = false;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    if (body == ".inf" || body == ".Inf" || body == ".INF") {
        return negative ? -HUGE_VAL : HUGE_VAL;
    }
    if (s == ".nan" || s == ".NaN" || s == ".NAN") return std::nan("");

    std::size_t i = 0, mantissa_digits = 0;
    while (i < body.size() && body[i] >= '0' && body[i] <= '9') ++i, ++mantissa_digits;
    if (i < body.size() && body[i] == '.') {
        ++i;
        while (i < body.size() && body[i] >= '0' && body[i] <= '9') ++i, ++mantissa_digits;
    }
    if (mantissa_digits == 0) return std::nullopt;
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
        ++i;
        if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
        std::size_t exponent_digits = 0;
        while (i < body.size() && body[i] >= '0' && body[i] <= '9') ++i, ++exponent_digits;
        if (exponent_digits == 0) return std::nullopt;
    }
    if (i != body.size()) return std::nullopt;

    // The grammar is checked above; strtod in the "C" locale does the
    // correctly rounded conversion whatever locale the process runs in.
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    check_invariant(c_locale != static_cast<locale_t>(nullptr), "cannot create the C locale");
    const std::string copy(body);
    const double v = strtod_l(copy.c_str(), nullptr, c_locale);
    if (!std::isfinite(v)) return std::nullopt;
    return negative ? -v : v;
}

bool is_null_text(std::string_view s) { return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL"; }

std::optional<bool> parse_bool(std::string_view s) {
    if (s == "true" || s == "True" || s == "TRUE") return true;
    if (s == "false" || s == "False" || s == "FALSE") return false;
    return std::nullopt;
}

// Resolution of an untagged plain scalar.
YamlValue resolve_plain(std::string_view s) {
    if (is_null_text(s)) return YamlValue::null();
    if (auto b = parse_bool(s)) return YamlValue::boolean(*b);
    if (auto i = parse_integer(s)) return *i;
    if (digits_but_not_number(s)) return YamlValue::string(std::string(s));
    if (auto f = parse_float(s)) return YamlValue::floating(*f);
    return YamlValue::string(std::string(s));
}

// ------------------------------------------------------- key equality / hash
//
// Two keys are equal when they are equal structurally, except that YAML has
// a single NaN (NaN keys are equal) and 0.0 and -0.0 are the same number.

// Equality of scalar keys.
bool same_scalar_key(const YamlValue& a, const YamlValue& b) {
    if (a.type() == YamlValue::Type::Float && b.type() == YamlValue::Type::Float) {
        if (std::isnan(a.as_float()) && std::isnan(b.as_float())) return true;
    }
    return a == b;
}


// The bits of a float that equal floats share.
std::uint64_t float_key_bits(double d) {
    if (std::isnan(d)) return 0x7ff8000000000000ULL;
    if (d == 0.0) d = 0.0;  // -0.0 and 0.0 are equal keys
    return std::bit_cast<std::uint64_t>(d);
}

// The keyed hash of a scalar key; for a string, the text_hash of its text,
// which the mapping's index uses too.
std::uint64_t scalar_key_hash(const YamlValue& v) {
    if (v.type() == YamlValue::Type::String) return YamlMapping::text_hash(v.as_string());
    std::uint64_t bits = 0;
    switch (v.type()) {
        case YamlValue::Type::Bool: bits = v.as_bool() ? 1 : 0; break;
        case YamlValue::Type::Integer: {
            const auto s = v.as_signed();
            bits = s ? static_cast<std::uint64_t>(*s) : *v.as_unsigned();
            break;
        }
        case YamlValue::Type::Float: bits = float_key_bits(v.as_float()); break;
        default: break;
    }
    char bytes[10] = {static_cast<char>(v.type()), static_cast<char>(v.is_negative())};
    std::memcpy(bytes + 2, &bits, sizeof bits);
    return YamlMapping::text_hash(std::string_view(bytes, sizeof bytes));
}

bool is_collection_key(const YamlValue& v) {
    const auto t = v.type();
    return t == YamlValue::Type::Sequence || t == YamlValue::Type::Mapping || t == YamlValue::Type::Tagged;
}

// Numbers the keys that are sequences, mappings or tagged values so that
// equal keys get the same number.  A key may be a node shared many times
// over (aliases of aliases), so its tree can be far larger than the text;
// the numbers are kept per shared node, which is then numbered once however
// often it is met, and each node is numbered from its children's numbers.
class KeyNumbers {
public:
    std::uint64_t of(const YamlValue& v) {
        const void* storage = shared_storage(v);
        if (storage != nullptr) {
            if (const auto it = by_storage_.find(storage); it != by_storage_.end()) return it->second.number;
        }
        Shape shape{static_cast<std::uint64_t>(v.type())};
        switch (v.type()) {
            case YamlValue::Type::Null: break;
            case YamlValue::Type::Bool: shape.push_back(v.as_bool() ? 1 : 0); break;
            case YamlValue::Type::Integer:
                shape.push_back(v.is_negative() ? 1 : 0);
                shape.push_back(v.is_negative() ? static_cast<std::uint64_t>(*v.as_signed()) : *v.as_unsigned());
                break;
            case YamlValue::Type::Float: shape.push_back(float_key_bits(v.as_float())); break;
            case YamlValue::Type::String: shape.push_back(text_number(v.as_string())); break;
            case YamlValue::Type::Sequence:
                for (const YamlValue& item : v.as_sequence()) shape.push_back(of(item));
                break;
            case YamlValue::Type::Mapping: {
                const YamlMapping& m = v.as_mapping();
                for (std::size_t i = 0; i < m.size(); ++i) {
                    shape.push_back(of(m.key(i)));
                    shape.push_back(of(m.value(i)));
                }
                break;
            }
            case YamlValue::Type::Tagged:
                shape.push_back(tag_number(v.tag()));
                shape.push_back(of(v.tagged_value()));
                break;
        }
        const std::uint64_t number = by_shape_.try_emplace(std::move(shape), by_shape_.size()).first->second;
        // The entry holds a copy of the value, so that its storage, and with
        // it the address the entry is found by, lives as long as the entry.
        if (storage != nullptr) by_storage_.emplace(storage, Known{v, number});
        return number;
    }

private:
    using Shape = std::vector<std::uint64_t>;
    // Keyed, since a shape holds the values of scalars of the text.
    struct ShapeHash {
        std::size_t operator()(const Shape& s) const noexcept {
            return YamlMapping::text_hash(
                std::string_view(reinterpret_cast<const char*>(s.data()), s.size() * sizeof(std::uint64_t)));
        }
    };
    struct Known {
        YamlValue value;
        std::uint64_t number;
    };

    // The address of the storage that copies of a value share, or null for
    // the values held inline.
    static const void* shared_storage(const YamlValue& v) {
        switch (v.type()) {
            case YamlValue::Type::String: return &v.as_string();
            case YamlValue::Type::Sequence: return &v.as_sequence();
            case YamlValue::Type::Mapping: return &v.as_mapping();
            case YamlValue::Type::Tagged: return &v.tagged_value();
            default: return nullptr;
        }
    }

    std::uint64_t text_number(const std::string& text) {
        return texts_.try_emplace(text, texts_.size()).first->second;
    }

    // The reader holds one YamlTag per distinct tag text (TagTable), so
    // tags are numbered by their storage, without reading a long tag again.
    std::uint64_t tag_number(const YamlTag& tag) { return tags_.try_emplace(&tag, tags_.size()).first->second; }

    std::unordered_map<const void*, Known> by_storage_;
    std::unordered_map<Shape, std::uint64_t, ShapeHash> by_shape_;
    std::unordered_map<std::string, std::uint64_t, KeyedHash, std::equal_to<>> texts_;
    std::unordered_map<const YamlTag*, std::uint64_t> tags_;
};

// The string keys of a reading, each distinct text held once: a file of
// many small mappings repeats the same few keys in every one of them.  A
// key is found by the keyed hash of its text, which the mapping needs
// anyway; a key whose hash another text already holds is kept as it is.
class KeyTexts {
public:
    YamlValue intern(YamlValue key, std::uint64_t hash) {
        const auto [it, added] = texts_.try_emplace(hash, key);
        if (added || it->second.as_string() != key.as_string()) return key;
        return it->second;
    }

private:
    std::unordered_map<std::uint64_t, YamlValue> texts_;
};

// Builds a mapping while refusing a key equal to an earlier one, in time
// linear in the number of entries.  Scalar keys are hashed and compared
// directly; the other keys are compared by their KeyNumbers.  A scalar key
// that an alias names may be a long string used as the key of many
// mappings, so the reader hashes it once and passes the hash in.  The
// hashes of the first few scalar keys are kept on the builder itself, so a
// small mapping is built without a table.
class MappingBuilder {
public:
    explicit MappingBuilder(KeyNumbers& numbers, std::size_t entries) : numbers_(numbers) {
        mapping_.reserve(entries);
    }

    // `known_hash`, when given, is scalar_key_hash of a scalar key, kept by
    // the caller for a key that it meets many times.
    bool insert(YamlValue key, YamlValue value, std::optional<std::uint64_t> known_hash = std::nullopt) {
        if (is_collection_key(key)) {
            if (!collection_keys_.insert(numbers_.of(key)).second) return false;
        } else {
            const std::uint64_t h = known_hash ? *known_hash : scalar_key_hash(key);
            if (!add_scalar_key(h, key)) return false;
            if (key.type() == YamlValue::Type::String) {
                mapping_.push_back(std::move(key), std::move(value), h);
                return true;
            }
        }
        mapping_.push_back(std::move(key), std::move(value));
        return true;
    }
    YamlMapping take() && { return std::move(mapping_); }

private:
    static constexpr std::size_t kFew = YamlMapping::kLinearEntries;
    struct Known {
        std::uint64_t hash;
        std::size_t pos;
    };

    // Records the scalar key `key` (hash h) of the next entry, unless an
    // earlier key equals it.
    bool add_scalar_key(std::uint64_t h, const YamlValue& key) {
        const std::size_t pos = mapping_.size();
        if (few_count_ < kFew) {
            for (std::size_t i = 0; i < few_count_; ++i) {
                if (few_[i].hash == h && same_scalar_key(mapping_.key(few_[i].pos), key)) return false;
            }
            few_[few_count_++] = Known{h, pos};
            return true;
        }
        if (scalar_keys_.empty()) {
            for (const Known& k : few_) scalar_keys_.emplace(k.hash, k.pos);
        }
        const auto [first, last] = scalar_keys_.equal_range(h);
        for (auto it = first; it != last; ++it) {
            if (same_scalar_key(mapping_.key(it->second), key)) return false;
        }
        scalar_keys_.emplace(h, pos);
        return true;
    }

    KeyNumbers& numbers_;
    YamlMapping mapping_;
    std::array<Known, kFew> few_{};
    std::size_t few_count_ = 0;
    std::unordered_multimap<std::uint64_t, std::size_t> scalar_keys_;  // every scalar key, once past kFew
    std::unordered_set<std::uint64_t> collection_keys_;
};

// ------------------------------------------------------------ typed reader

enum class Context : std::uint8_t { Params, Registers };

// An empty plain scalar without a tag: a key followed by nothing.
bool is_empty_plain(const Event& e) {
    return e.kind == Kind::Scalar && e.plain && e.tag == TagKind::None && e.value.empty();
}

// A mapping node with no tag or the standard one.
bool is_plain_mapping(const Event& e) {
    return e.kind == Kind::MapStart && (e.tag == TagKind::None || e.tag == TagKind::Map);
}

std::size_t saturating_mul(std::size_t a, std::size_t b) { return a != 0 && b > SIZE_MAX / a ? SIZE_MAX : a * b; }

class Reader {
public:
    explicit Reader(const Document& doc)
        : ev_(doc.events), tags_(doc.tags), alias_limit_(saturating_mul(doc.events.size(), alias_factor)) {}

    YamlResult<Metadata> document(std::size_t root);

private:
    // Adds n alias expansions, rejecting the text when the total would pass
    // the limit; the total never exceeds the limit, so it cannot overflow.
    YamlResult<bool> charge(std::size_t n, const Event& at) {
        if (n > alias_limit_ - expansions_) return Err{problem("repetition limit exceeded", at)};
        expansions_ += n;
        return true;
    }

    // The node at pos, following an alias; following it is one expansion.
    YamlResult<std::size_t> resolve(std::size_t pos) {
        while (ev_[pos].kind == Kind::Alias) {
            VEXO_TRY(charge(1, ev_[pos]));
            pos = ev_[pos].link;
        }
        return pos;
    }

    // Steps over the node at pos without reading it (aliases are not followed).
    std::size_t skip(std::size_t pos) const {
        const Event& e = ev_[pos];
        return (e.kind == Kind::SeqStart || e.kind == Kind::MapStart) ? e.link + 1 : pos + 1;
    }

    // The number of nodes directly in the collection that starts at pos
    // (each is stepped over, not read).
    std::size_t members(std::size_t pos) const {
        std::size_t n = 0;
        for (std::size_t p = pos + 1; ev_[p].kind != Kind::SeqEnd && ev_[p].kind != Kind::MapEnd; p = skip(p)) ++n;
        return n;
    }

    // The cursor after a node read from `node` that ended before `next`: one
    // step past an alias, else past the node itself.
    std::size_t after(std::size_t pos, std::size_t next) const {
        return ev_[pos].kind == Kind::Alias ? pos + 1 : next;
    }

    YamlResult<bool> enter(std::size_t depth, const Event& at) {
        if (depth > max_depth) return Err{problem("recursion limit exceeded", at)};
        if (depth > deepest_) deepest_ = depth;
        return true;
    }

    // Any scalar, whatever its style or tag (a mapping key, or the model): the
    // position of its event, whose value is the text, so that a long string
    // named by many keys is not copied for each; `not_scalar` is the problem
    // reported for anything else.
    YamlResult<std::size_t> scalar_node(std::size_t& pos, const char* not_scalar);
    YamlResult<Params> params(std::size_t& pos, std::size_t depth);
    YamlResult<YamlMapping> registers(std::size_t& pos, std::size_t depth);
    YamlResult<std::size_t> count(std::size_t& pos);
    // A node of the value rule at pos, following an alias; moves pos past it.
    // `node`, when given, receives the position of the node read.
    YamlResult<YamlValue> value(std::size_t& pos, std::size_t depth, Context ctx, std::size_t* node = nullptr);
    // The node at `node` (not an alias), typed afresh.
    YamlResult<YamlValue> typed(std::size_t node, std::size_t depth, Context ctx);
    // The node at `node`, which an alias names: typed once per context, then shared.
    YamlResult<YamlValue> named(std::size_t node, std::size_t depth, Context ctx);
    // scalar_key_hash of the shared value of a named scalar node, computed
    // the first time the node is a key.
    std::uint64_t named_key_hash(std::size_t node, Context ctx);
    YamlResult<YamlValue> scalar(const Event& e, Context ctx);
    YamlResult<YamlMapping> mapping_entries(std::size_t& pos, std::size_t depth, Context ctx);

    const EventList& ev_;
    const TagTable& tags_;
    std::size_t expansions_ = 0;
    std::size_t alias_limit_;
    std::size_t deepest_ = 0;  // deepest collection level entered so far

    // A named node once typed: its value, how many levels it nests below the
    // level it was read at, the alias expansions made inside it (its own
    // aliases, each with the expansions of the node it names), and for a
    // scalar used as a mapping key, the key's hash.
    struct Shared {
        YamlValue value;
        std::size_t height = 0;
        std::size_t expansions = 0;
        std::optional<std::uint64_t> key_hash;
    };
    std::unordered_map<std::size_t, Shared> shared_[2];  // by node, per Context
    KeyNumbers key_numbers_;                              // for the keys that are collections
    KeyTexts key_texts_;                                  // for the keys that are strings
};

YamlResult<std::size_t> Reader::scalar_node(std::size_t& pos, const char* not_scalar) {
    VEXO_ASSIGN_OR_RETURN(const std::size_t node, resolve(pos));
    const Event& e = ev_[node];
    if (e.kind != Kind::Scalar) return Err{problem(not_scalar, e)};
    pos += 1;
    return node;
}

// channels, windows, samples: a plain scalar (any tag) or a literal block
// under !!int, in the unsigned-integer forms, within the machine word.
YamlResult<std::size_t> Reader::count(std::size_t& pos) {
    VEXO_ASSIGN_OR_RETURN(const std::size_t node, resolve(pos));
    const Event& e = ev_[node];
    const bool form_ok = e.kind == Kind::Scalar && (e.plain || (e.literal && e.tag == TagKind::Int));
    if (!form_ok) return Err{problem("expected an unsigned integer", e)};
    const auto v = parse_unsigned(e.value);
    if (!v || *v > SIZE_MAX) return Err{problem("expected an unsigned integer", e)};
    pos += 1;
    return static_cast<std::size_t>(*v);
}

YamlResult<YamlValue> Reader::scalar(const Event& e, Context ctx) {
    switch (e.tag) {
        case TagKind::None: return e.plain ? resolve_plain(e.value) : YamlValue::string(std::string(e.value));
        case TagKind::Str: return YamlValue::string(std::string(e.value));
        case TagKind::Int:
            if (auto i = parse_integer(e.value)) return *i;
            return Err{problem("invalid value for !!int", e)};
        case TagKind::Float:
            if (auto f = parse_float(e.value)) return YamlValue::floating(*f);
            return Err{problem("invalid value for !!float", e)};
        case TagKind::Bool:
            if (auto b = parse_bool(e.value)) return YamlValue::boolean(*b);
            return Err{problem("invalid value for !!bool", e)};
        case TagKind::Null:
            if (is_null_text(e.value)) return YamlValue::null();
            return Err{problem("invalid value for !!null", e)};
        case TagKind::Seq:
        case TagKind::Map:
        case TagKind::Other: break;
    }
    if (ctx == Context::Params) return Err{problem("tagged value in params", e)};
    return YamlValue::tagged(tags_.tag(e.tag_id),
                             e.plain ? resolve_plain(e.value) : YamlValue::string(std::string(e.value)));
}

YamlResult<YamlMapping> Reader::mapping_entries(std::size_t& pos, std::size_t depth, Context ctx) {
    // pos is at the mapping start; depth is the mapping's own level.
    MappingBuilder builder(key_numbers_, members(pos) / 2);
    pos += 1;
    while (ev_[pos].kind != Kind::MapEnd) {
        const Event& at = ev_[pos];
        std::size_t key_node = npos;
        VEXO_ASSIGN_OR_RETURN(YamlValue key, value(pos, depth, ctx, &key_node));
        VEXO_ASSIGN_OR_RETURN(YamlValue val, value(pos, depth, ctx));
        std::optional<std::uint64_t> hash;
        if (ev_[key_node].named && !is_collection_key(key)) {
            hash = named_key_hash(key_node, ctx);
        } else if (key.type() == YamlValue::Type::String) {
            hash = YamlMapping::text_hash(key.as_string());
            key = key_texts_.intern(std::move(key), *hash);
        }
        if (!builder.insert(std::move(key), std::move(val), hash)) return Err{problem("duplicate mapping key", at)};
    }
    pos += 1;
    return std::move(builder).take();
}

// depth is the level of the collection holding the node.
YamlResult<YamlValue> Reader::value(std::size_t& pos, std::size_t depth, Context ctx, std::size_t* node) {
    VEXO_ASSIGN_OR_RETURN(const std::size_t at, resolve(pos));
    VEXO_ASSIGN_OR_RETURN(YamlValue v, ev_[at].named ? named(at, depth, ctx) : typed(at, depth, ctx));
    pos = skip(pos);
    if (node != nullptr) *node = at;
    return v;
}

YamlResult<YamlValue> Reader::typed(std::size_t node, std::size_t depth, Context ctx) {
    const Event& e = ev_[node];
    if (e.kind == Kind::Scalar) return scalar(e, ctx);
    check_invariant(e.kind == Kind::SeqStart || e.kind == Kind::MapStart, "YAML node expected");
    VEXO_TRY(enter(depth + 1, e));
    const bool is_seq = e.kind == Kind::SeqStart;
    const bool standard = e.tag == TagKind::None || e.tag == (is_seq ? TagKind::Seq : TagKind::Map);
    if (!standard && ctx == Context::Params) return Err{problem("tagged value in params", e)};
    YamlValue v;
    std::size_t cur = node;
    if (is_seq) {
        std::vector<YamlValue> items;
        items.reserve(members(node));
        cur += 1;
        while (ev_[cur].kind != Kind::SeqEnd) {
            VEXO_ASSIGN_OR_RETURN(YamlValue item, value(cur, depth + 1, ctx));
            items.push_back(std::move(item));
        }
        v = YamlValue::sequence(std::move(items));
    } else {
        VEXO_ASSIGN_OR_RETURN(YamlMapping m, mapping_entries(cur, depth + 1, ctx));
        v = YamlValue::mapping(std::move(m));
    }
    if (!standard) return YamlValue::tagged(tags_.tag(e.tag_id), std::move(v));
    return v;
}

// The typed value of a node depends only on the node and the context; the
// depth it is read at only decides whether the nesting limit rejects it.  So
// the first reading of a named node, directly or through an alias, is kept,
// and a later reading shares it when it fits under the limit where it stands.
// Reading it again would follow the same aliases, so sharing it is charged
// the expansions recorded then.  Each node is then typed once per context,
// and memory and time stay linear in the text however often it is named.
YamlResult<YamlValue> Reader::named(std::size_t node, std::size_t depth, Context ctx) {
    auto& cache = shared_[static_cast<std::size_t>(ctx)];
    if (const auto it = cache.find(node); it != cache.end() && depth + it->second.height <= max_depth) {
        const Shared& known = it->second;
        VEXO_TRY(charge(known.expansions, ev_[node]));
        if (depth + known.height > deepest_) deepest_ = depth + known.height;
        return known.value;
    }
    const std::size_t deepest_before = deepest_;
    const std::size_t expansions_before = expansions_;
    deepest_ = depth;
    YamlResult<YamlValue> v = typed(node, depth, ctx);
    const std::size_t height = deepest_ - depth;
    if (deepest_before > deepest_) deepest_ = deepest_before;
    if (!v.ok()) return v;
    cache.insert_or_assign(node, Shared{*v, height, expansions_ - expansions_before, std::nullopt});
    return v;
}

// A scalar is typed once per context and never again (it has no height), so
// its shared value, and with it the hash, stays the same for the reading.
std::uint64_t Reader::named_key_hash(std::size_t node, Context ctx) {
    auto& cache = shared_[static_cast<std::size_t>(ctx)];
    const auto it = cache.find(node);
    check_invariant(it != cache.end(), "named key read without its shared value");
    Shared& known = it->second;
    if (!known.key_hash) known.key_hash = scalar_key_hash(known.value);
    return *known.key_hash;
}

YamlResult<Params> Reader::params(std::size_t& pos, std::size_t depth) {
    VEXO_ASSIGN_OR_RETURN(std::size_t node, resolve(pos));
    const Event& e = ev_[node];
    if (is_empty_plain(e)) {
        // An empty value is an empty mapping, which lacks `model`.
        return Err{problem("missing field `model`", e)};
    }
    if (!is_plain_mapping(e)) {
        return Err{problem("params is not a mapping", e)};
    }
    VEXO_TRY(enter(depth + 1, e));

    Params p;
    bool have_model = false, have_channels = false, have_windows = false, have_samples = false;
    // The other keys, by the position of their scalar, with their values.
    std::vector<std::pair<std::size_t, YamlValue>> kept;
    std::unordered_set<std::size_t> kept_nodes;
    std::size_t cur = node + 1;
    while (ev_[cur].kind != Kind::MapEnd) {
        const Event& at = ev_[cur];
        VEXO_ASSIGN_OR_RETURN(const std::size_t key_node, scalar_node(cur, "mapping key is not a scalar"));
        const std::string_view key = ev_[key_node].value;
        auto once = [&](bool& seen) -> YamlResult<bool> {
            if (seen) return Err{problem("duplicate field `" + std::string(key) + "`", at)};
            seen = true;
            return true;
        };
        if (key == "model") {
            VEXO_TRY(once(have_model));
            VEXO_ASSIGN_OR_RETURN(const std::size_t model, scalar_node(cur, "model is not a scalar"));
            p.model = std::string(ev_[model].value);
        } else if (key == "channels") {
            VEXO_TRY(once(have_channels));
            VEXO_ASSIGN_OR_RETURN(p.channels, count(cur));
        } else if (key == "windows") {
            VEXO_TRY(once(have_windows));
            VEXO_ASSIGN_OR_RETURN(p.windows, count(cur));
        } else if (key == "samples") {
            VEXO_TRY(once(have_samples));
            VEXO_ASSIGN_OR_RETURN(p.samples, count(cur));
        } else {
            // One scalar named twice is the same text twice, which the check
            // at the end refuses in any case; refused here, a long string
            // named by many keys is neither kept nor hashed once per key.
            if (!kept_nodes.insert(key_node).second) return Err{problem("duplicate entry `" + std::string(key) + "`", at)};
            VEXO_ASSIGN_OR_RETURN(YamlValue v, value(cur, depth + 1, Context::Params));
            kept.emplace_back(key_node, std::move(v));
        }
    }
    const Event& end = ev_[cur];
    if (!have_model) return Err{problem("missing field `model`", end)};
    if (!have_channels) return Err{problem("missing field `channels`", end)};
    if (!have_windows) return Err{problem("missing field `windows`", end)};
    if (!have_samples) return Err{problem("missing field `samples`", end)};

    // The kept keys are distinct scalars of the text, so their texts, hashed
    // and copied once each here, add up to less than the text.
    p.extra.reserve(kept.size());
    for (auto& [key_node, v] : kept) {
        const std::string_view key = ev_[key_node].value;
        const std::uint64_t h = YamlMapping::text_hash(key);
        if (p.extra.get(key, h) != nullptr) return Err{problem("duplicate entry `" + std::string(key) + "`", end)};
        p.extra.push_back(YamlValue::string(std::string(key)), std::move(v), h);
    }
    pos = after(pos, cur + 1);
    return p;
}

YamlResult<YamlMapping> Reader::registers(std::size_t& pos, std::size_t depth) {
    VEXO_ASSIGN_OR_RETURN(std::size_t node, resolve(pos));
    const Event& e = ev_[node];
    if (is_empty_plain(e)) {
        pos += 1;
        return YamlMapping{};
    }
    if (!is_plain_mapping(e)) {
        return Err{problem("registers is not a mapping", e)};
    }
    VEXO_TRY(enter(depth + 1, e));
    std::size_t cur = node;
    VEXO_ASSIGN_OR_RETURN(YamlMapping m, mapping_entries(cur, depth + 1, Context::Registers));
    pos = after(pos, cur);
    return m;
}

YamlResult<Metadata> Reader::document(std::size_t root) {
    const Event& e = ev_[root];
    if (is_empty_plain(e)) {
        return Err{problem("missing field `params`", e)};
    }
    if (!is_plain_mapping(e)) {
        return Err{problem("document root is not a mapping", e)};
    }
    constexpr std::size_t depth = 1;
    Metadata md;
    bool have_params = false, have_registers = false;
    std::size_t pos = root + 1;
    while (ev_[pos].kind != Kind::MapEnd) {
        const Event& at = ev_[pos];
        VEXO_ASSIGN_OR_RETURN(const std::size_t key_node, scalar_node(pos, "mapping key is not a scalar"));
        const std::string_view key = ev_[key_node].value;
        if (key == "params") {
            if (have_params) return Err{problem("duplicate field `params`", at)};
            have_params = true;
            VEXO_ASSIGN_OR_RETURN(md.params, params(pos, depth));
        } else if (key == "registers") {
            if (have_registers) return Err{problem("duplicate field `registers`", at)};
            have_registers = true;
            VEXO_ASSIGN_OR_RETURN(md.registers, registers(pos, depth));
        } else {
            pos = skip(pos);
        }
    }
    if (!have_params) return Err{problem("missing field `params`", ev_[pos])};
    if (!have_registers) return Err{problem("missing field `registers`", ev_[pos])};
    return md;
}

}  // namespace

Result<Metadata, MetadataError> parse_metadata(std::string_view text) {
    auto doc = read_events(text);
    if (!doc.ok()) return Err{MetadataError::serialization(std::move(doc).error())};
    if (doc->empty) return Err{MetadataError::serialization(YamlError{"missing field `params`", 1, 1})};
    Reader reader(*doc);
    auto md = reader.document(0);
    if (!md.ok()) return Err{MetadataError::serialization(std::move(md).error())};
    return std::move(md).value();
}

}  // namespace vexoacq::acquisition
