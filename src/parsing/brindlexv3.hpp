// Event record and decoder of the brindlexv3 board family.
#pragma once

#include <cstdint>
#include <vector>

#include "parsing/frame.hpp"

namespace vexoacq::parsing::brindlexv3 {

struct Brindlexv3Event : EventChannels {
    std::uint32_t header_code = 0;
    std::uint16_t header_byte = 0;
    friend bool operator==(const Brindlexv3Event&, const Brindlexv3Event&) = default;
};

}  // namespace vexoacq::parsing::brindlexv3

namespace vexoacq::parsing {
template <>
Result<brindlexv3::Brindlexv3Event, ParsingError> parse_into<brindlexv3::Brindlexv3Event>(RawBytes raw, const Params& params);
}  // namespace vexoacq::parsing
