// A decoder for the subset of Python's pickle format that calibration tables
// use: dicts, lists, tuples, sets and frozensets of floats, ints, strings,
// bytes, booleans and None, as `pickle.dumps` writes them under protocols 0
// to 5 (memo, frames, and the reduce forms that protocols 0 to 3 use for
// sets, frozensets and bytes).  Any other opcode or global is refused.
//
// Design: the pickle machine runs over an explicit value stack, so nesting
// depth costs no native stack.  Containers live in one arena owned by the
// Document and values refer to them by index, which gives the memo Python's
// aliasing (a list fetched from the memo is the same list) without reference
// counts or copies.  Work and memory are bounded by the input: every slot of
// the value and mark stacks, stored item, string byte and memo entry is
// charged to a budget proportional to the input length (with a fixed
// ceiling), so a tiny input cannot make the decoder allocate much.  A
// structure that contains itself is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"

namespace vexoacq::calibration::pickle {

enum class Kind : std::uint8_t {
    None,
    Bool,
    Int,     // within the signed 64-bit range
    BigInt,  // an int outside that range; its value is not kept
    Float,
    Str,     // UTF-8
    Bytes,
    Global,  // a callable awaiting REDUCE; never part of a decoded Document
    List,
    Tuple,
    Set,
    FrozenSet,
    Dict,    // items hold key, value, key, value, ... in stored order
};

struct Value {
    Kind kind = Kind::None;
    bool boolean = false;   // Bool
    std::uint32_t ref = 0;  // Str, Bytes: string index; containers: container index
    union {
        std::int64_t integer = 0;  // Int
        double real;               // Float
    };

    bool is_container() const noexcept { return kind >= Kind::List; }
    bool is_sequence() const noexcept {
        return kind == Kind::List || kind == Kind::Tuple || kind == Kind::Set || kind == Kind::FrozenSet;
    }
};

struct PickleError {
    std::string reason;
    std::size_t offset = 0;  // byte position of the opcode that failed
};

class Document {
public:
    const Value& root() const noexcept { return root_; }
    // The items of a container value (for a dict: keys and values alternating).
    std::span<const Value> items(const Value& v) const;
    // The content of a Str (UTF-8) or Bytes value.
    std::string_view text(const Value& v) const;

private:
    friend class Decoder;
    struct Container {
        Kind kind = Kind::List;
        bool hashable = false;
        std::vector<Value> items;
    };
    std::vector<Container> containers_;
    std::vector<std::string> strings_;
    Value root_;
};

// The most that decoding may occupy, whatever the input's length: a full
// tolv96 pedestal table (96 x 4096 floats, some 7 MB as decoded values) fits
// many times over.
inline constexpr std::size_t kDefaultMaxMemory = std::size_t{256} << 20;

// Decodes one whole pickle; content after its STOP opcode is an error.
Result<Document, PickleError> decode(std::span<const std::uint8_t> input,
                                     std::size_t max_memory = kDefaultMaxMemory);

}  // namespace vexoacq::calibration::pickle
