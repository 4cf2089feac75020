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

}  // namespace vexoacq::parsing::mervyv1

namespace vexoacq::parsing {
template <>
Result<mervyv1::Mervyv1Event, ParsingError> parse_into<mervyv1::Mervyv1Event>(RawBytes raw, const Params& params);
}  // namespace vexoacq::parsing
