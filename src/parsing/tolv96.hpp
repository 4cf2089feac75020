// Event record and decoder of the tolv96 board family.
#pragma once

#include <cstdint>
#include <tuple>
#include <vector>

#include "parsing/frame.hpp"

namespace vexoacq::parsing::tolv96 {

// One ECC finding: two machine words and three 16-bit values.  The decoder
// never fills any (its lists stay empty); the tuple shape is kept for the dict.
using EccError = std::tuple<std::size_t, std::size_t, std::uint16_t, std::uint16_t, std::uint16_t>;

struct Tolv96Event : EventChannels {
    std::vector<std::uint8_t> chip_ids;
    // One inner list per channel slot; always empty as decoded (the ECC check
    // is a separate operation on the raw bytes).
    std::vector<std::vector<EccError>> ecc_errors;
    friend bool operator==(const Tolv96Event&, const Tolv96Event&) = default;
};

}  // namespace vexoacq::parsing::tolv96

namespace vexoacq::parsing {
template <>
Result<tolv96::Tolv96Event, ParsingError> parse_into<tolv96::Tolv96Event>(RawBytes raw, const Params& params);
}  // namespace vexoacq::parsing
