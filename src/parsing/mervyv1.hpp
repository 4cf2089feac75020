// Event record and decoder of the mervyv1 board family.
#pragma once

#include <cstdint>
#include <vector>

#include "parsing/frame.hpp"

namespace vexoacq::parsing::mervyv1 {

struct Mervyv1Event : EventChannels {
    // One inner list per channel slot.
    std::vector<std::vector<std::size_t>> timing;
    friend bool operator==(const Mervyv1Event&, const Mervyv1Event&) = default;
};

// The word that closes every packet: the `stop_word` key when it is a YAML
// string holding an unsigned 32-bit hexadecimal number (one optional leading
// "+", then hex digits only; no "0x", no sign other than "+"), cut to its low
// 16 bits.  Anything else, a YAML integer included, gives 0xFA5A.
std::uint16_t stop_word(const Params& params) noexcept;

}  // namespace vexoacq::parsing::mervyv1

namespace vexoacq::parsing {
template <>
Result<mervyv1::Mervyv1Event, ParsingError> parse_into<mervyv1::Mervyv1Event>(RawBytes raw, const Params& params);
}  // namespace vexoacq::parsing
