// Event record and decoder of the quopv2 board family.
#pragma once

#include <cstdint>
#include <vector>

#include "parsing/frame.hpp"

namespace vexoacq::parsing::quopv2 {

struct Quopv2Event : EventChannels {
    std::uint32_t header_code = 0;
    std::uint16_t header_byte = 0;
    friend bool operator==(const Quopv2Event&, const Quopv2Event&) = default;
};

}  // namespace vexoacq::parsing::quopv2

namespace vexoacq::parsing {
template <>
Result<quopv2::Quopv2Event, ParsingError> parse_into<quopv2::Quopv2Event>(RawBytes raw, const Params& params);
}  // namespace vexoacq::parsing
