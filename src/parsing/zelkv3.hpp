// Event record and decoder of the zelkv3 board family.
#pragma once

#include <cstdint>
#include <vector>

#include "parsing/frame.hpp"

namespace vexoacq::parsing::zelkv3 {

struct Zelkv3Event : EventChannels {
    std::uint32_t header_code = 0;
    std::uint16_t header_byte = 0;
    friend bool operator==(const Zelkv3Event&, const Zelkv3Event&) = default;
};

}  // namespace vexoacq::parsing::zelkv3

namespace vexoacq::parsing {
template <>
Result<zelkv3::Zelkv3Event, ParsingError> parse_into<zelkv3::Zelkv3Event>(RawBytes raw, const Params& params);
}  // namespace vexoacq::parsing
