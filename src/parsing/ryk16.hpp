// Event record and decoder of the ryk16 board family.
#pragma once

#include <cstdint>
#include <vector>

#include "parsing/frame.hpp"

namespace vexoacq::parsing::ryk16 {

struct Ryk16Event : EventChannels {

    friend bool operator==(const Ryk16Event&, const Ryk16Event&) = default;
};

}  // namespace vexoacq::parsing::ryk16

namespace vexoacq::parsing {
template <>
Result<ryk16::Ryk16Event, ParsingError> parse_into<ryk16::Ryk16Event>(RawBytes raw, const Params& params);
}  // namespace vexoacq::parsing
