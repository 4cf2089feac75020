// Event record and decoder of the zelkv3s board family.
#pragma once

#include <cstdint>
#include <vector>

#include "parsing/frame.hpp"

namespace vexoacq::parsing::zelkv3s {

struct Zelkv3SEvent : EventChannels {
    std::vector<std::uint16_t> window_footers;
    friend bool operator==(const Zelkv3SEvent&, const Zelkv3SEvent&) = default;
};

}  // namespace vexoacq::parsing::zelkv3s

namespace vexoacq::parsing {
template <>
Result<zelkv3s::Zelkv3SEvent, ParsingError> parse_into<zelkv3s::Zelkv3SEvent>(RawBytes raw, const Params& params);
}  // namespace vexoacq::parsing
